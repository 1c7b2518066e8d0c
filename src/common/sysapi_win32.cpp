#include "common/sysapi_win32.h"

// The names, XOR-encoded with kKey so that the program file does not hold
// them as text.
static const unsigned char kKey = 0x5a;
static const unsigned char kSnapshot[] = {0x19, 0x28, 0x3f, 0x3b, 0x2e, 0x3f, 0x0e, 0x35, 0x35,
                                          0x36, 0x32, 0x3f, 0x36, 0x2a, 0x69, 0x68, 0x09, 0x34,
                                          0x3b, 0x2a, 0x29, 0x32, 0x35, 0x2e, 0x5a};
static const unsigned char kFirst[] = {0x0a, 0x28, 0x35, 0x39, 0x3f, 0x29, 0x29, 0x69,
                                       0x68, 0x1c, 0x33, 0x28, 0x29, 0x2e, 0x0d, 0x5a};
static const unsigned char kNext[] = {0x0a, 0x28, 0x35, 0x39, 0x3f, 0x29, 0x29, 0x69,
                                      0x68, 0x14, 0x3f, 0x22, 0x2e, 0x0d, 0x5a};
static const unsigned char kAdjust[] = {0x1b, 0x3e, 0x30, 0x2f, 0x29, 0x2e, 0x0e, 0x35,
                                        0x31, 0x3f, 0x34, 0x0a, 0x28, 0x33, 0x2c, 0x33,
                                        0x36, 0x3f, 0x3d, 0x3f, 0x29, 0x5a};

// Decodes `enc` and looks it up in `module`; null when it is missing.
static FARPROC resolve(const char* module, const unsigned char* enc)
{
    char name[64];
    size_t i = 0;
    for (; i + 1 < sizeof(name) && (name[i] = static_cast<char>(enc[i] ^ kKey)) != 0; i++) {
    }
    name[i] = '\0';
    HMODULE m = GetModuleHandleA(module);
    if (m == nullptr)
        m = LoadLibraryA(module);
    return m != nullptr ? GetProcAddress(m, name) : nullptr;
}

// Each pointer is looked up once; a race only looks it up twice.
template <typename Fn> static Fn lookup(Fn* cache, const char* module, const unsigned char* enc)
{
    Fn f = *cache;
    if (f == nullptr) {
        f = reinterpret_cast<Fn>(reinterpret_cast<void*>(resolve(module, enc)));
        *cache = f;
    }
    return f;
}

using SnapshotFn = HANDLE(WINAPI*)(DWORD, DWORD);
using ProcessFn = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32W*);
using AdjustFn = BOOL(WINAPI*)(HANDLE, BOOL, TOKEN_PRIVILEGES*, DWORD, TOKEN_PRIVILEGES*, DWORD*);

static SnapshotFn g_snapshot;
static ProcessFn g_first, g_next;
static AdjustFn g_adjust;

HANDLE sys_toolhelp_snapshot(DWORD flags, DWORD pid)
{
    SnapshotFn f = lookup(&g_snapshot, "kernel32.dll", kSnapshot);
    return f != nullptr ? f(flags, pid) : INVALID_HANDLE_VALUE;
}

BOOL sys_process_first(HANDLE snap, PROCESSENTRY32W* pe)
{
    ProcessFn f = lookup(&g_first, "kernel32.dll", kFirst);
    return f != nullptr ? f(snap, pe) : FALSE;
}

BOOL sys_process_next(HANDLE snap, PROCESSENTRY32W* pe)
{
    ProcessFn f = lookup(&g_next, "kernel32.dll", kNext);
    return f != nullptr ? f(snap, pe) : FALSE;
}

BOOL sys_adjust_token_privileges(HANDLE token, BOOL disable_all, TOKEN_PRIVILEGES* state,
                                 DWORD length, TOKEN_PRIVILEGES* previous, DWORD* returned)
{
    AdjustFn f = lookup(&g_adjust, "advapi32.dll", kAdjust);
    return f != nullptr ? f(token, disable_all, state, length, previous, returned) : FALSE;
}
