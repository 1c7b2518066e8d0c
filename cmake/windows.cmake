# MinGW-w64 build: Tallowguard.exe (static, GUI subsystem), the unit tests
# that run under Wine, and the end-to-end tests that drive the program.
enable_language(RC)
add_compile_options(-ffunction-sections -fdata-sections)
# Stripped: Wine loads the debug sections of an image into memory. File
# alignment equal to the section alignment lets Wine map the image's pages
# from the file instead of copying them into private memory.
add_link_options(-static -static-libgcc -static-libstdc++ -Wl,--gc-sections -s
                 -Wl,--file-alignment,4096)

add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set(TG_WIN_LIBS shell32 ole32 uuid advapi32 user32 gdi32 winhttp comctl32 shlwapi)

add_library(tg_core STATIC ${TG_CORE_SOURCES})
target_include_directories(tg_core PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(tg_core PRIVATE ${TG_WARNINGS})

add_library(tg_shell STATIC ${TG_SHELL_SOURCES})
target_include_directories(tg_shell PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(tg_shell PRIVATE ${TG_WARNINGS})
target_link_libraries(tg_shell PUBLIC tg_core ${TG_WIN_LIBS})

# Event-log message table: windmc compiles UTF-16 texts; the .rc attaches them
# to the neutral language.
set(TG_MC_DIR ${CMAKE_BINARY_DIR}/mc)
add_custom_command(
  OUTPUT ${TG_MC_DIR}/MSG00409.bin ${TG_MC_DIR}/messages.h
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TG_MC_DIR}
  COMMAND ${TG_WINDMC} -U -h ${TG_MC_DIR} -r ${TG_MC_DIR} ${CMAKE_SOURCE_DIR}/src/res/messages.mc
  DEPENDS ${CMAKE_SOURCE_DIR}/src/res/messages.mc
  VERBATIM)
add_custom_target(tg_messages DEPENDS ${TG_MC_DIR}/MSG00409.bin ${TG_MC_DIR}/messages.h)
# The shell checks the event ids it reports against the generated header.
add_dependencies(tg_shell tg_messages)
target_include_directories(tg_shell PRIVATE ${TG_MC_DIR})
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/res/tallowguard.rc PROPERTIES
  OBJECT_DEPENDS "${TG_MC_DIR}/MSG00409.bin;${CMAKE_SOURCE_DIR}/src/res/tallowguard.manifest")

add_executable(Tallowguard WIN32
  ${CMAKE_SOURCE_DIR}/src/frontdoor/winmain_win32.cpp
  ${CMAKE_SOURCE_DIR}/src/res/tallowguard.rc)
add_dependencies(Tallowguard tg_messages)
target_include_directories(Tallowguard PRIVATE ${TG_MC_DIR} ${CMAKE_SOURCE_DIR}/src/res)
target_compile_options(Tallowguard PRIVATE ${TG_WARNINGS})
target_link_libraries(Tallowguard PRIVATE tg_shell)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I${TG_MC_DIR} -I${CMAKE_SOURCE_DIR}/src/res")

# Test-only copies of the program and of the shell tests that run with UTF-8
# as the ANSI code page (asked for by their manifest); never installed.
set(TG_UTF8_RC ${CMAKE_SOURCE_DIR}/tests/res/utf8.rc)
set_source_files_properties(${TG_UTF8_RC} PROPERTIES
  OBJECT_DEPENDS "${TG_MC_DIR}/MSG00409.bin;${CMAKE_SOURCE_DIR}/tests/res/utf8.manifest")
add_executable(Tallowguard_utf8 WIN32 ${CMAKE_SOURCE_DIR}/src/frontdoor/winmain_win32.cpp
  ${TG_UTF8_RC})
add_dependencies(Tallowguard_utf8 tg_messages)
target_include_directories(Tallowguard_utf8 PRIVATE ${TG_MC_DIR} ${CMAKE_SOURCE_DIR}/tests/res)
target_compile_options(Tallowguard_utf8 PRIVATE ${TG_WARNINGS})
target_link_libraries(Tallowguard_utf8 PRIVATE tg_shell)

# Tests run under Wine in one prefix made per run (see tools/wine-prefix.sh).
set(TG_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
add_test(NAME wine_prefix COMMAND ${CMAKE_SOURCE_DIR}/tools/wine-prefix.sh ${TG_PREFIX})
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine)
# Stops the prefix's persistent wineserver once the tests are done, and those
# of suites that were killed before they could stop their own.
add_test(NAME wine_prefix_stop COMMAND ${CMAKE_SOURCE_DIR}/tools/wine-prefix.sh --stop ${TG_PREFIX}
         ${CMAKE_BINARY_DIR}/e2e-prefixes)
set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine)
set(TG_WINE_RUN ${CMAKE_SOURCE_DIR}/tools/wine-run.sh ${TG_PREFIX})

if(TG_CORE_TESTS)
  add_executable(core_tests ${TG_CORE_TESTS})
  target_compile_options(core_tests PRIVATE ${TG_WARNINGS})
  target_link_libraries(core_tests PRIVATE tg_core GTest::gtest_main)
  add_test(NAME core_tests_wine COMMAND ${TG_WINE_RUN} $<TARGET_FILE:core_tests>)
  set_tests_properties(core_tests_wine PROPERTIES FIXTURES_REQUIRED wine)
endif()

if(TG_SHELL_TESTS)
  add_library(shell_test_objects OBJECT ${TG_SHELL_TESTS})
  target_compile_options(shell_test_objects PRIVATE ${TG_WARNINGS})
  target_include_directories(shell_test_objects PRIVATE ${TG_MC_DIR})
  target_link_libraries(shell_test_objects PRIVATE tg_shell GTest::gtest)
  add_executable(shell_tests $<TARGET_OBJECTS:shell_test_objects>)
  add_dependencies(shell_tests Tallowguard)
  target_link_libraries(shell_tests PRIVATE tg_shell GTest::gtest)
  add_test(NAME shell_tests_wine COMMAND ${TG_WINE_RUN} $<TARGET_FILE:shell_tests>)
  set_tests_properties(shell_tests_wine PROPERTIES FIXTURES_REQUIRED wine
    ENVIRONMENT "TG_EXE=$<TARGET_FILE:Tallowguard>")
  # The text and file-name tests again, with UTF-8 as the ANSI code page.
  add_executable(shell_tests_utf8 $<TARGET_OBJECTS:shell_test_objects> ${TG_UTF8_RC})
  add_dependencies(shell_tests_utf8 tg_messages)
  target_include_directories(shell_tests_utf8 PRIVATE ${TG_MC_DIR} ${CMAKE_SOURCE_DIR}/tests/res)
  target_link_libraries(shell_tests_utf8 PRIVATE tg_shell GTest::gtest)
  add_test(NAME shell_tests_utf8_wine COMMAND ${TG_WINE_RUN} $<TARGET_FILE:shell_tests_utf8>
    --gtest_filter=AnsiText*:Names*)
  set_tests_properties(shell_tests_utf8_wine PROPERTIES FIXTURES_REQUIRED wine
    ENVIRONMENT "TG_EXE=$<TARGET_FILE:Tallowguard_utf8>;TG_EXPECT_ACP=65001")
endif()

# End-to-end tests: Python unittest modules that run the real program.
file(GLOB TG_E2E_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/test_*.py)
foreach(py ${TG_E2E_TESTS})
  get_filename_component(name ${py} NAME_WE)
  add_test(NAME e2e_${name}
           COMMAND python3 -m unittest -v ${name}
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/e2e)
  set_tests_properties(e2e_${name} PROPERTIES FIXTURES_REQUIRED wine
    ENVIRONMENT "TG_EXE=$<TARGET_FILE:Tallowguard>;TG_EXE_UTF8=$<TARGET_FILE:Tallowguard_utf8>;TG_PREFIX=${TG_PREFIX};TG_BUILD=${CMAKE_BINARY_DIR};WINEDEBUG=-all"
    TIMEOUT 600)
endforeach()

foreach(src ${TG_BENCHES})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_link_libraries(${name} PRIVATE tg_core)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endforeach()
