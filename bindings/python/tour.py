#!/usr/bin/env python3
"""The tour: the library's version and result names, the register's status
with its 22 info values, the article table to CSV, one department uploaded
and read back, a clock code decoded, and the day's sales.

usage: tour.py HOST FOLDER  (the register's ports from ECR_TFTP_PORT and
ECR_LINE_PORT when it does not use 500 and 1723)
"""
import os
import sys

import veltra

DEPARTMENT_HEADER = ("id_reparto;descr;iva;batt_sing;tipo_sconto;id_aux_lan;id_gruppo;"
                     "prezzo;min_valore;max_valore;valore_sconto;non_fiscale")
DEPARTMENT = "10;GIORNALI E RIVISTE;4;1;0;1;1;120;0;0;0;1"


def rows(path):
    with open(path, encoding="latin-1") as f:
        return f.read().splitlines()


def main(host, folder):
    print("version:", veltra.version())
    for code in (-1, -6, -26, 3):
        meaning = veltra.result_meaning(code)
        print(f"result {code}: {veltra.result_name(code)}" + (f" ({meaning})" if meaning else ""))
    print("files:", " ".join(veltra.files_list()))

    info = veltra.get_info(host)
    print(f"info: {len(info)} values")
    for k, (name, value) in enumerate(info.items()):
        print(f"info {k} {name}={value}")

    plu = os.path.join(folder, "plu.csv")
    print(f"plu: {veltra.recv_plu_all(host, plu)} rows in {plu}")
    print("plu first:", rows(plu)[1])

    sent = os.path.join(folder, "department.csv")
    with open(sent, "w", encoding="latin-1") as f:
        f.write(DEPARTMENT_HEADER + "\n" + DEPARTMENT + "\n")
    print(f"department sent: {veltra.send_reparti(host, sent)} line(s): {DEPARTMENT}")
    back = os.path.join(folder, "reparti.csv")
    veltra.recv_reparti_all(host, back)
    print("department read back:", next(r for r in rows(back) if r.startswith("10;")))

    d, t = info["DATA"], info["ORA"]
    fields = [int(d[0:2]), int(d[2:4]), int(d[4:6]), int(t[0:2]), int(t[2:4]), int(t[4:6])]
    oro = veltra.oro_decode(*fields)
    print(f"clock: {d[0:2]}/{d[2:4]}/{d[4:6]} {t[0:2]}:{t[2:4]}:{t[4:6]} is oro {oro}")
    print("clock text:", veltra.oro_encode(oro))
    s = veltra.oro_2struct(oro)
    print(f"clock record: {s.day} {s.month} {s.year} {s.hour} {s.minute} {s.second} "
          f"weekday {s.weekday} yday {s.yday}")

    sales = os.path.join(folder, "sales")
    os.makedirs(sales, exist_ok=True)
    print("sales:", 1 if veltra.recv_vend_corrente(host, sales) else 0)
    for name in sorted(os.listdir(sales)):
        print(f"sales file {name}: {len(rows(os.path.join(sales, name))) - 1} rows")
    print("tour: done")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    try:
        sys.exit(main(sys.argv[1], sys.argv[2]))
    except veltra.Error as e:
        print(f"tour: failed: {e} [{e.name}, {e.code}]")
        sys.exit(1)
