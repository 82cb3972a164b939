// Renders the main window offscreen, as an operator sees it:
//   render_window OUT.png [Chinese.ini|English.ini]    the picture for the README
//   render_window --manual OUT.pdf DOC-FOLDER           the operator's manual that F1 opens:
//       Chinese, then English (DOC-FOLDER/manual-zh.html, manual-en.html), each with a picture
//       of the window in its language whose controls carry the numbers the text explains.
//   render_window --box|--ask OUT.png LANGUAGE.ini KEY [ARG...]  a message box as the operator
//       sees it, with OK (--box) or Yes and No (--ask): the text of KEY in the language's
//       [Message] section with its %1, %2, ... filled from the ARGs; further ARGs follow on lines
//       of their own, one written errno=N as the failure N in the language's words.
// Runs against a scratch copy of the program folder with one port; a few sample rows come back
// from a journal left in the scratch folder, as after a run that ended without saving.
#include "CPesavoDlg.h"
#include "CMyMsg.h"
#include "Notices.h"
#include "Journal.h"
#include "platform/ModulePath.h"
#include "platform/ProfileFile.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPainter>
#include <QPdfWriter>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTextDocument>

#include <cstdio>

namespace {

// The window in `language` (a file of the Language folder); numbered controls when `labelled`.
QImage RenderWindow(const QString& language, bool labelled) {
    const QString exeDir = QString::fromStdString(platform::ModuleDirectory());
    QTemporaryDir scratch;
    const QString dir = scratch.path() + QLatin1Char('/');
    QDir().mkpath(dir + QStringLiteral("Language"));
    for (const QString& name : QDir(exeDir + QStringLiteral("Language")).entryList(QDir::Files))
        QFile::copy(exeDir + QStringLiteral("Language/") + name, dir + QStringLiteral("Language/") + name);
    // The language's own name, so that its list shows it chosen.
    const std::u16string name = platform::GetProfileString(u"Language_Configuration", u"Language_Name", u"",
                                                           (dir + QStringLiteral("Language/") + language).toStdString(), 500);
    QFile settings(dir + QStringLiteral("Setting.ini"));
    settings.open(QIODevice::WriteOnly);
    settings.write(("[Language_Configuration]\r\nLanguage_FileName=\\" + language.toUtf8() +
                    "\r\nLanguage_Name=" + QString::fromStdU16String(name).toUtf8() + "\r\n").data());
    settings.close();
    QFile ports(dir + QStringLiteral("SerialComm.ini"));
    ports.open(QIODevice::WriteOnly);
    ports.write("[SerialComm]\r\nCOM3=/dev/null\r\n");
    ports.close();

    const std::string data = (dir + QStringLiteral("data")).toStdString();
    {
        journal::Journal::Opening opening = journal::Journal::Open(data);
        if (!opening.journal) std::fprintf(stderr, "render_window: no journal for the sample rows (%s)\n", opening.error.c_str());
        weighing::MeasurementTable table;
        table.SetLog(opening.journal.get());
        const char16_t* rows[][6] = {
            {u"       1", u"123.4", u"KG", u"00:00:05", u"14:05:09 12/07/2026", u""},
            {u"       2", u"2.350", u"KG", u"00:00:12", u"14:05:16 12/07/2026", u""},
            {u"       3", u"-0.125", u"KG", u"00:00:20", u"14:05:24 12/07/2026", u""},
        };
        for (const auto& r : rows) table.Append({r[0], r[1], r[2], r[3], r[4], r[5]}, {weighing::RowKind::Weight, 1.0, 3});
        if (opening.journal) opening.journal->Commit();
        table.SetLog(nullptr);
    }

    QImage image;
    {
        // Whatever the window would ask while it is drawn is answered (the journal's rows: put
        // back): no box waits for a person.
        struct Quiet : Prompts {
            int Answer(const CMyMsg::Showing& box) override { return box.mode == CMyMsg::ModeYesNo ? CMyMsg::IdYes : CMyMsg::IdOk; }
            QString ChooseSaveFile(const QString&) override { return {}; }
        } quiet;
        CPesavoDlg dlg(nullptr, &quiet, platform::ProgramPlaces{dir.toStdString(), {}});
        dlg.SetJournalFolder(data);
        dlg.OnInitDialog();
        dlg.show();
        QElapsedTimer waited;
        waited.start();
        while ((dlg.Model().rowCount() < 3 || dlg.GetDesk().QuestionOpen()) && waited.elapsed() < 5000)
            QApplication::processEvents(QEventLoop::AllEvents, 20);
        QApplication::processEvents();
        image = dlg.grab().toImage();
        if (labelled) {
            const int ids[] = {CPesavoDlg::IDC_LIST,       CPesavoDlg::IDC_CONNECT, CPesavoDlg::IDC_SAVE,
                               CPesavoDlg::IDC_CLEAR,      CPesavoDlg::IDC_UNIT_GROUP, CPesavoDlg::IDC_PORT,
                               CPesavoDlg::IDC_REFRESH,    CPesavoDlg::IDC_LANGUAGE, CPesavoDlg::IDC_LANGUAGE_OK,
                               CPesavoDlg::IDC_TEST};
            QPainter p(&image);
            p.setRenderHint(QPainter::Antialiasing);
            QFont font = dlg.font();
            font.setBold(true);
            p.setFont(font);
            const int d = QFontMetrics(font).height() + 2;
            int number = 1;
            for (int id : ids) {
                QWidget* w = dlg.findChild<QWidget*>(QString::number(id));
                // At the control's top left corner, half outside it, so its text stays readable.
                const QPoint at = w->mapTo(&dlg, QPoint(-d / 2, -d / 2));
                const QRect circle(std::max(0, at.x()), std::max(0, at.y()), d, d);
                p.setPen(Qt::NoPen);
                p.setBrush(QColor(200, 30, 30));
                p.drawEllipse(circle);
                p.setPen(Qt::white);
                p.drawText(circle, Qt::AlignCenter, QString::number(number++));
            }
        }
    }
    return image;
}

bool WriteManual(const QString& out, const QString& docFolder) {
    QString html;
    QTextDocument doc;
    const char* parts[][2] = {{"manual-zh.html", "Chinese.ini"}, {"manual-en.html", "English.ini"}};
    for (const auto& [file, language] : parts) {
        QFile source(docFolder + QLatin1Char('/') + QLatin1String(file));
        if (!source.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "render_window: cannot read %s\n", qPrintable(source.fileName()));
            return false;
        }
        const QString picture = QStringLiteral("window-") + QLatin1String(language);
        doc.addResource(QTextDocument::ImageResource, QUrl(picture), RenderWindow(QLatin1String(language), true));
        if (!html.isEmpty()) html += QStringLiteral("<div style=\"page-break-before: always\"></div>");
        html += QString::fromUtf8(source.readAll()).replace(QStringLiteral("src=\"window\""), QStringLiteral("src=\"") + picture + '"');
    }
    doc.setHtml(html);
    QPdfWriter pdf(out);
    pdf.setPageSize(QPageSize(QPageSize::A4));
    pdf.setPageMargins(QMarginsF(18, 18, 18, 18), QPageLayout::Millimeter);
    pdf.setTitle(QStringLiteral("Korvane电子秤上位机使用说明 — Pesavo Operator's Manual"));
    pdf.setResolution(144);
    doc.setPageSize(QSizeF(pdf.width(), pdf.height()));
    doc.print(&pdf);
    return QFile::exists(out);
}

// The message box of `mode` for `key` of `language` (a file of the Language folder) with `args`.
QImage RenderBox(int mode, const QString& language, const QString& key, QStringList args) {
    const QString file = QString::fromStdString(platform::ModuleDirectory()) + QStringLiteral("Language/") + language;
    const localisation::LanguageTexts texts(file.toStdString());
    QString text = QString::fromStdU16String(texts.Text(u"Message", key.toStdU16String().c_str()));
    for (int n = 1; !args.isEmpty() && text.contains(QLatin1Char('%') + QString::number(n)); ++n)
        text.replace(QLatin1Char('%') + QString::number(n), args.takeFirst());
    for (const QString& arg : args)
        text += QLatin1Char('\n') + (arg.startsWith(QLatin1String("errno="))
                                         ? QString::fromStdU16String(localisation::FailureText(texts, arg.mid(6).toInt()))
                                         : arg);
    CMyMsg box;
    box.SetLanguageFile(file);
    box.Open(nullptr, box.Prepare(mode, text), [](int) {});
    QApplication::processEvents();
    QImage image;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (!w->isVisible() || !qobject_cast<QDialog*>(w)) continue;
        image = w->grab().toImage();
        w->close();
    }
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    const QString option = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (argc < 2 || (option == QLatin1String("--manual") && argc < 4) || ((option == QLatin1String("--box") || option == QLatin1String("--ask")) && argc < 5)) {
        std::fprintf(stderr, "usage: render_window OUT.png [Chinese.ini|English.ini]\n"
                             "       render_window --manual OUT.pdf DOC-FOLDER\n"
                             "       render_window --box|--ask OUT.png LANGUAGE.ini KEY [ARG...]\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (option == QLatin1String("--manual"))
        return WriteManual(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3])) ? 0 : 1;
    if (option == QLatin1String("--box") || option == QLatin1String("--ask")) {
        QStringList args;
        for (int i = 5; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
        const int mode = option == QLatin1String("--ask") ? CMyMsg::ModeYesNo : CMyMsg::ModeOk;
        const QImage box = RenderBox(mode, QString::fromLocal8Bit(argv[3]), QString::fromLocal8Bit(argv[4]), args);
        const bool ok = !box.isNull() && box.save(QString::fromLocal8Bit(argv[2]));
        if (!ok) std::fprintf(stderr, "render_window: cannot write %s\n", argv[2]);
        return ok ? 0 : 1;
    }
    const QString language = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("Chinese.ini");
    const bool ok = RenderWindow(language, false).save(QString::fromLocal8Bit(argv[1]));
    if (!ok) std::fprintf(stderr, "render_window: cannot write %s\n", argv[1]);
    return ok ? 0 : 1;
}
