#!/usr/bin/env python3
"""delpad.exe under Wine on a virtual X screen, as a shop assistant uses it.

Loopback servers play the register's DATA and SEND ports; keys are clicked
and typed with xdotool and the bytes the register receives are checked
exactly; display texts are sent and read back from the display control
(through delpad_probe.exe) and from the screen. With --screenshot PATH it
only saves a picture of the window instead (for README)."""
import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

ARGS = None
HEAD = b"#" * 23  # the register's own first 23 characters of every arrival
FAILURE = "Indirizzo IP non rintracciabile"
SAVE_FAILURE = "Impossibile scrivere ip.txt nella cartella del programma"


def message(code):
    return b'"' + code.encode() + b'"202F'


def wait_for(predicate, seconds=10.0, step=0.1):
    end = time.monotonic() + seconds
    while True:
        value = predicate()
        if value or time.monotonic() > end:
            return value
        time.sleep(step)


class Screen:
    """An Xvfb server of its own."""

    def __init__(self, size="1280x1024"):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", size + "x24",
             "-nolisten", "tcp"], pass_fds=(write_end,), stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            self.display = ":" + f.readline().strip()

    def close(self):
        self.process.terminate()
        self.process.wait(10)


class Register:
    """The register's two listening ports on 127.0.0.1, below 32768 because
    DELPAD's ports are signed 16-bit."""

    def __init__(self):
        self.data_server = self._listen()
        self.send_server = self._listen()
        self.data_port = self.data_server.getsockname()[1]
        self.send_port = self.send_server.getsockname()[1]
        self.data = None
        self.send = None

    @staticmethod
    def _listen():
        base = 20000 + (os.getpid() * 7) % 9000
        for port in range(base, 32767):
            s = socket.socket()
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                s.close()
                continue
            s.listen(4)
            s.settimeout(15)
            return s
        raise RuntimeError("no free port below 32768")

    def accept_both(self):
        for s in (self.data, self.send):
            if s is not None:
                s.close()
        self.data = self.data_server.accept()[0]
        self.send = self.send_server.accept()[0]

    def received(self, size, seconds=5.0):
        """What SEND brought, once `size` bytes are there (or time is up)."""
        self.send.settimeout(0.2)
        got = b""
        end = time.monotonic() + seconds
        while len(got) < size and time.monotonic() < end:
            try:
                chunk = self.send.recv(4096)
            except socket.timeout:
                continue
            if not chunk:
                break
            got += chunk
        # Anything extra that follows at once would be a fault too.
        try:
            self.send.settimeout(0.3)
            got += self.send.recv(4096)
        except (socket.timeout, OSError):
            pass
        return got

    def close(self):
        for s in (self.data, self.send, self.data_server, self.send_server):
            if s is not None:
                s.close()


class Delpad:
    """delpad.exe started beside its settings files."""

    def __init__(self, screen, folder, prefix=None):
        self.screen = screen
        self.folder = folder
        self.env = dict(os.environ, DISPLAY=screen.display, WINEDEBUG="-all")
        if prefix:
            self.env["WINEPREFIX"] = prefix
        self._centres = None
        self.process = None
        # A window normally comes within seconds; once in CI the first one
        # on a new wineserver never came. What the screen showed then goes
        # to the log, and the prefix's wineserver starts over once.
        for attempt, seconds in enumerate((120, 180)):
            self.process = subprocess.Popen(
                [ARGS.wine, os.path.join(folder, "delpad.exe")], cwd=folder, env=self.env,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if wait_for(lambda: len(self.probe("client").split()) == 4, seconds, 0.3):
                return
            self.report_no_window(attempt)
            self.close()
            subprocess.run([wineserver(), "-k"], env=self.env, timeout=60)
        raise RuntimeError("delpad.exe shows no window")

    def report_no_window(self, attempt):
        shot = os.path.join(tempfile.gettempdir(), f"delpad-no-window-{os.getpid()}-{attempt}.png")
        subprocess.run(["import", "-window", "root", shot], env=self.env, timeout=60)
        ps = subprocess.run(["ps", "-eo", "pid,etime,stat,args"], capture_output=True,
                            text=True).stdout
        wine_lines = [line for line in ps.splitlines() if "wine" in line or ".exe" in line]
        sys.stderr.write(f"no delpad window (attempt {attempt + 1}); screen: {shot}\n" +
                         "\n".join(wine_lines) + "\n")

    def probe(self, *command):
        try:
            done = subprocess.run([ARGS.wine, ARGS.probe, *command], env=self.env,
                                  capture_output=True, text=True, timeout=30)
        except subprocess.TimeoutExpired:
            return ""
        return done.stdout.strip()

    def text(self, name):
        hex_text = self.probe("text", name)
        return "" if hex_text == "-" else bytes.fromhex(hex_text).decode("utf-8")

    def box(self):
        """The message box's text, closing it with OK; None without one."""
        lines = self.probe("box").splitlines()
        if not lines or lines[0] == "none":
            return None
        text = "" if lines[0] == "-" else bytes.fromhex(lines[0]).decode("utf-8")
        return text, lines[1]

    def centres(self):
        if self._centres is None:
            self._centres = {}
            for line in self.probe("centres").splitlines():
                name, x, y = line.rsplit(" ", 2)
                self._centres[name] = (int(x), int(y))
        return self._centres

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, check=True, timeout=60)

    def click(self, *names):
        args = []
        for name in names:
            x, y = self.centres()[name]
            args += ["mousemove", str(x), str(y), "click", "1", "sleep", "0.05"]
        self.xdotool(*args)

    def keys(self, *keys):
        self.xdotool("key", "--delay", "60", *keys)

    def client(self):
        return [int(v) for v in self.probe("client").split()]

    def grab(self, path, area=None):
        left, top, width, height = area or self.client()
        subprocess.run(["import", "-window", "root", "-crop",
                        f"{width}x{height}+{left}+{top}", "+repage", path],
                       env=self.env, check=True, timeout=60)

    def pixel(self, x, y):
        """The screen's colour at x, y as #RRGGBB."""
        out = subprocess.run(["import", "-window", "root", "-crop", f"1x1+{x}+{y}", "+repage",
                              "txt:-"], env=self.env, capture_output=True, text=True,
                             check=True, timeout=60).stdout
        return re.search(r"#[0-9A-F]{6}", out.upper()).group(0)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(20)


def wine_prefix():
    """The prefix the emulator uses: the caller's, or the build tree's."""
    return os.environ.get("WINEPREFIX") or os.path.normpath(
        os.path.join(os.path.dirname(ARGS.wine), "..", "build", "wineprefix"))


def private_prefix():
    """A prefix of its own, linked from the shared one, so that a second
    screen gets its own wineserver (Wine keeps the screen it started on)."""
    if not os.path.isdir(os.path.join(wine_prefix(), "drive_c")):
        subprocess.run([ARGS.wine, "wineboot", "-i"], env=dict(os.environ, WINEDEBUG="-all"),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    copy = tempfile.mkdtemp(prefix="delpad-prefix-")
    os.rmdir(copy)
    subprocess.run(["cp", "-al", wine_prefix(), copy], check=True)
    for name in os.listdir(copy):
        path = os.path.join(copy, name)
        if name.endswith(".reg"):
            os.unlink(path)
            shutil.copy(os.path.join(wine_prefix(), name), path)
        elif name == "wineserver":
            os.unlink(path)
    return copy


def wineserver():
    return shutil.which("wineserver") or "/usr/lib/wine/wineserver64"


def end_prefix(prefix):
    subprocess.run([wineserver(), "-k"], env=dict(os.environ, WINEPREFIX=prefix))
    shutil.rmtree(prefix, True)


def warm_up(screen, prefix):
    """Starts the prefix's wineserver and desktop on the screen, which takes
    a while the first time, before any case counts its seconds."""
    env = dict(os.environ, DISPLAY=screen.display, WINEDEBUG="-all", WINEPREFIX=prefix)
    start = time.monotonic()
    try:
        subprocess.run([ARGS.wine, ARGS.probe, "client"], env=env, timeout=300,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        pass
    sys.stderr.write(f"wine ready on {screen.display} after {time.monotonic() - start:.1f} s\n")


# One X screen with a prefix of its own for most cases: Wine stays on the
# screen it first met, and other tests may use the shared prefix meanwhile.
SHARED_SCREEN = []


class DelpadCase(unittest.TestCase):
    screen = None
    prefix = None

    @classmethod
    def setUpClass(cls):
        if not SHARED_SCREEN:
            screen, prefix = Screen(), private_prefix()
            warm_up(screen, prefix)
            SHARED_SCREEN.append((screen, prefix))
        cls.screen, cls.prefix = SHARED_SCREEN[0]

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="delpad-wine-")
        shutil.copy(ARGS.delpad, self.folder)
        self.register = Register()
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.addCleanup(self.register.close)

    def write(self, name, content):
        with open(os.path.join(self.folder, name), "wb") as f:
            f.write(content)

    def write_settings(self, ip=b'"127.0.0.1"\r\n'):
        self.write("ip.txt", ip)
        self.write("Data.txt", b"%d\r\n" % self.register.data_port)
        self.write("Send.txt", b"%d\r\n" % self.register.send_port)

    def start(self, accept=True):
        self.delpad = Delpad(self.screen, self.folder, self.prefix)
        self.addCleanup(self.delpad.close)
        if accept:
            self.register.accept_both()
        return self.delpad

    def show(self, text):
        self.register.data.sendall(HEAD + text)

    def assertDisplay(self, expected):
        shown = wait_for(lambda: (lambda t: t if t == expected else None)(
            self.delpad.text("Label1")), 10, 0.2)
        self.assertEqual(self.delpad.text("Label1") if shown is None else shown, expected)


class StartAndKeys(DelpadCase):
    def test_start_reads_the_settings_and_connects_both(self):
        # Notepad's byte-order mark, quotes and a comment after a comma.
        self.write_settings(ip=b'\xef\xbb\xbf"127.0.0.1",cassa 1\r\n')
        d = self.start()
        self.assertEqual(d.text("Text3"), "127.0.0.1")
        self.assertEqual(d.text("Text4"), str(self.register.data_port))
        self.assertEqual(d.text("Text5"), str(self.register.send_port))
        self.assertTrue(wait_for(lambda: d.text("Connessione") == "COLLEGATO"))
        self.assertRegex(d.text("Label3"), r"     vers\. \d+\.\d+\.\d+$")
        # The keyboard does not start in the IP field.
        self.assertEqual(d.probe("focus"), "TASTIERA")

    def test_every_visible_key_clicked_sends_its_message(self):
        self.write_settings()
        d = self.start()
        keys = [line.split(" ")[0] for line in d.probe("centres").splitlines()]
        codes = dict(EXPECTED_CODES)
        pressed = [k for k in keys if k in codes]
        self.assertEqual(len(pressed), 56)  # 58 keys, FATTURA and RISTAMPA hidden
        d.click(*pressed)
        expected = b"".join(message(codes[k]) for k in pressed)
        self.assertEqual(self.register.received(len(expected)), expected)
        self.assertIsNone(d.box())

    def test_pc_keyboard_plays_the_keypad(self):
        self.write_settings()
        d = self.start()
        x, y = d.centres()["Label1"]
        d.xdotool("mousemove", str(x), str(y))
        d.keys("3", "5", "comma", "period", "d", "x", "asterisk", "Return", "BackSpace",
               "Escape", "F1", "F12", "KP_Enter", "0")
        expected = b"".join(message(c) for c in (
            "03", "05", "0B", "0B", "0A", "61", "61", "5C", "5F", "69", "0C", "17", "5C",
            "00"))
        self.assertEqual(self.register.received(len(expected)), expected)
        self.assertEqual(d.text("Text3"), "127.0.0.1")

    def test_ip_field_takes_typing_only_when_clicked(self):
        self.write_settings()
        d = self.start()
        d.click("Text3")
        d.keys("End", "9", "Return")
        self.assertTrue(wait_for(lambda: d.text("Text3") == "127.0.0.19"))
        self.assertEqual(self.register.received(1, seconds=1), b"")
        # Escape gives the keyboard back to the keypad.
        d.keys("Escape", "7")
        self.assertEqual(self.register.received(8), message("07"))
        # Tab moves a visible focus; Space presses the framed key.
        d.keys("Tab", "Tab", "Tab")
        focused = d.probe("focus")
        codes = dict(EXPECTED_CODES)
        while focused not in codes:
            d.keys("Tab")
            focused = d.probe("focus")
        # The framed key carries a black frame 3 pixels inside its left edge
        # (department keys are 145 pixels wide at 96 dpi, the others 97).
        x, y = d.centres()[focused]
        x -= (72 if focused.upper().startswith("REPARTO") else 48) - 3
        time.sleep(0.3)
        self.assertEqual(d.pixel(x, y), "#000000")
        d.keys("space")
        self.assertEqual(self.register.received(8), message(codes[focused]))
        d.keys("Tab")
        time.sleep(0.3)
        self.assertNotEqual(d.probe("focus"), focused)
        self.assertNotEqual(d.pixel(x, y), "#000000")


class Display(DelpadCase):
    def test_display_is_plain_single_byte_text(self):
        self.write_settings()
        d = self.start()
        cases = [
            (b"1234567", "1234567\r\n"),
            (b"   TOTALE   ", "TOTALE   \r\n"),
            (b"<b>12,50</b> &amp; <img src=\"C:\\x.png\">",
             "<b>12,50</b> &amp; <img src=\"C:\\x.png\">\r\n"),
            (b"&Totale", "&Totale\r\n"),
            (b"\x80 5,00 \xe0", "\u20ac 5,00 \u00e0\r\n"),
        ]
        for sent, shown in cases:
            self.show(sent)
            self.assertDisplay(shown)
        # 23 characters or fewer empty the display.
        self.register.data.sendall(HEAD)
        self.assertDisplay("\r\n")

    def test_trailing_blanks_move_the_centred_text(self):
        self.write_settings()
        d = self.start()
        x, y = d.centres()["Label1"]
        # The display line: 585 x 113 pixels at 96 dpi around its centre.
        area = (x - 292, y - 56, 585, 113)

        def first_dark_column(text):
            self.show(text)
            self.assertDisplay(text.decode("cp1252").lstrip(" ") + "\r\n")
            time.sleep(0.3)
            path = os.path.join(self.folder, "display.txt")
            d.grab(path.replace(".txt", ".png"), area)
            out = subprocess.run(
                ["convert", path.replace(".txt", ".png"), "-threshold", "30%", "-negate",
                 "-trim", "info:"], capture_output=True, text=True, check=True).stdout
            # "... PNG 585x113 81x33+252+10 ..." : the offset of the inked part.
            geometry = out.split()[3]
            return int(geometry.split("+")[1])

        plain = first_dark_column(b"ABC")
        padded = first_dark_column(b"ABC      ")
        self.assertLess(padded, plain)
        # Six cells of padding move the text three cells to the left.
        cell = (plain - padded) / 3
        self.assertGreater(cell, 15)

    def test_display_blanks_and_mark_drops_when_data_closes(self):
        self.write_settings()
        d = self.start()
        self.show(b"TOTALE 12,50")
        self.assertDisplay("TOTALE 12,50\r\n")
        self.register.data.close()
        self.register.data = None
        self.assertDisplay("")
        self.assertTrue(wait_for(lambda: d.text("Connessione") == "NON COLLEGATO"))


class Failures(DelpadCase):
    def test_no_settings_first_key_shows_the_box_once(self):
        d = self.start(accept=False)
        self.assertEqual(d.text("Text3"), "")
        d.click("TOTALE")
        box = wait_for(d.box, 10, 0.3)
        self.assertEqual(box, (FAILURE, "ok-only"))
        time.sleep(0.5)
        self.assertIsNone(d.box())

    def test_key_after_a_drop_connects_once_more(self):
        self.write_settings()
        d = self.start()
        self.register.send.close()
        self.register.data.close()
        self.assertTrue(wait_for(lambda: d.text("Connessione") == "NON COLLEGATO"))
        d.click("SBTL")
        self.register.send = self.register.send_server.accept()[0]
        self.assertEqual(self.register.received(8), message("5D"))
        self.register.data = self.register.data_server.accept()[0]
        self.show(b"DI NUOVO")
        self.assertDisplay("DI NUOVO\r\n")
        self.assertIsNone(d.box())

    def test_register_gone_shows_the_box(self):
        self.write_settings()
        d = self.start()
        self.register.send_server.close()
        self.register.send.close()
        d.click("C")
        self.assertEqual(wait_for(d.box, 10, 0.3), (FAILURE, "ok-only"))

    def test_salva_ip_saves_and_reconnects_or_says_it_cannot(self):
        self.write_settings(ip=b"  127.0.0.1  \r\n")
        d = self.start()
        d.click("Command5")
        self.register.accept_both()
        with open(os.path.join(self.folder, "ip.txt"), "rb") as f:
            self.assertEqual(f.read(), b'"127.0.0.1"\r\n')
        d.click("REPARTO12")
        self.assertEqual(self.register.received(8), message("17"))
        # A folder where ip.txt cannot be written is reported.
        os.mkdir(os.path.join(self.folder, "ip.txt.new"))
        d.click("Command5")
        self.assertEqual(wait_for(d.box, 10, 0.3), (SAVE_FAILURE, "ok-only"))

    def test_off_closes_both_and_ends(self):
        self.write_settings()
        d = self.start()
        d.click("CHIUDI")
        self.assertIsNotNone(wait_for(lambda: d.process.poll() is not None, 15))
        self.register.send.settimeout(5)
        self.register.data.settimeout(5)
        self.assertEqual(self.register.send.recv(10), b"")
        self.assertEqual(self.register.data.recv(10), b"")


class SmallScreen(DelpadCase):
    @classmethod
    def setUpClass(cls):
        cls.screen = Screen("1024x600")
        cls.prefix = private_prefix()
        warm_up(cls.screen, cls.prefix)

    @classmethod
    def tearDownClass(cls):
        end_prefix(cls.prefix)
        cls.screen.close()

    def test_window_scales_down_to_fit(self):
        d = self.start(accept=False)
        left, top, width, height = d.client()
        self.assertLessEqual(left + width, 1024)
        self.assertLessEqual(top + height, 600)
        self.assertLess(height, 721)
        self.assertAlmostEqual(width / height, 15240 / 10815, delta=0.02)


# Every key's code, written out from the register's key list.
EXPECTED_CODES = [
    ("T7(0)", "00"), ("T7(1)", "01"), ("T7(2)", "02"), ("T7(3)", "03"), ("T7(4)", "04"),
    ("T7(5)", "05"), ("T7(6)", "06"), ("T7(7)", "07"), ("T7(8)", "08"), ("T7(9)", "09"),
    ("Command2", "0A"), ("Command3_VIRG", "0B"),
] + [("reparto15" if n == 15 else "REPARTO%d" % n, "%02X" % (n + 11)) for n in range(1, 22)] + [
    ("TOTALE", "5C"), ("SBTL", "5D"), ("Credito", "5E"), ("C", "5F"), ("PLU", "60"),
    ("X", "61"), ("Command1", "63"), ("CARTACRED", "64"), ("PERC_A", "65"),
    ("SCONTO", "66"), ("ANNULLA", "69"), ("MENU", "6B"), ("OPERAT", "6C"),
    ("CASSETTO", "6D"), ("FEED", "6E"), ("TOTALVOID", "6F"), ("FUNZIONE", "70"),
    ("BUONI", "71"), ("RESO", "72"), ("ResoRT", "72"), ("CF", "73"), ("EAN", "74"),
    ("FATTURA", "7D"), ("RISTAMPA_FATTURA", "81"), ("AnnulloRT", "86"),
]


def screenshot(path):
    """A picture of the window with a text on its display, for README."""
    screen = Screen()
    prefix = private_prefix()
    folder = tempfile.mkdtemp(prefix="delpad-shot-")
    register = Register()
    try:
        shutil.copy(ARGS.delpad, folder)
        for name, content in (("ip.txt", b'"127.0.0.1"\r\n'),
                              ("Data.txt", b"%d\r\n" % register.data_port),
                              ("Send.txt", b"%d\r\n" % register.send_port)):
            with open(os.path.join(folder, name), "wb") as f:
                f.write(content)
        d = Delpad(screen, folder, prefix)
        register.accept_both()
        register.data.sendall(HEAD + b"TOTALE        12,50")
        wait_for(lambda: d.text("Label1").startswith("TOTALE"))
        wait_for(lambda: d.text("Connessione") == "COLLEGATO")
        time.sleep(0.5)
        raw = os.path.join(folder, "raw.png")
        d.grab(raw)
        subprocess.run(["convert", raw, "-colors", "64", "-strip", path], check=True)
        d.close()
    finally:
        register.close()
        end_prefix(prefix)
        screen.close()
        shutil.rmtree(folder, True)
    print(path, os.path.getsize(path), "bytes")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--delpad", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--wine", default="wine")
    parser.add_argument("--screenshot")
    ARGS, rest = parser.parse_known_args()
    # The programs run from the settings folder: paths must not be relative.
    for name in ("delpad", "probe", "wine"):
        value = getattr(ARGS, name)
        if os.sep in value:
            setattr(ARGS, name, os.path.abspath(value))
    if ARGS.screenshot:
        screenshot(ARGS.screenshot)
        return 0
    program = unittest.main(argv=[sys.argv[0], "-v", *rest], exit=False)
    for screen, prefix in SHARED_SCREEN:
        end_prefix(prefix)
        screen.close()
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
