#!/usr/bin/python3
"""Reads a sales workbook with Debian's openpyxl and compares it with the
report it was written from: the four sheets and their headers, amounts as
numbers in euros with a euro format, VAT as percentages, codes as text
keeping their zeros, dates as dates, a bold totals row whose SUM formula
carries the range's figure, and the chart of the days on the first sheet.

usage: sales_xlsx_check.py WORKBOOK.xlsx EXPECTED.json
EXPECTED holds the report set as the test built it, cents as integers:
{"day"|"department"|"article"|"register": {"rows": [...], "total": {...},
"registers": n, "days": n}}. Exits 0 when all agrees, 1 naming the first
difference, 77 when openpyxl is missing."""
import datetime
import json
import sys
import zipfile
from decimal import Decimal

try:
    import openpyxl
except ImportError:
    print("openpyxl missing (Debian: python3-openpyxl)")
    sys.exit(77)

FIGURES = ["amount", "quantity", "discount", "returns", "returns_quantity"]
MONEY = {"amount", "discount", "returns"}
FIGURE_TITLES = ["Totale €", "Quantità", "Sconti €", "Resi €", "Qt resi"]

# Sheet, its report, the columns before the figures, the totals row's
# report field and what its count column holds.
SHEETS = [
    ("Giorni", "day", ["Data", "Casse"], "total"),
    ("Reparti", "department", ["Reparto", "Descrizione", "IVA", "IVA %"], "total"),
    ("Articoli", "article", ["Codice", "EAN", "Descrizione", "Reparto", "IVA %"],
     "articles_total"),
    ("Casse", "register", ["Cassa", "Giorni"], "total"),
]

failures = []


def expect(ok, what):
    if not ok:
        failures.append(what)
    return ok


def euros_match(value, cents):
    return isinstance(value, (int, float)) and \
        Decimal(repr(float(value))).quantize(Decimal("0.01")) == Decimal(cents).scaleb(-2)


def check_figure(cell, cents, money, where):
    if money:
        expect(cell.data_type == "n" and euros_match(cell.value, cents),
               f"{where}: {cell.value!r} is not {cents} cents as a number")
        expect("€" in cell.number_format, f"{where}: format {cell.number_format!r} has no €")
    else:
        expect(cell.data_type == "n" and cell.value == cents,
               f"{where}: {cell.value!r} is not {cents}")


def check_text(cell, text, where):
    if text == "":
        expect(cell.value is None, f"{where}: {cell.value!r} is not empty")
    else:
        expect(cell.data_type == "s" and cell.value == text,
               f"{where}: {cell.value!r} is not the text {text!r}")


def check_percent(cell, hundredths, where):
    expect(cell.data_type == "n" and abs(cell.value - hundredths / 10000) < 1e-12,
           f"{where}: {cell.value!r} is not {hundredths / 100} %")
    expect("%" in cell.number_format, f"{where}: format {cell.number_format!r} has no %")


def check_leading(ws, kind, r, row, where):
    if kind == "day":
        cell = ws.cell(r, 1)
        day = row["day"]
        expect(cell.is_date and cell.value == datetime.datetime(day // 10000, day // 100 % 100,
                                                                 day % 100),
               f"{where}: {cell.value!r} is not the date {day}")
        expect(cell.number_format == "dd/mm/yyyy", f"{where}: date format {cell.number_format!r}")
        expect(ws.cell(r, 2).value == row["count"], f"{where}: registers {ws.cell(r, 2).value!r}")
    elif kind == "department":
        expect(ws.cell(r, 1).value == row["number"], f"{where}: number {ws.cell(r, 1).value!r}")
        check_text(ws.cell(r, 2), row["descr"], where + " descr")
        check_text(ws.cell(r, 3), row["vat_descr"], where + " vat")
        check_percent(ws.cell(r, 4), row["vat_rate"], where + " vat %")
    elif kind == "article":
        check_text(ws.cell(r, 1), str(row["number"]), where + " code")
        check_text(ws.cell(r, 2), row["ean"], where + " ean")
        check_text(ws.cell(r, 3), row["descr"], where + " descr")
        expect(ws.cell(r, 4).value == row["department"], f"{where}: department")
        check_percent(ws.cell(r, 5), row["vat_rate"], where + " vat %")
    else:
        check_text(ws.cell(r, 1), row["register"], where + " register")
        expect(ws.cell(r, 2).value == row["count"], f"{where}: days {ws.cell(r, 2).value!r}")


def check_sheet(ws, cached, kind, leading, total_field, report):
    titles = [c.value for c in ws[1]][:len(leading) + len(FIGURE_TITLES)]
    expect(titles == leading + FIGURE_TITLES, f"{ws.title}: header {titles}")
    expect(all(c.font.b for c in ws[1] if c.value is not None), f"{ws.title}: header not bold")
    expect(ws.freeze_panes == "A2", f"{ws.title}: frozen at {ws.freeze_panes}")
    expect(ws.auto_filter.ref is not None and ws.auto_filter.ref.startswith("A1:"),
           f"{ws.title}: autofilter {ws.auto_filter.ref}")
    rows = report["rows"]
    first = len(leading) + 1
    for i, row in enumerate(rows):
        r = i + 2
        where = f"{ws.title}!row {r}"
        check_leading(ws, kind, r, row, where)
        for j, name in enumerate(FIGURES):
            check_figure(ws.cell(r, first + j), row[name], name in MONEY, f"{where} {name}")
        if kind == "department" and report[total_field]["amount"] != 0:
            share = row["amount"] / report[total_field]["amount"]
            cell = ws.cell(r, first + len(FIGURES))
            expect(cell.data_type == "n" and abs(cell.value - share) < 1e-9,
                   f"{where}: share {cell.value!r} is not {share}")
            expect("%" in cell.number_format, f"{where}: share format {cell.number_format!r}")

    r = len(rows) + 2
    label = ws.cell(r, 1)
    expect(label.value == "Totale" and label.font.b, f"{ws.title}: no bold Totale in row {r}")
    expect(ws.max_row == r, f"{ws.title}: {ws.max_row} rows, the totals are row {r}")
    total = report[total_field]
    for j, name in enumerate(FIGURES):
        col = first + j
        formula = ws.cell(r, col).value
        value = cached.cell(r, col)
        where = f"{ws.title}!{value.coordinate} (totals, {name})"
        # The rows add up to the range's figure unless the report was cut.
        if rows and sum(row[name] for row in rows) == total[name]:
            letter = value.column_letter
            expect(formula == f"=SUM({letter}2:{letter}{r - 1})",
                   f"{where}: {formula!r} is not the SUM of the rows")
        else:
            expect(not str(formula).startswith("="), f"{where}: {formula!r} is a formula")
        check_figure(value, total[name], name in MONEY, where)
        expect(ws.cell(r, col).font.b, f"{where}: not bold")


def check_chart(path, days):
    with zipfile.ZipFile(path) as z:
        names = z.namelist()
        if not expect("xl/charts/chart1.xml" in names, "no xl/charts/chart1.xml"):
            return
        chart = z.read("xl/charts/chart1.xml").decode("utf-8")
        last = days + 1
        expect(f"Giorni!$C$2:$C${last}" in chart, "the chart's values are not Giorni!$C$2:$C$n")
        expect(f"Giorni!$A$2:$A${last}" in chart, "the chart's categories are not the dates")
        expect("Vendite per giorno" in chart, "the chart has no title")
        expect("<c:barChart>" in chart, "the chart is no column chart")
        drawing = z.read("xl/worksheets/_rels/sheet1.xml.rels").decode("utf-8")
        expect("drawing" in drawing, "the chart is not on the first sheet")


def main():
    path, expected_path = sys.argv[1], sys.argv[2]
    with open(expected_path, encoding="utf-8") as f:
        expected = json.load(f)
    book = openpyxl.load_workbook(path)
    cached = openpyxl.load_workbook(path, data_only=True)
    expect(book.sheetnames == [s[0] for s in SHEETS], f"sheets {book.sheetnames}")
    if not failures:
        for name, kind, leading, total_field in SHEETS:
            check_sheet(book[name], cached[name], kind, leading, total_field, expected[kind])
        expect(book["Giorni"].cell(len(expected["day"]["rows"]) + 2, 2).value ==
               expected["day"]["registers"], "Giorni: totals row does not count the registers")
        expect(book["Casse"].cell(len(expected["register"]["rows"]) + 2, 2).value ==
               expected["register"]["days"], "Casse: totals row does not count the days")
        check_chart(path, len(expected["day"]["rows"]))
    for f in failures[:20]:
        print(f)
    if failures:
        print(f"{len(failures)} differences")
        return 1
    print("workbook agrees with the report")
    return 0


if __name__ == "__main__":
    sys.exit(main())
