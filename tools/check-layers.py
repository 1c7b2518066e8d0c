#!/usr/bin/env python3
"""Checks the include lines of src/ against the layout rules:

  a. an area includes only itself and the areas below it:
     common <- detect <- {guard, cloud} <- engine <- {install, ui} <- frontdoor
     (guard and cloud do not include each other, nor install and ui);
  b. a core file (not *_win32.*) includes no shell header (*_win32.h,
     common/win.h, common/handles.h) and no Windows system header;
  c. every .cpp has a header of its own name beside it, and includes it.

Prints one line per fault and exits 1 when there is any.
Usage: check-layers.py [src-dir]
"""
import os
import re
import sys

RANK = {
    "common": 0,
    "detect": 1,
    "guard": 2,
    "cloud": 2,
    "engine": 3,
    "install": 4,
    "ui": 4,
    "frontdoor": 5,
}
# Shell headers whose names do not end in _win32.h.
SHELL_HEADERS = {"common/win.h", "common/handles.h"}
# Files that need no header of their own: the program entry.
NO_OWN_HEADER = {"frontdoor/winmain_win32.cpp"}
# System headers that exist only on Windows.
WINDOWS_SYSTEM = re.compile(
    r"^(windows|win[a-z0-9_]*|shlobj|shellapi|shlwapi|shtypes|tlhelp32|sddl|commctrl|"
    r"objbase|ole2|oleauto|psapi|winternl|aclapi|lm[a-z]*|iphlpapi|ws2tcpip|mmsystem|"
    r"dbghelp|wtsapi32|userenv|wincrypt|ntstatus|io|direct|process|conio|intrin)\.h$",
    re.IGNORECASE,
)
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def is_shell(rel):
    name = os.path.basename(rel)
    return re.search(r"_win32\.(h|cpp)$", name) is not None or rel in SHELL_HEADERS


def check(src):
    faults = []
    files = []
    for area in sorted(os.listdir(src)):
        folder = os.path.join(src, area)
        if not os.path.isdir(folder):
            continue
        for name in sorted(os.listdir(folder)):
            if name.endswith((".h", ".cpp")):
                files.append(area + "/" + name)

    for rel in files:
        area = rel.split("/")[0]
        if area not in RANK:
            faults.append(f"{rel}: area '{area}' has no place in the layer order")
            continue
        own = os.path.splitext(rel)[0] + ".h"
        includes_own = False
        with open(os.path.join(src, rel), encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                where = f"{rel}:{number}"
                quoted, target = m.group(1) == '"', m.group(2)
                if not quoted:
                    if not is_shell(rel) and WINDOWS_SYSTEM.match(os.path.basename(target)):
                        faults.append(f"{where}: core file includes Windows header <{target}>")
                    continue
                if target == own:
                    includes_own = True
                parts = target.split("/")
                if len(parts) != 2:
                    faults.append(f'{where}: include "{target}" is not of the form "area/file"')
                    continue
                to = parts[0]
                if to not in RANK:
                    faults.append(f'{where}: include "{target}" names no area of src/')
                    continue
                if RANK[to] > RANK[area]:
                    faults.append(f'{where}: {area} includes "{target}" from a layer above it')
                elif RANK[to] == RANK[area] and to != area:
                    faults.append(f'{where}: {area} includes "{target}" from its sibling {to}')
                if not is_shell(rel) and is_shell(target):
                    faults.append(f'{where}: core file includes shell header "{target}"')
        if rel.endswith(".cpp") and rel not in NO_OWN_HEADER:
            if not os.path.exists(os.path.join(src, own)):
                faults.append(f"{rel}: no header of its own ({own})")
            elif not includes_own:
                faults.append(f'{rel}: does not include its own header "{own}"')
    return faults


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "src")
    faults = check(src)
    for f in faults:
        print(f)
    if faults:
        print(f"check-layers: {len(faults)} fault(s)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
