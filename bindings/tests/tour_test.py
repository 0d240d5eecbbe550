#!/usr/bin/env python3
"""Runs one binding's tour against a fresh ecrsim and checks what it printed
against the header, the register's own files and the calendar.

usage: tour_test.py LANGUAGE LIBRARY ECRSIM WORKDIR
  LANGUAGE  python, csharp or pascal
  LIBRARY   the built libveltra.so
  WORKDIR   where compiled tours go (in the build tree)
The C# tour needs mcs and mono, the Pascal tour fpc. A missing tool skips
the test (exit 77), or fails it when CI=true. VELTRA_PRELOAD, when set, is
preloaded into the tour alone (a sanitizer's runtime), not into compilers.
"""
import calendar
import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
BINDINGS = os.path.dirname(HERE)
ROOT = os.path.dirname(BINDINGS)
sys.path.insert(0, HERE)

from ecrsim_peer import Ecrsim  # noqa: E402

PLU_HEADER = "id_plu;descr;id_reparto;var_prezzo;zero_si;prezzo;codice_ean"
DEPARTMENT = "10;GIORNALI E RIVISTE;4;1;0;1;1;120;0;0;0;1"
TOOLS = {"python": [], "csharp": ["mcs", "mono"], "pascal": ["fpc"]}


def header_facts():
    """What the header says, read here without the generator."""
    with open(os.path.join(ROOT, "lib", "veltra.h"), encoding="utf-8") as f:
        text = f.read()
    version = re.search(r"version text \"(VELTRA [^\"]+)\"", text).group(1)
    results = {int(v): (n, m) for n, v, m in
               re.findall(r"XX\((\w+),\s*(-?\d+),\s*\"([^\"]*)\"\)", text)}
    block = re.search(r"ecr_files_list: (.*?)\*/", text, re.S).group(1)
    files = re.findall(r"\"([A-Z_]+\.BIN)\"", block)
    return version, results, files


def build(lang, library, work):
    """The command that runs the tour, building it first where needed."""
    libdir = os.path.dirname(library)
    if lang == "python":
        return [sys.executable, os.path.join(BINDINGS, "python", "tour.py")]
    if lang == "csharp":
        exe = os.path.join(work, "tour.exe")
        sources = [os.path.join(BINDINGS, "csharp", n)
                   for n in ("Veltra.cs", "VeltraClient.cs", "Tour.cs")]
        subprocess.run(["mcs", "-warnaserror+", "-nologo", "-out:" + exe] + sources, check=True)
        return ["mono", exe]
    if lang == "pascal":
        units = os.path.join(work, "units")
        os.makedirs(units, exist_ok=True)
        subprocess.run(["fpc", "-vw", "-Sew", "-FU" + units, "-FE" + work,
                        "-Fu" + os.path.join(BINDINGS, "pascal"), "-Fl" + libdir,
                        os.path.join(BINDINGS, "pascal", "tour.pas")],
                       check=True, stdout=subprocess.DEVNULL)
        return [os.path.join(work, "tour")]
    raise SystemExit("unknown language " + lang)


class Checker:
    def __init__(self, out):
        self.lines = out.splitlines()
        self.failures = []

    def line(self, prefix):
        for l in self.lines:
            if l.startswith(prefix):
                return l[len(prefix):]
        self.failures.append(f"no line starting {prefix!r}")
        return None

    def all(self, prefix):
        return [l[len(prefix):] for l in self.lines if l.startswith(prefix)]

    def equal(self, what, got, want):
        if got != want:
            self.failures.append(f"{what}: got {got!r}, want {want!r}")


def csv_rows(path):
    with open(path, encoding="latin-1") as f:
        return f.read().splitlines()


def c_text(raw):
    return raw.split(b"\0", 1)[0].decode("latin-1")


def check_tour(out, sim, folder, started):
    c = Checker(out)
    version, results, files = header_facts()
    c.equal("version", c.line("version: "), version)
    for code in (-1, -6, -26, 3):
        want = f"{results[code][0]} ({results[code][1]})" if code in results else str(code)
        c.equal(f"result {code}", c.line(f"result {code}: "), want)
    c.equal("files", (c.line("files: ") or "").split(), files)

    # The 22 values, as the register sent them.
    c.equal("info count", c.line("info: "), "22 values")
    items = [re.fullmatch(r"(\d+) ([^=]*)=(.*)", l) for l in c.all("info ")
             if not l.startswith(": ")]
    info = {m.group(2): m.group(3) for m in items if m}
    c.equal("info lines", [int(m.group(1)) for m in items if m], list(range(22)))
    c.equal("info PORTA_TFTP", info.get("PORTA_TFTP"), str(sim.tftp_port))
    c.equal("info IP", info.get("IP"), "127.0.0.1")
    c.equal("info STATO", info.get("STATO"), "I")
    today = {d.strftime("%d%m%y") for d in (started, datetime.datetime.now())}
    if info.get("DATA") not in today:
        c.failures.append(f"info DATA {info.get('DATA')!r} is not today ({sorted(today)})")

    # The article table: every record, the first as the register holds it.
    m = re.fullmatch(r"(\d+) rows in (.*)", c.line("plu: ") or "")
    if m:
        rows = csv_rows(m.group(2))
        c.equal("plu rows", int(m.group(1)), 100000)
        c.equal("plu file rows", len(rows) - 1, int(m.group(1)))
        c.equal("plu header", rows[0], PLU_HEADER)
        c.equal("plu first printed", c.line("plu first: "), rows[1])
        rec = sim.file("PLU.BIN")[:64]
        first = rows[1].split(";")
        c.equal("plu first name", first[1], c_text(rec[1:26]))
        c.equal("plu first price", int(first[5]), int.from_bytes(rec[28:32], "little"))
    else:
        c.failures.append("no plu count")

    # The department: back from the register, and in its table file.
    c.equal("department sent", c.line("department sent: "), f"1 line(s): {DEPARTMENT}")
    c.equal("department read back", c.line("department read back: "), DEPARTMENT)
    rep = sim.file("REPARTI.BIN")
    c.equal("department 10 on the register", c_text(rep[9 * 50 + 1:9 * 50 + 26]),
            "GIORNALI E RIVISTE")
    c.equal("department 1 on the register", c_text(rep[1:26]), "REPARTO 1")

    # The clock code of the register's date and time, by the calendar.
    m = re.fullmatch(r"(\d\d)/(\d\d)/(\d\d) (\d\d):(\d\d):(\d\d) is oro (\d+)",
                     c.line("clock: ") or "")
    if m:
        d, mo, y, h, mi, s, oro = (int(g) for g in m.groups())
        c.equal("clock date", f"{d:02}{mo:02}{y:02}", info.get("DATA"))
        c.equal("clock time", f"{h:02}{mi:02}{s:02}", info.get("ORA"))
        when = datetime.datetime(2000 + y, mo, d, h, mi, s)
        c.equal("clock oro", oro, calendar.timegm(when.timetuple()))
        yday, wday = when.timetuple().tm_yday, when.isoweekday()
        c.equal("clock text", c.line("clock text: "),
                when.strftime("%d/%m/%y-%H:%M:%S") + f"-[{yday:03}-{wday}]")
        c.equal("clock record", c.line("clock record: "),
                f"{d} {mo} {y} {h} {mi} {s} weekday {wday} yday {yday}")
    else:
        c.failures.append("no clock line")

    # The day's sales: the two CSV files of the register's day.
    c.equal("sales", c.line("sales: "), "1")
    sales = os.path.join(folder, "sales")
    day = info.get("DATA")
    names = sorted(os.listdir(sales)) if os.path.isdir(sales) else []
    c.equal("sales files", names, [f"VEND_PLU_{day}.CSV", f"VEND_REP_{day}.CSV"])
    printed = {}
    for l in c.all("sales file "):
        m = re.fullmatch(r"(\S+): (\d+) rows", l)
        if m:
            printed[m.group(1)] = int(m.group(2))
    for name in names:
        rows = csv_rows(os.path.join(sales, name))
        first = "id_plu;" if "_PLU_" in name else "id_reparto;"
        if not rows or not rows[0].startswith(first) or len(rows) < 2:
            c.failures.append(f"{name}: no header {first!r} and rows")
        c.equal(f"{name} rows printed", printed.get(name), len(rows) - 1)
    c.equal("last line", c.lines[-1] if c.lines else None, "tour: done")
    return c.failures


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    lang, library, ecrsim, work = sys.argv[1:]
    library = os.path.abspath(library)
    missing = [t for t in TOOLS[lang] if not shutil.which(t)]
    if missing:
        in_ci = os.environ.get("CI") == "true"
        print(f"{' and '.join(missing)} missing (Debian: bash scripts/setup.sh): "
              + ("failed, as CI needs every tour" if in_ci else "skipped"))
        return 1 if in_ci else 77
    os.makedirs(work, exist_ok=True)
    command = build(lang, library, work)
    with tempfile.TemporaryDirectory(prefix=f"veltra-tour-{lang}-") as tmp:
        folder = os.path.join(tmp, "out")
        os.mkdir(folder)
        started = datetime.datetime.now()
        with Ecrsim(ecrsim, os.path.join(tmp, "register")) as sim:
            env = sim.env()
            env["VELTRA_LIBRARY"] = library
            env["PYTHONPATH"] = os.path.join(BINDINGS, "python")
            env["LD_LIBRARY_PATH"] = os.pathsep.join(
                [os.path.dirname(library)] + [p for p in [env.get("LD_LIBRARY_PATH")] if p])
            if env.get("VELTRA_PRELOAD"):
                env["LD_PRELOAD"] = env["VELTRA_PRELOAD"]
            run = subprocess.run(command + ["127.0.0.1", folder], env=env, text=True,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=240)
            print(run.stdout, end="")
            failures = [] if run.returncode == 0 else [f"the tour exited {run.returncode}"]
            failures += check_tour(run.stdout, sim, folder, started)
    for f in failures:
        print("FAIL:", f)
    print(f"{lang} tour: " + ("checked" if not failures else f"{len(failures)} failures"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
