#pragma once
// Helpers of the window tests: waiting in a running event loop, and reading a saved workbook
// back with Debian's python3-xlrd.
#include <QByteArray>
#include <QEventLoop>
#include <QString>
#include <QTimer>

#include <cstdlib>

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

// A table text as a QString, for comparisons.
inline QString Q(std::u16string_view v) { return QString::fromUtf16(v.data(), static_cast<qsizetype>(v.size())); }

// Runs the event loop until `pred` holds; false after `limit`. The loop never sleeps, so frames
// flow at the speed the program handles them.
template <typename Pred>
bool RunUntil(Pred pred, std::chrono::milliseconds limit) {
    if (pred()) return true;
    QEventLoop loop;
    QTimer poll, deadline;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (pred()) loop.quit();
    });
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start(10);
    deadline.setSingleShot(true);
    deadline.start(static_cast<int>(limit.count()));
    loop.exec();
    return pred();
}

// Rows of the workbook's first sheet as xlrd reads them; -1 when it cannot, 0 when xlrd is missing.
inline int SheetRows(const std::string& path) {
    const std::string command = "/usr/bin/python3 -c 'import sys\ntry:\n import xlrd\nexcept ImportError:\n print(0); sys.exit()\n"
                                "print(xlrd.open_workbook(sys.argv[1]).sheet_by_index(0).nrows)' '" + path + "'";
    FILE* p = popen(command.c_str(), "r");
    int rows = -1;
    if (!p || std::fscanf(p, "%d", &rows) != 1) rows = -1;
    if (p) pclose(p);
    return rows;
}

// The first sheet's cells as Debian's xlrd reads them, one line per row, cells joined by '|',
// then "bold" when the header's font weight is 700. Empty when xlrd cannot read the file.
inline QString ReadBack(const QString& path) {
    const std::string script =
        "import sys, xlrd\n"
        "b = xlrd.open_workbook(sys.argv[1], formatting_info=True)\n"
        "s = b.sheet_by_index(0)\n"
        "for r in range(s.nrows): print('|'.join(str(s.cell_value(r, c)) for c in range(s.ncols)))\n"
        "f = b.font_list[b.xf_list[s.cell_xf_index(0, 0)].font_index]\n"
        "print('bold' if f.weight == 700 else 'plain')\n";
    const std::string command = "/usr/bin/python3 -c \"$PESAVO_SCRIPT\" '" + path.toStdString() + "' 2>&1";
    setenv("PESAVO_SCRIPT", script.c_str(), 1);
    FILE* p = popen(command.c_str(), "r");
    QByteArray out;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, p)) out.append(buffer, static_cast<qsizetype>(n));
    pclose(p);
    return QString::fromUtf8(out);
}
