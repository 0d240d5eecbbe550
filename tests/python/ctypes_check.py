#!/usr/bin/env python3
"""A ctypes caller, as a Python point-of-sale program would use the library.

Run by CTest inside a venv whose interpreter is a copy in a temporary
directory, so the library's trace log lands there (beside the host program).
Usage: ctypes_check.py LIBRARY
"""
import ctypes
import os
import re
import socket
import subprocess
import sys
import tempfile
import time


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tftpd_checks(lib, check):
    """tftpd-hpa plays the register: files, status letters, tables."""
    tftpd = "/usr/sbin/in.tftpd"
    if os.geteuid() != 0 or not os.path.exists(tftpd):
        print("tftpd-hpa checks skipped (need root and tftpd-hpa)")
        return
    with tempfile.TemporaryDirectory() as root, tempfile.TemporaryDirectory() as work:
        port = free_udp_port()
        server = subprocess.Popen([tftpd, "-L", "-a", f"127.0.0.1:{port}", "-s", "-c", "-p",
                                   "-u", "root", root])
        try:
            os.environ["ECR_TFTP_PORT"] = str(port)
            os.environ["TEMP"] = work
            time.sleep(0.3)
            fields = ["F%d=%s" % (i, {10: "V", 14: "1", 15: "2"}.get(i, "0")) for i in range(22)]
            with open(os.path.join(root, "RESPONSE.TXT"), "w") as f:
                f.write(",".join(fields) + "\r\n")
            plu = bytearray(6400000)
            plu[1:9] = b"ARTICOLO"
            plu[26] = 4
            plu[28:32] = (250).to_bytes(4, "little")
            with open(os.path.join(root, "PLU.BIN"), "wb") as f:
                f.write(plu)

            lib.ecr_command.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int32,
                                        ctypes.c_char_p, ctypes.c_int32]
            local = os.path.join(work, "PLU.BIN").encode()
            check("ecr_command get PLU.BIN", lib.ecr_command(b"127.0.0.1", local, 7, None, 0), 0)
            check("PLU.BIN arrived whole", open(local, "rb").read() == bytes(plu), True)

            stato, conn = ctypes.create_string_buffer(2), ctypes.create_string_buffer(2)
            lib.ecr_get_status_new.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p]
            check("ecr_get_status_new", lib.ecr_get_status_new(b"127.0.0.1", stato, conn), 0)
            check("status letters", (stato.value, conn.value), (b"V", b"S"))

            csv = os.path.join(work, "plu.csv").encode()
            lib.ecr_conv_plu_csv.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int32]
            check("ecr_conv_plu_csv", lib.ecr_conv_plu_csv(local, csv, 1), 100000)
            with open(csv, "r", newline="") as f:
                lines = f.read().split("\n")
            check("article CSV header", lines[0], "id_plu;descr;id_reparto;var_prezzo;zero_si;prezzo;codice_ean")
            check("article 1", lines[1], "1;ARTICOLO;5;0;0;250;")
            check("article 100000", lines[100000], "100000;;1;0;0;0;")

            # A free register for the upload.
            fields = ["F%d=%s" % (i, {10: "I", 14: "1"}.get(i, "0")) for i in range(22)]
            with open(os.path.join(root, "RESPONSE.TXT"), "w") as f:
                f.write(",".join(fields))
            dep = os.path.join(work, "rep.csv")
            with open(dep, "w") as f:
                f.write("id_reparto;descr;iva;batt_sing;tipo_sconto;id_aux_lan;id_gruppo;prezzo;"
                        "min_valore;max_valore;valore_sconto;non_fiscale\n80;GIORNALI;4;1;0;1;1;0;0;0;0;1\n")
            lib.ecr_send_reparti.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
            check("ecr_send_reparti", lib.ecr_send_reparti(b"127.0.0.1", dep.encode()), 1)
            want = bytearray()
            for n in range(1, 81):
                rec = bytearray(50)
                name = b"GIORNALI" if n == 80 else b"REPARTO %d" % n
                rec[1:1 + len(name)] = name
                if n == 80:
                    rec[26] = 3 | 0x08
                    rec[44] = 1
                want += rec
            got = open(os.path.join(root, "REPARTI.BIN"), "rb").read()
            check("REPARTI.BIN on the server", got == bytes(want), True)
        finally:
            server.terminate()
            server.wait()
            os.environ.pop("ECR_TFTP_PORT", None)


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

    tftpd_checks(lib, check)
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
