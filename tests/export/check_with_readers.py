#!/usr/bin/python3
"""Writes tables with table2xls and reads them back with independent readers (xlrd, olefile).

usage: check_with_readers.py TABLE2XLS WORKDIR
Prints 'N passed, N failed' and exits non-zero on any failure."""
import io
import os
import subprocess
import sys

try:
    import olefile
    import xlrd
except ImportError as e:  # only when the Debian packages could not be installed
    print(f"SKIPPED: independent readers missing ({e}); install python3-xlrd python3-olefile")
    sys.exit(0)

TABLE2XLS, WORK = sys.argv[1], sys.argv[2]
os.makedirs(WORK, exist_ok=True)
TITLES = ["Number", "Data", "Unit", "Duration", "Update_Time", "Explan"]
passed = failed = 0


def row(i):
    explan = "数据校验错误 5F 02 00 04 D2 8A" if i % 997 == 0 else ""
    return [f"{i + 1:8d}", f"{(i * 37) % 100000 / 10:.1f}", "KG", f"00:{i // 60 % 60:02d}:{i % 60:02d}",
            "14:05:09 12/07/2026", explan]


def check(name, rows):
    global passed, failed
    tsv = os.path.join(WORK, name + ".tsv")
    xls = os.path.join(WORK, name + ".xls")
    with open(tsv, "w", encoding="utf-8") as f:
        f.write("\t".join(TITLES) + "\n")
        for r in rows:
            f.write("\t".join(r) + "\n")
    try:
        subprocess.run([TABLE2XLS, tsv, xls], check=True)
        log = io.StringIO()
        book = xlrd.open_workbook(xls, formatting_info=True, verbosity=1, logfile=log)
        assert "WARNING" not in log.getvalue(), log.getvalue()
        sheet = book.sheet_by_index(0)
        assert sheet.name == "Sheet1"
        assert sheet.nrows == len(rows) + 1, (sheet.nrows, len(rows))
        assert [sheet.cell_value(0, c) for c in range(6)] == TITLES
        header_font = book.font_list[book.xf_list[sheet.cell_xf_index(0, 0)].font_index]
        assert header_font.weight == 700
        for i, r in enumerate(rows):
            got = [sheet.cell_value(i + 1, c) for c in range(6)]
            assert got == r, (i, got, r)
        ole = olefile.OleFileIO(xls, raise_defects=olefile.DEFECT_INCORRECT)
        assert ole.listdir() == [["Workbook"]], ole.listdir()
        stream = ole.openstream("Workbook").read()
        assert stream[:2] == b"\x09\x08" and len(stream) == ole.get_size("Workbook")
        ole.close()
        passed += 1
        print(f"ok   {name}: {len(rows)} rows")
    except Exception as e:  # report and go on with the next table
        failed += 1
        print(f"FAIL {name}: {e!r}"[:2000])


for n in (0, 1, 33, 100, 5000):
    check(f"rows{n}", [row(i) for i in range(n)])
check("chinese", [["一", "超重", "KG", "数据错误", "时间", "说明" * 50] for _ in range(40)])
check("long_strings", [["x" * 9000, "中" * 9000, "KG", "y" * 20000, "", ""] for _ in range(3)])
check("equal_strings", [["same", "same", "same", "same", "same", "same"] for _ in range(2000)])
check("fewer_fields", [["1", "2"], ["only one"]] and [["1", "2", "", "", "", ""], ["only one", "", "", "", "", ""]])
check("full_table", [row(i) for i in range(65001)])
print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
