// Move-only holders for Win32 handles. Each treats both NULL and
// INVALID_HANDLE_VALUE as empty, and closes what it holds when it goes out of
// scope, so every handle is released on the path that acquired it.
#pragma once

#include "common/win.h"

#include <winsvc.h>

template <typename H, BOOL(WINAPI* Close)(H)> struct Holder {
    H h = nullptr;
    Holder() = default;
    explicit Holder(H v) : h(v) {}
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    Holder(Holder&& o) noexcept : h(o.h) { o.h = nullptr; }
    Holder& operator=(Holder&& o) noexcept
    {
        if (this != &o) {
            reset();
            h = o.h;
            o.h = nullptr;
        }
        return *this;
    }
    ~Holder() { reset(); }
    bool ok() const { return h != nullptr && h != reinterpret_cast<H>(INVALID_HANDLE_VALUE); }
    H get() const { return h; }
    H release()
    {
        H v = h;
        h = nullptr;
        return v;
    }
    void reset(H v = nullptr)
    {
        if (ok())
            Close(h);
        h = v;
    }
};

using HandleHolder = Holder<HANDLE, CloseHandle>;
using FindHolder = Holder<HANDLE, FindClose>;
using ScHolder = Holder<SC_HANDLE, CloseServiceHandle>;

struct KeyHolder {
    HKEY h = nullptr;
    KeyHolder() = default;
    KeyHolder(const KeyHolder&) = delete;
    KeyHolder& operator=(const KeyHolder&) = delete;
    ~KeyHolder()
    {
        if (h != nullptr)
            RegCloseKey(h);
    }
    bool ok() const { return h != nullptr; }
};
