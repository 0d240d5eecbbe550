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

    for name, argtypes in [
        ("ecr_oro_decode", [ctypes.c_int32] * 6),
        ("ecr_date_decode", [ctypes.c_int32] * 3),
        ("ecr_dates_decode", [ctypes.c_int32] * 2),
        ("ecr_time_decode", [ctypes.c_int32] * 3),
        ("ecr_times_decode", [ctypes.c_int32] * 2),
    ]:
        getattr(lib, name).restype = ctypes.c_uint32
        getattr(lib, name).argtypes = argtypes
    lib.ecr_oro_2long.restype = ctypes.c_uint32
    lib.ecr_oro_2long.argtypes = [ctypes.c_char_p]
    lib.ecr_oro_2struct.restype = ctypes.c_int32
    lib.ecr_oro_2struct.argtypes = [ctypes.c_uint32, ctypes.c_char_p]
    lib.ecr_oro_check.restype = ctypes.c_int32
    lib.ecr_oro_check.argtypes = [ctypes.c_int32] * 6
    lib.ecr_oro_encode.restype = ctypes.c_char_p
    lib.ecr_oro_encode.argtypes = [ctypes.c_uint32, ctypes.c_char_p]

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

    # Clock codes: values above 2^31 travel unsigned, the record keeps byte 7.
    check("ecr_oro_decode", lib.ecr_oro_decode(31, 12, 99, 23, 59, 59), 4102444799)
    check("ecr_date_decode", lib.ecr_date_decode(1, 1, 256), 946684800)
    check("ecr_dates_decode", lib.ecr_dates_decode(15, 8), lib.ecr_date_decode(15, 8, 0))
    check("ecr_time_decode", lib.ecr_time_decode(12, 30, 15), 946729815)
    check("ecr_times_decode", lib.ecr_times_decode(21, 0), 946760400)
    check("ecr_oro_2long", lib.ecr_oro_2long(bytes([0, 3, 14, 0, 0, 0])), 1393545600)
    rec = ctypes.create_string_buffer(b"\xa5" * 10, 10)
    check("ecr_oro_2struct", lib.ecr_oro_2struct(4102444799, rec), 0)
    check("ecr_oro_2struct record", rec.raw, bytes([31, 12, 99, 23, 59, 59, 4, 0xA5, 109, 1]))
    check("ecr_oro_check", lib.ecr_oro_check(29, 2, 1, 0, 0, 0), -1)
    text = ctypes.create_string_buffer(26)
    check("ecr_oro_encode", lib.ecr_oro_encode(2147483648, text), b"19/01/38-03:14:08-[019-2]")

    text = open(log, encoding="ascii").read() if os.path.exists(log) else ""
    stamp = r"\d\d:\d\d:\d\d:\d\d\d"
    if "ecr_oro" in text or "_decode" in text:
        failures.append(f"clock-code functions wrote trace lines in {log}")
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
