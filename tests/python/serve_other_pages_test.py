#!/usr/bin/python3
"""veltra serve against other web pages, in Debian's chromium, headless: a
page of another loopback origin and the same page opened as a local file
try a no-cors fetch of keys and an auto-submitted form that resets the day;
curl sends a foreign Origin and a foreign Host. The register (read through
its log) changes in nothing, the service's log shows each refused. The
service's own page keeps working, without a token and with one.

usage: serve_other_pages_test.py VELTRA
Exits 77 (skipped) when selenium or chromium is missing, unless
VELTRA_NEED_BROWSER=1: then a missing one fails the test."""
import functools
import json
import http.server
import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

MISSING = 1 if os.environ.get("VELTRA_NEED_BROWSER") == "1" else 77

try:
    from selenium import webdriver
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("selenium missing: " + ("failed" if MISSING == 1 else "skipped"))
    sys.exit(MISSING)

TOKEN = "0123456789abcdef-page-token"

# What a page of another site tries. Each request is one the issue saw
# change a register.
HOSTILE = """<!DOCTYPE html><html><head><title>start</title></head><body>
<iframe name="sink" style="display:none"></iframe>
<form id="reset" method="POST" target="sink"
      action="BASE/api/v1/registers/cassa1/commands/azzdati?confirm=1">
<input name="x" value="1"></form>
<script>
fetch("BASE/api/v1/registers/cassa1/keys", {method: "POST", mode: "no-cors",
      headers: {"Content-Type": "text/plain"},
      body: JSON.stringify({keys: ["1", "REPARTO 1", "TOTALE"]})})
  .then(() => { document.title += " fetched"; }, () => { document.title += " fetch-failed"; });
document.getElementById("reset").submit();
setTimeout(() => { document.title += " done"; }, 2000);
</script></body></html>
"""


class Lines:
    """A process's output lines, gathered by a thread as they come."""

    def __init__(self, stream):
        self.q = queue.Queue()
        self.all = []
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            self.q.put(line.rstrip("\n"))

    def first(self, pattern, seconds=10):
        end = time.time() + seconds
        while time.time() < end:
            try:
                line = self.q.get(timeout=0.2)
            except queue.Empty:
                continue
            self.all.append(line)
            m = re.search(pattern, line)
            if m:
                return m
        return None

    def _gather(self):
        while True:
            try:
                self.all.append(self.q.get_nowait())
            except queue.Empty:
                break

    def mark(self):
        """An index after every line that has come so far."""
        time.sleep(0.5)
        self._gather()
        return len(self.all)

    def since(self, mark):
        """The lines that came after index mark, waiting briefly for more."""
        time.sleep(0.5)
        self._gather()
        return self.all[mark:]


def looked_at(base, register, timeout=60):
    """Waits for the service's first look at a register to end."""
    end = time.time() + timeout
    while time.time() < end:
        with urllib.request.urlopen(base + "/api/v1/overview") as r:
            if any(reg["id"] == register and reg["last_look"] for reg in json.load(r)["registers"]):
                return
        time.sleep(0.2)
    raise SystemExit("the service never looked at " + register)


def register_changes(lines):
    """The register's log lines that mean a change: a file written (a
    command is one), a key pressed."""
    return [l for l in lines if re.search(r"tftp: put |key", l, re.IGNORECASE)]


def start_serve(veltra, reg, work, token):
    args = [veltra, "serve", "--register", reg, "--listen", "127.0.0.1:0",
            "--state-dir", os.path.join(work, "state")]
    if token:
        path = os.path.join(work, "token")
        with open(path, "w") as f:
            f.write(TOKEN + "\n")
        args += ["--token-file", path]
    serve = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
    log = Lines(serve.stdout)
    m = log.first(r"listening on (http://\S+)")
    if not m:
        raise SystemExit("veltra serve did not start")
    return serve, log, m.group(1)


def served_dir(path):
    """A loopback web server of another origin (its own port) serving path."""
    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    handler = functools.partial(Quiet, directory=path)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def refused_in(log_lines, path_part):
    """The statuses the service's log shows for requests to path_part."""
    out = []
    for l in log_lines:
        m = re.search(r" (GET|POST|PUT) (\S+) (\d{3})", l)
        if m and path_part in m.group(2):
            out.append(int(m.group(3)))
    return out


def use_page(driver, base, token, sim_log):
    """The service's own page: a key reaches the register and its display
    comes back; the backup (a change without a JSON body) downloads."""
    wait = WebDriverWait(driver, 30)
    driver.get(base + "/")
    if token:
        driver.execute_script("sessionStorage.setItem('veltra-token', arguments[0])", TOKEN)
        driver.refresh()
    wait.until(lambda d: "pronta" in d.find_element(By.ID, "registers").text)
    mark = sim_log.mark()
    for name in ("T7(1)", "REPARTO1"):
        wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, '[data-key="%s"]' % name))
        driver.find_element(By.CSS_SELECTOR, '[data-key="%s"]' % name).click()
        time.sleep(0.3)
    wait.until(lambda d: "FRUTTA" in d.find_element(By.ID, "display").text)
    assert register_changes(sim_log.since(mark)), "the page's keys left no trace on the register"
    driver.find_element(By.CSS_SELECTOR, '[data-key="ANNULLA"]').click()
    driver.find_element(By.ID, "get-backup").click()
    wait.until(lambda d: "backup salvato" in d.find_element(By.ID, "message").text)


def main():
    veltra = sys.argv[1]
    if not shutil.which("chromedriver") or not shutil.which("chromium"):
        print("chromium or chromedriver missing: " + ("failed" if MISSING == 1 else "skipped"))
        return MISSING
    work = tempfile.mkdtemp(prefix="veltra-other-pages-")
    sim = subprocess.Popen([veltra, "sim", "--address", "127.0.0.1", "--state", work + "/reg",
                            "--tftp-port", "0", "--line-port", "0", "--keyboard-port", "0",
                            "--busy-ms", "100"],
                           stdout=subprocess.PIPE, text=True)
    sim_log = Lines(sim.stdout)
    procs = [sim]
    driver = None
    site = None
    try:
        ready = sim_log.first(r"ready, TFTP [\d.]+:(\d+), line (\d+), display (\d+)")
        if not ready:
            raise SystemExit("ecrsim did not start")
        reg = "cassa1=127.0.0.1:%s:%s:%s" % ready.groups()
        serve, serve_log, base = start_serve(veltra, reg, work, token=False)
        procs.append(serve)

        pages = os.path.join(work, "site")
        os.mkdir(pages)
        with open(os.path.join(pages, "hostile.html"), "w") as f:
            f.write(HOSTILE.replace("BASE", base))
        site = served_dir(pages)
        other = "http://127.0.0.1:%d/hostile.html" % site.server_address[1]
        local = "file://" + os.path.join(pages, "hostile.html")

        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium")
        downloads = os.path.join(work, "downloads")
        os.mkdir(downloads)
        for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1400,720",
                  "--user-data-dir=" + os.path.join(work, "profile")):
            options.add_argument(a)
        options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                                  "download.prompt_for_download": False})
        driver = webdriver.Chrome(service=webdriver.ChromeService(shutil.which("chromedriver"))
                                  if hasattr(webdriver, "ChromeService") else None,
                                  options=options)
        wait = WebDriverWait(driver, 30)

        # The service's own look at the register (a status read: it writes
        # the register's command file) ends before anything is counted.
        looked_at(base, "cassa1")
        sim_mark = sim_log.mark()
        for what, url in (("another loopback origin", other), ("a local file", local)):
            serve_mark = serve_log.mark()
            driver.get(url)
            wait.until(lambda d: "done" in d.title)
            seen = serve_log.since(serve_mark)
            keys = refused_in(seen, "/keys")
            resets = refused_in(seen, "/commands/azzdati")
            print("%s: keys answered %s, reset answered %s" % (what, keys, resets))
            # Both reached the service and were refused there.
            assert keys and all(s in (403, 415) for s in keys), (what, seen)
            assert resets and all(s == 403 for s in resets), (what, seen)

        if shutil.which("curl"):
            port = base.rsplit(":", 1)[1]
            for what, extra, want in (
                    ("foreign Origin", ["-H", "Origin: http://evil.example",
                                        "-H", "X-Veltra-Request: 1"], "403"),
                    ("foreign Host", ["-H", "Host: evil.example:" + port,
                                      "-H", "X-Veltra-Request: 1"], "421")):
                code = subprocess.run(
                    ["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-X", "POST"] + extra +
                    ["-H", "Content-Type: application/x-www-form-urlencoded", "-d", "x=1",
                     base + "/api/v1/registers/cassa1/commands/azzfis?confirm=1"],
                    capture_output=True, text=True, timeout=30).stdout
                print("curl with a %s: %s" % (what, code))
                assert code == want, (what, code)

        changed = register_changes(sim_log.since(sim_mark))
        assert not changed, changed

        # The service's own page, without a token and then with one.
        use_page(driver, base, False, sim_log)
        serve.terminate()
        serve.wait(10)
        serve, serve_log, base = start_serve(veltra, reg, work, token=True)
        procs.append(serve)
        use_page(driver, base, True, sim_log)
        print("other pages changed nothing; the page works without and with a token")
        return 0
    finally:
        if driver:
            driver.quit()
        if site:
            site.shutdown()
        for p in reversed(procs):
            if p.poll() is None:
                p.terminate()
                p.wait(10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
