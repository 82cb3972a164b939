#!/usr/bin/python3
"""Writes a UTF-8 TSV table (first line titles) as .xls with python3-xlwt, the way Pesavo does:
bold header, every other cell a text (empty texts left out). Prints seconds and peak memory."""
import resource
import sys
import time

import xlwt

src, out = sys.argv[1], sys.argv[2]
with open(src, encoding="utf-8") as f:
    lines = [line.rstrip("\n").split("\t") for line in f]
start = time.perf_counter()
book = xlwt.Workbook(encoding="utf-8")
sheet = book.add_sheet("Sheet1")
bold = xlwt.easyxf("font: bold on")
for c, title in enumerate(lines[0]):
    sheet.write(0, c, title, bold)
for r, fields in enumerate(lines[1:], start=1):
    row = sheet.row(r)
    for c, text in enumerate(fields):
        if text:
            row.write(c, text)
book.save(out)
seconds = time.perf_counter() - start
print(f"{seconds:.4f} {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.1f}")
