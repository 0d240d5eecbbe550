#!/usr/bin/env python3
"""Serial peers for the Win32 serial code under Wine.

Makes three pseudo-terminals, links them into the Wine prefix as COM5 (echoes
every byte), COM6 (reads, never echoes) and COM7 (answers every "!" with
ABCDEFGHIJ), runs the test program with VELTRA_WINE_SERIAL=1, then checks the
line settings Wine left on COM7 (115200 baud, raw 8N1, no flow control) and
the text COM5 received.

Usage: wine_serial_peer.py DEFAULT_PREFIX RUNNER PROGRAM [ARGS...]
(the prefix is WINEPREFIX when set, else DEFAULT_PREFIX, as RUNNER uses).
"""
import os
import pty
import select
import subprocess
import sys
import termios
import threading
import tty

PORTS = {5: "echo", 6: "silent", 7: "data"}


class Line:
    def __init__(self, role):
        self.role = role
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.received = b""
        self.stop = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stop:
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if not ready:
                continue
            try:
                data = os.read(self.master, 4096)
            except OSError:
                continue
            self.received += data
            if self.role == "echo":
                os.write(self.master, data)
            elif self.role == "data":
                for _ in range(data.count(b"!")):
                    os.write(self.master, b"ABCDEFGHIJ")


def main():
    default_prefix, runner, program = sys.argv[1], sys.argv[2], sys.argv[3:]
    prefix = os.environ.get("WINEPREFIX") or default_prefix
    devices = os.path.join(prefix, "dosdevices")
    env = dict(os.environ, WINEPREFIX=prefix, VELTRA_WINE_SERIAL="1")
    if not os.path.isdir(devices):
        # A new prefix: let Wine make it before links go in.
        subprocess.run([runner, "cmd", "/c", "exit"], env=env, check=False)
    lines = {n: Line(role) for n, role in PORTS.items()}
    links = []
    for n, line in lines.items():
        link = os.path.join(devices, "com%d" % n)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(line.path, link)
        links.append(link)
    try:
        rc = subprocess.run([runner] + program, env=env).returncode
    finally:
        for line in lines.values():
            line.stop = True
        for link in links:
            os.remove(link)
    failures = []
    attrs = termios.tcgetattr(lines[7].slave)
    iflag, oflag, cflag, lflag, ispeed, ospeed = attrs[:6]
    if ispeed != termios.B115200 or ospeed != termios.B115200:
        failures.append("COM7 speed %r/%r, not 115200" % (ispeed, ospeed))
    if cflag & termios.CSIZE != termios.CS8 or cflag & (termios.PARENB | termios.CSTOPB):
        failures.append("COM7 not 8N1: cflag %o" % cflag)
    if cflag & termios.CRTSCTS or iflag & (termios.IXON | termios.IXOFF):
        failures.append("COM7 has flow control: cflag %o iflag %o" % (cflag, iflag))
    if lflag & (termios.ECHO | termios.ICANON) or oflag & termios.OPOST:
        failures.append("COM7 not raw: lflag %o oflag %o" % (lflag, oflag))
    if lines[5].received != b"=R1/$100":
        failures.append("COM5 received %r" % lines[5].received)
    for f in failures:
        print("wine_serial_peer: " + f)
    return rc if rc != 0 else (1 if failures else 0)


if __name__ == "__main__":
    sys.exit(main())
