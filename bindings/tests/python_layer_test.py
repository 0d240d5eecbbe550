#!/usr/bin/env python3
"""The Python package's own layer against the built library and ecrsim:
failures as veltra.Error, buffers, get_info's dict, the raw channels as
context managers, the clock helpers, and where the library is looked for.

usage: python_layer_test.py LIBRARY ECRSIM
"""
import calendar
import datetime
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BINDINGS = os.path.dirname(HERE)
ROOT = os.path.dirname(BINDINGS)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(BINDINGS, "python"))

from ecrsim_peer import Ecrsim  # noqa: E402

LIBRARY = ECRSIM = None
veltra = None


def header_text():
    with open(os.path.join(ROOT, "lib", "veltra.h"), encoding="utf-8") as f:
        return f.read()


class Results(unittest.TestCase):
    def test_every_code_of_the_map_has_the_library_name_and_the_header_meaning(self):
        # The header's own list, read here with a regular expression.
        listed = re.findall(r"XX\((\w+),\s*(-?\d+),\s*\"([^\"]*)\"\)", header_text())
        self.assertEqual(len(listed), 26)
        for name, value, meaning in listed:
            with self.subTest(name):
                e = veltra.Error(int(value), "ecr_x")
                self.assertEqual((e.code, e.name, e.meaning), (int(value), name, meaning))
                self.assertEqual(veltra.result_name(int(value)), name)
                self.assertEqual(str(e), f"ecr_x: {name} ({value}): {meaning}")

    def test_codes_outside_the_map(self):
        self.assertEqual(veltra.result_name(5), "5")
        self.assertEqual(veltra.result_name(-27), "-27")
        self.assertIsNone(veltra.result_meaning(-27))
        self.assertEqual(veltra.Error(-27).name, "-27")

    def test_check_passes_counts_and_raises_failures(self):
        self.assertEqual(veltra.check(0), 0)
        self.assertEqual(veltra.check(100000), 100000)
        with self.assertRaises(veltra.Error) as e:
            veltra.check(-17, "ecr_send_xonxoff_ntw")
        self.assertEqual((e.exception.name, e.exception.function),
                         ("ERR_CONNECT_CLOSED", "ecr_send_xonxoff_ntw"))

    def test_a_failing_call_raises_with_its_result(self):
        with self.assertRaises(veltra.Error) as e:
            veltra.conv_plu_csv("/nonexistent/PLU.BIN", os.path.join(tempfile.gettempdir(), "x.csv"))
        self.assertEqual((e.exception.code, e.exception.name, e.exception.function),
                         (-10, "ERR_FILE_NOT_FOUND", "ecr_conv_plu_csv"))
        with self.assertRaises(veltra.Error) as e:
            veltra.get_info("0.0.0.0")
        self.assertEqual(e.exception.name, "ERR_INVALID_IP_ADDRESS")

    def test_texts_fill_their_buffers(self):
        # The longest name and the version text, each with its terminator,
        # fit the sizes the header gives exactly.
        self.assertEqual(len(veltra.result_name(-26)) + 1, veltra.ECR_ERR_BUFSIZE - 4)
        version = re.search(r"version text \"([^\"]+)\"", header_text()).group(1)
        self.assertEqual(veltra.version(), version)
        self.assertEqual(len(version) + 1, veltra.ECR_VER_BUFSIZE)

    def test_files_list_is_the_library_array_and_the_header_list(self):
        block = re.search(r"ecr_files_list: (.*?)\*/", header_text(), re.S).group(1)
        self.assertEqual(veltra.files_list(), re.findall(r"\"([A-Z_]+\.BIN)\"", block))


class Clock(unittest.TestCase):
    CASES = [
        # oro value, fields, weekday, day of the year
        (946684800, (1, 1, 0, 0, 0, 0), 6, 1),
        (2147483648, (19, 1, 38, 3, 14, 8), 2, 19),
        (4102444799, (31, 12, 99, 23, 59, 59), 4, 365),
        (951782400, (29, 2, 0, 0, 0, 0), 2, 60),
    ]

    def test_codes_and_fields_agree_with_the_calendar(self):
        for oro, fields, weekday, yday in self.CASES:
            with self.subTest(oro):
                when = datetime.datetime(2000 + fields[2], fields[1], fields[0], *fields[3:])
                self.assertEqual(calendar.timegm(when.timetuple()), oro)
                self.assertEqual(veltra.oro_decode(*fields), oro)
                self.assertEqual(veltra.oro_of(when), oro)
                self.assertEqual(veltra.oro_2long(bytes(fields)), oro)
                self.assertEqual(veltra.oro_2struct(oro),
                                 veltra.OroStruct(*fields, weekday, yday))
                self.assertEqual(veltra.oro_encode(oro),
                                 when.strftime("%d/%m/%y-%H:%M:%S") + f"-[{yday:03}-{weekday}]")

    def test_out_of_range(self):
        with self.assertRaises(ValueError):
            veltra.oro_2struct(946684799)
        self.assertEqual(veltra.oro_encode(946684799), "99/99/99-99:99:99-[999-1]")
        with self.assertRaises(ValueError):
            veltra.oro_2long(b"\x01\x01\x00")
        self.assertTrue(veltra.oro_check(29, 2, 4, 0, 0, 0))
        self.assertFalse(veltra.oro_check(29, 2, 1, 0, 0, 0))


class OnTheRegister(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="veltra-py-layer-")
        cls.sim = Ecrsim(ECRSIM, os.path.join(cls.tmp.name, "register"))
        cls.saved = dict(os.environ)
        os.environ.update(cls.sim.env())

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()
        os.environ.clear()
        os.environ.update(cls.saved)
        cls.tmp.cleanup()

    def setUp(self):
        # The register notes a closed or new connection when its loop comes
        # round to the socket: a test starts once it serves no host.
        self.wait_host("N")

    def wait_host(self, letter):
        deadline = time.monotonic() + 10
        while veltra.get_status_new("127.0.0.1")[1] != letter:
            if time.monotonic() > deadline:
                self.fail(f"the register never reported host connection {letter!r}")
            time.sleep(0.05)

    def test_get_info_gives_the_22_values_by_their_names(self):
        info = veltra.get_info("127.0.0.1")
        line = veltra.get_info_line("127.0.0.1")
        again = veltra.command("127.0.0.1", 0)

        # Each call reads the register anew: its clock may tick between them.
        def fields(text):
            pairs = [tuple(f.split("=", 1)) for f in text.strip().split(",")]
            return [(n, "" if n in ("DATA", "ORA") else v) for n, v in pairs]

        self.assertEqual(fields(",".join(f"{n}={v}" for n, v in info.items())), fields(line)[:22])
        self.assertEqual(fields(again), fields(line))
        self.assertEqual(len(info), 22)
        self.assertEqual(info["PORTA_TFTP"], str(self.sim.tftp_port))

    def test_status(self):
        self.assertEqual(veltra.get_status_new("127.0.0.1"), ("I", "N"))
        self.assertEqual(veltra.get_status("127.0.0.1"), (0, 0))

    def test_the_line_channel_closes_on_leaving_its_block(self):
        with veltra.open_line("127.0.0.1") as ch:
            self.assertGreaterEqual(ch.sockid, 0)
            self.wait_host("S")
            ch.send("=C1")  # a text piece: the register acknowledges it
            self.assertEqual(ch.recv(16, numsec=1), b"")
        self.assertTrue(ch.closed)
        with self.assertRaises(veltra.Error) as e:
            ch.send("=C1")
        self.assertEqual(e.exception.name, "ERR_CONNECT_CLOSED")
        self.wait_host("N")

    def test_the_line_channel_closes_when_its_block_fails(self):
        with self.assertRaises(KeyError):
            with veltra.open_line("127.0.0.1") as ch:
                raise KeyError("the caller's own failure")
        self.assertTrue(ch.closed)
        # The register sees the connection go.
        self.wait_host("N")

    def test_a_second_connection_is_refused_by_name(self):
        with veltra.open_line("127.0.0.1"):
            self.wait_host("S")
            with self.assertRaises(veltra.Error) as e:
                veltra.open_line("127.0.0.1")
            self.assertEqual(e.exception.name, "ERR_CONNECT_GIA_IN_CORSO")

    def test_tables_round_trip_through_str_paths(self):
        folder = tempfile.mkdtemp(dir=self.tmp.name)
        rows = veltra.recv_reparti_all("127.0.0.1", os.path.join(folder, "rep.csv"))
        self.assertEqual(rows, 80)
        self.assertEqual(veltra.send_reparti("127.0.0.1", os.path.join(folder, "rep.csv")), 80)


class Serial(unittest.TestCase):
    def test_the_serial_channel_is_a_context_manager(self):
        sim = subprocess.Popen([ECRSIM, "--serial", "--serial-echo"], stdout=subprocess.PIPE,
                               text=True)
        try:
            m = re.search(r"serial line on (\S+),", sim.stdout.readline())
            self.assertIsNotNone(m)
            os.environ["ECR_COM9"] = m.group(1)
            with veltra.open_serial(9, baud=1, echo=True) as ch:
                self.assertEqual(ch.port, 9)
                ch.send("=K")  # each byte must come back
            with self.assertRaises(veltra.Error) as e:
                ch.send("=K")
            self.assertEqual(e.exception.name, "ECR_ERR_PORT_NOT_VALID")
        finally:
            os.environ.pop("ECR_COM9", None)
            sim.terminate()
            sim.wait()
            sim.stdout.close()

    def test_a_baud_index_out_of_range_is_refused(self):
        with self.assertRaises(veltra.Error) as e:
            veltra.open_serial(9, baud=6)
        self.assertEqual(e.exception.name, "ECR_ERR_BAUD_NOT_VALID")


class TourChecks(unittest.TestCase):
    """The tours' driver fails a tour that prints a wrong value: the Python
    tour's real output passes, and each line changed as a faulty binding
    would print it is named."""

    def test_each_wrong_line_is_named(self):
        import tour_test
        with tempfile.TemporaryDirectory(prefix="veltra-tour-check-") as tmp:
            folder = os.path.join(tmp, "out")
            os.mkdir(folder)
            started = datetime.datetime.now()
            with Ecrsim(ECRSIM, os.path.join(tmp, "register")) as sim:
                env = sim.env()
                env["PYTHONPATH"] = os.path.join(BINDINGS, "python")
                out = subprocess.run([sys.executable, os.path.join(BINDINGS, "python", "tour.py"),
                                      "127.0.0.1", folder], env=env, text=True,
                                     capture_output=True).stdout
                self.assertEqual(tour_test.check_tour(out, sim, folder, started), [], out)
                cases = [
                    (r"(clock text: \d\d/\d\d/\d\d-\d\d:\d\d:)\d\d", r"\g<1>99", "clock text"),
                    (r"weekday \d", "weekday 9", "clock record"),
                    (r"is oro \d+", "is oro 1", "clock oro"),
                    (r"PORTA_TFTP=\d+", "PORTA_TFTP=500", "info PORTA_TFTP"),
                    (r"info 21 ", "info 20 ", "info lines"),
                    (r"ERR_TIMEOUT \(", "ERR_TIME (", "result -6"),
                    (r"files: LOG\.BIN ", "files: ", "files"),
                    (r"plu: 100000", "plu: 99999", "plu rows"),
                    (r"plu first: 1;MELE", "plu first: 1;PERE", "plu first printed"),
                    (r"department read back: 10;GIORNALI", "department read back: 10;RIVISTE",
                     "department read back"),
                    (r"sales: 1", "sales: 0", "sales"),
                    (r"(sales file VEND_PLU_\d+\.CSV: )\d+", r"\g<1>0", "rows printed"),
                    (r"tour: done\n", "", "last line"),
                ]
                for pattern, replacement, named in cases:
                    with self.subTest(named):
                        wrong, n = re.subn(pattern, replacement, out, count=1)
                        self.assertEqual(n, 1, pattern)
                        failures = tour_test.check_tour(wrong, sim, folder, started)
                        self.assertTrue(any(f.startswith(named) or named in f for f in failures),
                                        f"{named!r} not among {failures}")


class Lookup(unittest.TestCase):
    """Where the package looks for the library, each in a fresh interpreter."""

    def run_python(self, env, code):
        env = dict(env)
        env["PYTHONPATH"] = os.path.join(BINDINGS, "python")
        return subprocess.run([sys.executable, "-c", code], env=env, text=True,
                              capture_output=True)

    def test_veltra_library_names_the_file(self):
        env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
        env["VELTRA_LIBRARY"] = LIBRARY
        r = self.run_python(env, "import veltra; print(veltra.version())")
        self.assertEqual((r.returncode, r.stdout.startswith("VELTRA V")), (0, True), r.stderr)

    def test_a_named_file_that_does_not_load_is_not_replaced_by_another(self):
        env = dict(os.environ, VELTRA_LIBRARY="/nonexistent/libveltra.so",
                   LD_LIBRARY_PATH=os.path.dirname(LIBRARY))
        r = self.run_python(env, "import veltra; veltra.version()")
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("VELTRA library not found", r.stderr)
        self.assertIn("/nonexistent/libveltra.so", r.stderr)
        self.assertNotIn("libveltra.so.1:", r.stderr)

    def test_the_platform_search_finds_the_runtime_name(self):
        env = {k: v for k, v in os.environ.items() if k != "VELTRA_LIBRARY"}
        env["LD_LIBRARY_PATH"] = os.path.dirname(LIBRARY)
        r = self.run_python(env, "import veltra, os; veltra.version(); "
                                 "print(os.path.basename(veltra._api._lib.dll()._name))")
        self.assertEqual((r.returncode, r.stdout.strip()), (0, "libveltra.so.1"), r.stderr)

    def test_import_needs_no_library(self):
        env = dict(os.environ, VELTRA_LIBRARY="/nonexistent/libveltra.so")
        r = self.run_python(env, "import veltra; print(veltra.ECR_INFO_VARS)")
        self.assertEqual((r.returncode, r.stdout.strip()), (0, "22"), r.stderr)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    LIBRARY, ECRSIM = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    os.environ["VELTRA_LIBRARY"] = LIBRARY
    os.environ.pop("ECR_TRACE", None)
    import veltra as _veltra
    veltra = _veltra
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:])
