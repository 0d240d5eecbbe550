#!/usr/bin/env python3
"""The article CSV written by a plain Python converter, as a yardstick for
ecr_conv_plu_csv: every record of a PLU.BIN (64-byte records) to the same
lines, one record read and one row written at a time as the library's
converter does. Prints the seconds it took and the number of rows.

Usage: plu_csv_reference.py PLU.BIN OUT.csv
"""
import struct
import sys
import time

RECORD = struct.Struct("<B25sBBi14s18x")


def text(field):
    return field.split(b"\0", 1)[0].decode("latin-1")


def main(bin_path, csv_path):
    t0 = time.perf_counter()
    rows = 0
    with open(bin_path, "rb") as table, open(csv_path, "w", encoding="latin-1") as out:
        out.write("id_plu;descr;id_reparto;var_prezzo;zero_si;prezzo;codice_ean\n")
        for n in range(1, 100001):
            table.seek((n - 1) * RECORD.size)
            mark, descr, rep, flags, price, ean = RECORD.unpack(table.read(RECORD.size))
            out.write(f"{n};{text(descr)};{rep + 1};{flags & 1};{(flags >> 1) & 1};{price};{text(ean)}\n")
            rows += 1
    print(f"{time.perf_counter() - t0:.4f} {rows}")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
