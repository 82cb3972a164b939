// Renders the main window offscreen into a PNG, for the README's screenshot:
//   render_window OUT.png [LANGUAGE-FILE-NAME]
// Runs against a scratch copy of the program folder with one simulated port, so the window
// shows its language texts, and fills a few sample rows.
#include "CPesavoDlg.h"
#include "platform/ModulePath.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QPixmap>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: render_window OUT.png [Chinese.ini|English.ini]\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString exeDir = QString::fromStdString(platform::ModuleDirectory());
    QTemporaryDir scratch;
    const QString dir = scratch.path() + QLatin1Char('/');
    QDir().mkpath(dir + QStringLiteral("Language"));
    for (const QString& name : QDir(exeDir + QStringLiteral("Language")).entryList(QDir::Files))
        QFile::copy(exeDir + QStringLiteral("Language/") + name, dir + QStringLiteral("Language/") + name);
    const QString language = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("Chinese.ini");
    QFile settings(dir + QStringLiteral("Setting.ini"));
    settings.open(QIODevice::WriteOnly);
    settings.write(("[Language_Configuration]\r\nLanguage_FileName=\\" + language.toUtf8() + "\r\n").data());
    settings.close();
    QFile ports(dir + QStringLiteral("SerialComm.ini"));
    ports.open(QIODevice::WriteOnly);
    ports.write("[SerialComm]\r\nCOM3=/dev/null\r\n");
    ports.close();
    platform::SetModuleDirectoryForTesting(dir.toStdString());

    CPesavoDlg dlg;
    dlg.OnInitDialog();
    const char16_t* rows[][6] = {
        {u"       1", u"123.4", u"KG", u"00:00:05", u"14:05:09 12/07/2026", u""},
        {u"       2", u"2.350", u"KG", u"00:00:12", u"14:05:16 12/07/2026", u""},
        {u"       3", u"-0.125", u"KG", u"00:00:20", u"14:05:24 12/07/2026", u""},
    };
    for (const auto& r : rows) dlg.Model().AppendRow({r[0], r[1], r[2], r[3], r[4], r[5]});
    dlg.show();
    app.processEvents();
    const bool ok = dlg.grab().save(QString::fromLocal8Bit(argv[1]));
    if (!ok) std::fprintf(stderr, "render_window: cannot write %s\n", argv[1]);
    return ok ? 0 : 1;
}
