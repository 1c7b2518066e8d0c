# Native Linux build of the core: clang with AddressSanitizer and
# UndefinedBehaviorSanitizer, the core unit tests and the libFuzzer targets.
# With TG_TSAN (and TG_SANITIZE off): ThreadSanitizer, the core unit tests
# only.
option(TG_SANITIZE "AddressSanitizer and UndefinedBehaviorSanitizer" ON)
option(TG_TSAN "ThreadSanitizer (needs TG_SANITIZE=OFF); no fuzzers, no benchmarks" OFF)
if(TG_TSAN AND TG_SANITIZE)
  message(FATAL_ERROR "TG_TSAN needs -DTG_SANITIZE=OFF: ThreadSanitizer cannot run with AddressSanitizer")
endif()
if(TG_SANITIZE)
  set(TG_SAN -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_compile_options(${TG_SAN})
  add_link_options(${TG_SAN})
endif()
if(TG_TSAN)
  set(TG_SAN -fsanitize=thread -fno-omit-frame-pointer)
  add_compile_options(${TG_SAN})
  add_link_options(${TG_SAN})
endif()

add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# The agent's pure core, one library: the tests, the fuzzers, the benchmarks
# and a fleet server (server/, when present) link it.
add_library(tg_core STATIC ${TG_CORE_SOURCES})
target_include_directories(tg_core PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(tg_core PRIVATE ${TG_WARNINGS})
find_package(Threads REQUIRED)
target_link_libraries(tg_core PUBLIC Threads::Threads)

if(TG_CORE_TESTS)
  add_executable(core_tests ${TG_CORE_TESTS})
  target_compile_options(core_tests PRIVATE ${TG_WARNINGS})
  target_link_libraries(core_tests PRIVATE tg_core GTest::gtest_main)
  target_compile_definitions(core_tests PRIVATE TG_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  add_test(NAME core_tests COMMAND core_tests)
endif()

# The include lines of src/ keep to the layer order (tools/check-layers.py).
add_test(NAME check_layers COMMAND python3 ${CMAKE_SOURCE_DIR}/tools/check-layers.py
         ${CMAKE_SOURCE_DIR}/src)

# libFuzzer targets; ctest replays each corpus once.
file(GLOB TG_FUZZERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/fuzz_*.cpp)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND TG_SANITIZE)
  foreach(src ${TG_FUZZERS})
    get_filename_component(name ${src} NAME_WE)
    string(REGEX REPLACE "^fuzz_" "" corpus ${name})
    add_executable(${name} ${src})
    target_compile_options(${name} PRIVATE ${TG_WARNINGS} -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE tg_core -fsanitize=fuzzer)
    add_test(NAME ${name}_corpus
             COMMAND ${name} -runs=0 ${CMAKE_SOURCE_DIR}/fuzz/corpus/${corpus})
  endforeach()
endif()

if(NOT TG_TSAN)
  foreach(src ${TG_BENCHES})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE tg_core)
  endforeach()
endif()
