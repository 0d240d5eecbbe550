#!/usr/bin/python3
"""The page's sales view in Debian's chromium, headless, driven by selenium,
against the service's own report: a register with forty past days whose
department 2 has a name made of markup is exported into the sales history
under two names, and the view shows for a range what /api/v1/reports/sales
answers for it: a bar per day (the tallest the best day), departments and
the top articles ranked, tables with the same amounts written as Italians
write them and the range's totals, for every register and for one. An empty
range says so, a wrong one shows the service's error, the CSV saved is the
one the service gives, and the page loads nothing from elsewhere.

usage: serve_sales_page_test.py VELTRA [SCREENSHOT.png]
Exits 77 (skipped) when selenium or chromium is missing, unless
VELTRA_NEED_BROWSER=1 (as CI sets it): then a missing one fails the test."""
import datetime
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

MISSING = 1 if os.environ.get("VELTRA_NEED_BROWSER") == "1" else 77

try:
    from selenium import webdriver
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    print("selenium missing: " + ("failed" if MISSING == 1 else "skipped"))
    sys.exit(MISSING)

# A department name a register may hold: shown as text, never as markup.
MARKUP = "<b id=xss>VERDURA</b>"
AMOUNT = re.compile("^-?\\d{1,3}(\\.\\d{3})*,\\d{2}\u00a0€$")


def euro_it(cents):
    """The page's rule, written again here: 1.234,56 and a no-break space."""
    whole, rest = divmod(abs(cents), 100)
    return ("-" if cents < 0 else "") + "{:,}".format(whole).replace(",", ".") + \
        ",%02d\u00a0€" % rest


def drain(pipe):
    threading.Thread(target=lambda: [None for _ in pipe], daemon=True).start()


def start_sim(veltra, state, extra=()):
    sim = subprocess.Popen([veltra, "sim", "--address", "127.0.0.1", "--state", state,
                            "--tftp-port", "0", "--line-port", "0", "--keyboard-port", "0",
                            "--busy-ms", "100", "--linger-ms", "1000"] + list(extra),
                           stdout=subprocess.PIPE, text=True)
    for _ in range(5):
        ready = re.search(r"ready, TFTP [\d.]+:(\d+), line (\d+), display (\d+)",
                          sim.stdout.readline())
        if ready:
            drain(sim.stdout)
            return sim, "127.0.0.1:%s:%s:%s" % ready.groups()
    sim.terminate()
    raise SystemExit("ecrsim did not start")


def start_serve(veltra, state, registers):
    args = [veltra, "serve", "--listen", "127.0.0.1:0", "--state-dir", state]
    for r in registers:
        args += ["--register", r]
    serve = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
    m = re.search(r"listening on (http://\S+)", serve.stdout.readline())
    if not m:
        serve.terminate()
        raise SystemExit("veltra serve did not start")
    drain(serve.stdout)
    return serve, m.group(1)


def stop(*processes):
    for p in processes:
        if p:
            p.terminate()
            p.wait(10)


def get(base, path):
    with urllib.request.urlopen(base + path, timeout=120) as r:
        return r.read()


def get_json(base, path):
    return json.loads(get(base, path))


def ddmmyy(day):
    return day.strftime("%d-%m-%y")


def rename_department(veltra, work):
    """Gives department 2 a name of markup on a register seeded now; the
    days seeded later carry that name in their files."""
    sim, endpoint = start_sim(veltra, work + "/reg")
    serve = None
    try:
        serve, base = start_serve(veltra, work + "/first-state", ["cassa1=" + endpoint])
        rows = get(base, "/api/v1/registers/cassa1/tables/reparti").decode("latin-1")
        edited, n = re.subn(r"(?m)^2;VERDURA;", "2;%s;" % MARKUP, rows)
        assert n == 1, rows[:300]
        req = urllib.request.Request(
            base + "/api/v1/registers/cassa1/tables/reparti?confirm=1",
            data=edited.encode("latin-1"), method="PUT",
            headers={"Content-Type": "text/csv", "X-Veltra-Request": "1"})
        with urllib.request.urlopen(req, timeout=120) as r:
            answer = json.load(r)
        assert answer.get("verdict") == "applied", answer
    finally:
        stop(serve, sim)


def export_days(base, register, first, last):
    """The register's archived days from first to last, into the history."""
    job = get_json(base, "/api/v1/registers/%s/sales?from=%s&to=%s" %
                   (register, ddmmyy(first), ddmmyy(last)))
    end = time.time() + 120
    while job["state"] in ("queued", "running") and time.time() < end:
        time.sleep(0.5)
        job = get_json(base, "/api/v1/jobs/" + urllib.parse.quote(job["id"]))
    assert job["state"] == "succeeded", job


def set_range(driver, first, last, register):
    driver.execute_script(
        "document.getElementById('sales-from').value = arguments[0];"
        "document.getElementById('sales-to').value = arguments[1];",
        first.isoformat(), last.isoformat())
    Select(driver.find_element(By.ID, "sales-register")).select_by_value(register)


def shown(driver):
    """What the view shows, read in one go."""
    return driver.execute_script("""
        const rows = (id, part) => [...document.querySelectorAll('#' + id + ' ' + part + ' tr')]
            .map(tr => [...tr.cells].map(c => [c.textContent, c.className]));
        const bars = (id) => [...document.querySelectorAll('#' + id + ' rect.bar')].map(r => ({
            day: r.dataset.day, cents: Number(r.dataset.cents),
            width: Number(r.getAttribute('width')), height: Number(r.getAttribute('height'))}));
        const t = {};
        for (const id of ['sales-days', 'sales-departments', 'sales-articles'])
            t[id] = {head: [...document.querySelectorAll('#' + id + ' thead th')].map(c => c.textContent),
                     body: rows(id, 'tbody'), foot: rows(id, 'tfoot'), bars: bars(id + '-chart')};
        return t;""")


def column(table, name):
    return table["head"].index(name)


def check_view(driver, base, query):
    """The view against the service's answers for the same query."""
    days, departments, articles = (get_json(base, "/api/v1/reports/sales?" + query + "&by=" + by)
                                   for by in ("day", "department", "article&top=20"))
    assert days["groups"], days
    view = shown(driver)
    # A bar per day of the answer, in its order, the tallest the best day.
    bars = view["sales-days"]["bars"]
    assert [(b["day"], b["cents"]) for b in bars] == \
        [(g["day"], g["amount_cents"]) for g in days["groups"]], (bars, days["groups"])
    best = max(days["groups"], key=lambda g: g["amount_cents"])
    assert max(bars, key=lambda b: b["height"])["day"] == best["day"], bars
    # Departments and articles ranked: bars shorten down the chart.
    for name, answer in (("sales-departments", departments), ("sales-articles", articles)):
        widths = [b["width"] for b in view[name]["bars"]]
        assert len(widths) == len(answer["groups"]), (name, widths)
        assert widths == sorted(widths, reverse=True), (name, widths)
    assert 0 < len(view["sales-articles"]["body"]) == len(articles["groups"]) <= 20
    # Every amount in the tables written as Italians write it, and the same
    # as the service's, row by row and in the totals.
    for name in ("sales-days", "sales-departments", "sales-articles"):
        for row in view[name]["body"] + view[name]["foot"]:
            for text, kind in row:
                if "money" in kind:
                    assert AMOUNT.match(text), (name, text)
    for name, answer, key in (("sales-days", days, "day"),
                              ("sales-departments", departments, "department"),
                              ("sales-articles", articles, "article")):
        amount = column(view[name], "importo")
        assert [r[amount][0] for r in view[name]["body"]] == \
            [euro_it(g["amount_cents"]) for g in answer["groups"]], name
    assert view["sales-days"]["foot"][-1][column(view["sales-days"], "importo")][0] == \
        euro_it(days["total"]["amount_cents"])
    assert view["sales-departments"]["foot"][-1][column(view["sales-departments"], "importo")][0] \
        == euro_it(departments["total"]["amount_cents"])
    assert view["sales-articles"]["foot"][-1][column(view["sales-articles"], "importo")][0] == \
        euro_it(articles["articles_total"]["amount_cents"])
    # Names from the register stay text.
    names = [r[column(view["sales-departments"], "descrizione")][0]
             for r in view["sales-departments"]["body"]]
    assert names == [g["descr"] for g in departments["groups"]], names
    assert not driver.find_elements(By.ID, "xss")
    return days


def show(driver, wait):
    driver.find_element(By.ID, "sales-show").click()
    wait.until(lambda d: d.find_element(By.ID, "sales-message").text != "in attesa...")


def main():
    veltra = sys.argv[1]
    shot = sys.argv[2] if len(sys.argv) > 2 else None
    if not shutil.which("chromedriver") or not shutil.which("chromium"):
        print("chromium or chromedriver missing: " + ("failed" if MISSING == 1 else "skipped"))
        return MISSING
    work = tempfile.mkdtemp(prefix="veltra-sales-page-")
    sim = serve = driver = None
    try:
        rename_department(veltra, work)
        # Days 4 to 40 back are seeded now, with the new name.
        sim, endpoint = start_sim(veltra, work + "/reg", ["--history", "40"])
        # One register under two names: each name keeps its own days.
        serve, base = start_serve(veltra, work + "/state",
                                  ["cassa1=" + endpoint, "cassa2=" + endpoint])
        today = datetime.date.today()
        back = lambda n: today - datetime.timedelta(days=n)
        # Days 1 to 3 back, seeded before the rename, stay out of the history.
        export_days(base, "cassa1", back(35), back(4))
        export_days(base, "cassa2", back(35), back(4))
        first, last = back(33), back(4)

        downloads = os.path.join(work, "downloads")
        os.mkdir(downloads)
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium")
        for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1200,900",
                  "--user-data-dir=" + os.path.join(work, "profile")):
            options.add_argument(a)
        options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                                  "download.prompt_for_download": False})
        driver = webdriver.Chrome(service=webdriver.ChromeService(shutil.which("chromedriver"))
                                  if hasattr(webdriver, "ChromeService") else None,
                                  options=options)
        wait = WebDriverWait(driver, 60)
        driver.get(base + "/")
        # The last 30 days by default, every register to choose from.
        assert driver.find_element(By.ID, "sales-to").get_attribute("value") == \
            today.isoformat()
        assert driver.find_element(By.ID, "sales-from").get_attribute("value") == \
            back(29).isoformat()
        wait.until(lambda d: [o.get_attribute("value") for o in
                              Select(d.find_element(By.ID, "sales-register")).options] ==
                   ["", "cassa1", "cassa2"])

        query = "from=%s&to=%s" % (ddmmyy(first), ddmmyy(last))
        set_range(driver, first, last, "")
        show(driver, wait)
        assert driver.find_element(By.ID, "sales-parts").is_displayed()
        both = check_view(driver, base, query)
        assert both["registers"] == ["cassa1", "cassa2"] and len(both["groups"]) == 30, both
        assert any(g["descr"] == MARKUP for g in
                   get_json(base, "/api/v1/reports/sales?" + query + "&by=department")["groups"])
        if shot:
            driver.execute_script("document.getElementById('vendite').scrollIntoView()")
            time.sleep(0.5)
            driver.save_screenshot(shot)

        set_range(driver, first, last, "cassa1")
        show(driver, wait)
        one = check_view(driver, base, query + "&register=cassa1")
        assert one["registers"] == ["cassa1"], one
        assert 2 * one["total"]["amount_cents"] == both["total"]["amount_cents"], (one, both)

        # The CSV for Excel saved as the service gives it.
        driver.find_element(By.ID, "sales-csv").click()
        path = os.path.join(downloads, "vendite-giorni-%s-%s-cassa1.csv" % (first, last))
        wait.until(lambda d: "scaricato" in d.find_element(By.ID, "sales-message").text)
        wait.until(lambda d: os.path.exists(path))
        with open(path, "rb") as f:
            saved = f.read()
        assert saved == get(base, "/api/v1/reports/sales?" + query +
                            "&register=cassa1&by=day&format=excel-csv"), saved[:200]
        # The workbook, or the service's word that this build writes none.
        driver.find_element(By.ID, "sales-xlsx").click()
        wait.until(lambda d: d.find_element(By.ID, "sales-message").text not in
                   ("", "download in corso..."))
        message = driver.find_element(By.ID, "sales-message")
        try:
            get(base, "/api/v1/reports/sales.xlsx?" + query)
            path = os.path.join(downloads, "vendite-%s-%s-cassa1.xlsx" % (first, last))
            wait.until(lambda d: os.path.exists(path))
            with open(path, "rb") as f:
                assert f.read(4) == b"PK\x03\x04"
        except urllib.error.HTTPError as e:
            assert e.code == 501, e
            assert message.text.startswith("501") and message.get_attribute("class") == "bad"

        # A range without sales says so, with no chart left from before.
        set_range(driver, datetime.date(2001, 1, 1), datetime.date(2001, 1, 31), "")
        show(driver, wait)
        empty = driver.find_element(By.ID, "sales-empty")
        assert empty.is_displayed() and "nessuna vendita" in empty.text, empty.text
        assert not driver.find_element(By.ID, "sales-parts").is_displayed()
        # A range that ends before it begins: the service's error, in red.
        set_range(driver, last, first, "")
        show(driver, wait)
        message = driver.find_element(By.ID, "sales-message")
        assert message.text.startswith("400") and message.get_attribute("class") == "bad", \
            message.text
        assert not driver.find_element(By.ID, "sales-parts").is_displayed()

        # Everything the page loaded came from the service.
        origin = base.rstrip("/")
        names = driver.execute_script(
            "return performance.getEntriesByType('resource').map(e => e.name)")
        assert names and all(n.startswith(origin + "/") for n in names), names
        print("sales view: %d days as the report has them, for both registers and one; "
              "CSV, workbook, empty range, error, one origin" % len(both["groups"]))
        return 0
    finally:
        if driver:
            driver.quit()
        stop(serve, sim)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
