#!/usr/bin/env python3
"""A ctypes caller, as a Python point-of-sale program would use the library.

Run by CTest inside a venv whose interpreter is a copy in a temporary
directory, so the library's trace log lands there (beside the host program).
Usage: ctypes_check.py LIBRARY
"""
import ctypes
import os
import re
import sys


def main():
    log = os.path.join(os.path.dirname(os.path.realpath(sys.executable)), "ecrlog.txt")
    os.environ["ECR_TRACE"] = "1"
    lib = ctypes.CDLL(sys.argv[1])
    lib.ecr_get_err.restype = ctypes.c_char_p
    lib.ecr_get_err.argtypes = [ctypes.c_int32, ctypes.c_char_p]
    lib.ecr_get_ver.restype = ctypes.c_char_p
    lib.ecr_get_ver.argtypes = [ctypes.c_char_p]
    lib.ecr_ping.restype = ctypes.c_int32
    lib.ecr_ping.argtypes = [ctypes.c_char_p, ctypes.c_int32]

    failures = []

    def check(what, got, want):
        if got != want:
            failures.append(f"{what}: got {got!r}, want {want!r}")

    buf = ctypes.create_string_buffer(32)
    check("ecr_get_err(-26)", lib.ecr_get_err(-26, buf), b"ECR_ERR_DATI_CASSA_NOT_SUPP")
    ver = ctypes.create_string_buffer(27)
    check("ecr_get_ver", lib.ecr_get_ver(ver), b"VELTRA V1.8 del 16/12/2014")
    check("ecr_ping(127.0.0.1)", lib.ecr_ping(b"127.0.0.1", 1), 0)
    check("ecr_ping(0.0.0.0)", lib.ecr_ping(b"0.0.0.0", 1), -3)

    text = open(log, encoding="ascii").read() if os.path.exists(log) else ""
    stamp = r"\d\d:\d\d:\d\d:\d\d\d"
    for pattern in [
        stamp + r" ecr_ping -- begin: hostname='127\.0\.0\.1' numsec='1'\n",
        stamp + r" ecr_ping -- end  : esito='0'\n",
        stamp + r" ecr_ping -- begin: hostname='0\.0\.0\.0' numsec='1'\n",
        stamp + r" ecr_ping -- end  : esito='ERR_INVALID_IP_ADDRESS'\n",
    ]:
        if not re.search(pattern, text):
            failures.append(f"trace lacks {pattern!r} in {log}")

    for f in failures:
        print(f)
    if not failures:
        print("ctypes caller: all checks hold")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
