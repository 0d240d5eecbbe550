"""A fresh simulated register on free loopback ports, for the bindings' tests.

Started as the service's page tests start it: ports 0 let ecrsim pick free
ones, and its "ready" line names them.
"""
import os
import re
import subprocess
import threading

READY = re.compile(r"ready, TFTP ([\d.]+):(\d+), line (\d+), display (\d+)")


class Ecrsim:
    def __init__(self, program, state_dir, busy_ms=100):
        self.state = state_dir
        self.proc = subprocess.Popen(
            [program, "--address", "127.0.0.1", "--state", state_dir, "--tftp-port", "0",
             "--line-port", "0", "--keyboard-port", "0", "--busy-ms", str(busy_ms)],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        ready = None
        self.log = []
        for _ in range(10):
            line = self.proc.stdout.readline()
            if not line:
                break
            self.log.append(line)
            ready = READY.search(line)
            if ready:
                break
        if not ready:
            self.stop()
            raise RuntimeError("ecrsim did not start:\n" + "".join(self.log))
        self.host = ready.group(1)
        self.tftp_port = int(ready.group(2))
        self.line_port = int(ready.group(3))
        # A full pipe would stop the register: its log is read as it comes.
        self.reader = threading.Thread(target=lambda: self.log.extend(self.proc.stdout),
                                       daemon=True)
        self.reader.start()

    def env(self, base=None):
        """The environment that points the library at this register."""
        env = dict(os.environ if base is None else base)
        env["ECR_TFTP_PORT"] = str(self.tftp_port)
        env["ECR_LINE_PORT"] = str(self.line_port)
        # The library stages tables in the temporary directory under fixed
        # names: tests that run at once each get their own.
        temp = self.state.rstrip(os.sep) + "-temp"
        os.makedirs(temp, exist_ok=True)
        env["TEMP"] = env["TMP"] = env["TMPDIR"] = temp
        # No trace log beside the interpreter or the test program.
        env.pop("ECR_TRACE", None)
        return env

    def file(self, name):
        with open(os.path.join(self.state, name), "rb") as f:
            return f.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        reader = getattr(self, "reader", None)
        if reader is not None:
            reader.join(5)
        if not self.proc.stdout.closed and (reader is None or not reader.is_alive()):
            self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False
