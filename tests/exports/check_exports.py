#!/usr/bin/env python3
"""Compares a built library's export table with the interface in veltra.h.

The exports must be exactly the functions the header declares (plus the
ecr_files_list data object once the header declares it): nothing missing,
nothing extra, nothing decorated.

Usage: check_exports.py HEADER LIBRARY
Reads ELF libraries with `nm -D --defined-only` and PE DLLs with `objdump -p`
(the tools can be named with NM= and OBJDUMP=).
"""
import os
import re
import subprocess
import sys


def declared(header_path):
    text = open(header_path, encoding="utf-8").read()
    functions = set(re.findall(r"^ECR_API\b[^;(]*?\b(ecr_\w+)\s*\(", text, re.M))
    data = set(re.findall(r"^ECR_DATA\b[^;(]*?\b(ecr_\w+)\b[^(]*;", text, re.M))
    return functions | data


def elf_exports(path):
    nm = os.environ.get("NM", "nm")
    out = subprocess.run([nm, "-D", "--defined-only", path], check=True,
                         capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[1] in "TtDdBbRrVvWwi":
            names.add(parts[2])
    return names


def pe_exports(path):
    objdump = os.environ.get("OBJDUMP", "objdump")
    out = subprocess.run([objdump, "-p", path], check=True,
                         capture_output=True, text=True).stdout
    names = set()
    in_table = False
    for line in out.splitlines():
        if line.startswith("[Ordinal/Name Pointer] Table"):
            in_table = True
            continue
        if in_table:
            m = re.match(r"\s+\[\s*\d+\]\s+(\S+)", line)
            if m:
                names.add(m.group(1))
            elif line.strip() == "" and names:
                break
    return names


# What a DLL may import: the system's own libraries only, so that VELTRA.dll
# loads on a shop PC without a compiler's runtime beside it.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll", "iphlpapi.dll", "user32.dll",
               "advapi32.dll"}


def pe_imports(path):
    objdump = os.environ.get("OBJDUMP", "objdump")
    out = subprocess.run([objdump, "-p", path], check=True,
                         capture_output=True, text=True).stdout
    return set(re.findall(r"DLL Name:\s*(\S+)", out))


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    header, library = sys.argv[1], sys.argv[2]
    want = declared(header)
    if not want:
        print(f"no declarations found in {header}")
        return 1
    is_dll = library.lower().endswith(".dll")
    got = pe_exports(library) if is_dll else elf_exports(library)
    missing = sorted(want - got)
    extra = sorted(got - want)
    foreign = sorted(d for d in pe_imports(library) if d.lower() not in SYSTEM_DLLS) if is_dll else []
    for name in missing:
        print(f"missing export: {name}")
    for name in extra:
        print(f"unexpected export: {name}")
    for name in foreign:
        print(f"imports a library that is not the system's: {name}")
    if missing or extra or foreign:
        return 1
    print(f"{len(got)} exports match {os.path.basename(header)}: {', '.join(sorted(got))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
