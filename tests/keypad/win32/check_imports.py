#!/usr/bin/env python3
"""delpad.exe imports only DLLs that come with Windows: no C++ runtime,
no threads library, no toolkit beside it."""
import subprocess
import sys

# Windows' own libraries that delpad.exe may use.
SYSTEM = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "ws2_32.dll",
    "msvcrt.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
}


def imports(objdump, exe):
    out = subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                         text=True).stdout
    return [line.split(":", 1)[1].strip() for line in out.splitlines()
            if line.strip().startswith("DLL Name:")]


def main():
    objdump, exe = sys.argv[1], sys.argv[2]
    names = imports(objdump, exe)
    print("imports:", " ".join(names))
    foreign = [n for n in names
               if n.lower() not in SYSTEM and not n.lower().startswith("api-ms-win-")]
    required = {"user32.dll", "gdi32.dll", "ws2_32.dll"}
    missing = required - {n.lower() for n in names}
    if foreign:
        print("not part of Windows:", " ".join(foreign))
    if missing:
        print("expected and missing:", " ".join(sorted(missing)))
    return 1 if foreign or missing or not names else 0


if __name__ == "__main__":
    sys.exit(main())
