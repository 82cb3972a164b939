// A site's desks: four Pesavo processes, offscreen, each weighing 5,000 parcels from a simulated
// scale of its own as fast as the scale sends them, all sending to one PostgreSQL server of the
// test's own. The server is stopped for ten seconds in the middle, one desk is killed (SIGKILL)
// and started again, and a fifth desk has a wrong password. In the end the site holds every
// weighing once with its kilograms, the desks answered their scales all along, and the wrong
// password cost one notice and no weighing.
//
// The desks run in child processes of this test (this executable with --desk), each a window
// with its journal, driven through its buttons and message boxes like any window test.
#include "CPesavoDlg.h"
#include "platform/ModulePath.h"
#include "../support/Boxes.h"
#include "../support/EventLoop.h"
#include "../support/NumberedFrames.h"
#include "../support/PostgresCluster.h"
#include "../support/ProgramFolder.h"
#include "../support/ScaleSim.h"
#include "../support/Window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFile>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

// ---- a desk, in a child process ----

// The window with its program folder and its journal in `data`, putting back what it finds,
// connected to COM6. It prints every box it is shown ("box <text>", answered Yes or OK) and every
// title it takes ("title <title>"). With `saveAt`, it saves the table through the save dialog as
// saved.xls once the table holds that many rows, and prints "saved".
int Weigh(const std::string& program, const std::string& data, int saveAt) {
    Boxes boxes;
    boxes.onBox = [](const CMyMsg::Showing& s) {
        std::printf("box %s\n", s.text.simplified().toUtf8().constData());
        return CMyMsg::IdYes;
    };
    boxes.onSave = [&](const QString&) { return QString::fromStdString(program + "saved.xls"); };
    auto dlg = std::make_unique<CPesavoDlg>(nullptr, &boxes, platform::ProgramPlaces{program, program + "sys-class-tty"});
    QObject::connect(dlg.get(), &QWidget::windowTitleChanged,
                     [](const QString& title) { std::printf("title %s\n", title.toUtf8().constData()); });
    dlg->SetJournalFolder(data);
    dlg->OnInitDialog();
    RunUntil([&] { return !dlg->GetDesk().QuestionOpen(); }, 20s);
    Ports(*dlg)->setCurrentIndex(1);
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
    if (!RunUntil([&] { return dlg->GetDesk().Connected(); }, 20s)) return 4;
    std::printf("connected\n");
    if (saveAt > 0) {
        if (!RunUntil([&] { return dlg->Model().rowCount() >= saveAt; }, 120s)) return 5;
        Button(*dlg, CPesavoDlg::IDC_SAVE)->click();
        if (!RunUntil([&] { return !dlg->GetDesk().Busy() && QFile::exists(QString::fromStdString(program + "saved.xls")); }, 60s))
            return 6;
        std::printf("saved\n");
    }
    QApplication::exec();
    return 0;
}

// ---- the test ----

class Desk : public ChildProcess {
public:
    Desk(const std::string& program, int saveAt = 0)
        : ChildProcess({"/proc/self/exe", "--desk", program, program + "data", std::to_string(saveAt)}) {}
    // The last title it took.
    std::string Title() {
        std::string title;
        for (const std::string& line : Lines())
            if (line.rfind("title ", 0) == 0) title = line.substr(6);
        return title;
    }
    int CountStartingWith(const std::string& head) {
        int n = 0;
        for (const std::string& line : Lines()) n += line.rfind(head, 0) == 0;
        return n;
    }
};


TEST(SiteDesksTest, FourDesksEveryWeighingOnceThroughAnOutageAKillAndAWrongPassword) {
    if (!PostgresCluster::Installed()) GTEST_SKIP() << "PostgreSQL 15 is not installed";
    PostgresCluster server;
    ASSERT_EQ(server.Error(), "");
    server.MakeSite({{"packing", "packing-secret"}}, {{"packing", {"desk-1", "desk-2", "desk-3", "desk-4", "desk-5"}}});
    const std::string passwords = server.WritePassFile("pgpass", {{"packing", "packing-secret"}});
    const std::string wrong = server.WritePassFile("pgpass-wrong", {{"packing", "not-the-secret"}});

    constexpr int kDesks = 4, kWeighings = 5000, kWrongDeskWeighings = 300;
    std::vector<std::unique_ptr<ProgramFolder>> folders;
    std::vector<std::unique_ptr<ScaleSim>> scales;
    std::vector<std::unique_ptr<Desk>> desks;
    for (int d = 1; d <= kDesks + 1; ++d) {
        const bool wrongPassword = d > kDesks;
        auto folder = std::make_unique<ProgramFolder>("site-desk-" + std::to_string(d));
        folder->WriteSettings("\\English.ini", "English");
        folder->WriteFile("frames.txt", NumberedFramesScript(wrongPassword ? kWrongDeskWeighings : kWeighings));
        scales.push_back(std::make_unique<ScaleSim>(std::vector<std::string>{"--frames", folder->File("frames.txt"), "--interval", "2"}));
        folder->WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM6=" + scales.back()->Device() + "\r\n");
        folder->WriteFile("Site.ini", "[Site]\r\nDatabase=" + server.Connection("packing") +
                                          " passfile=" + (wrongPassword ? wrong : passwords) + "\r\nDesk=desk-" +
                                          std::to_string(d) + "\r\n");
        desks.push_back(std::make_unique<Desk>(folder->Path(), wrongPassword ? kWrongDeskWeighings : 0));
        folders.push_back(std::move(folder));
    }
    for (auto& desk : desks) ASSERT_TRUE(desk->WaitForLine("connected", 1, 30s));
    const auto atSite = [&] { return std::stoi(server.Sql("select count(*) from pesavo.weighings")); };
    const auto answered = [&] {
        int n = 0;
        for (int d = 0; d < kDesks; ++d) n += scales[d]->Count("rx 9F");
        return n;
    };

    // Desk 2 killed in the middle of its weighings, and started again: it puts back its table
    // and takes up its scale.
    ASSERT_TRUE(PollUntil([&] { return atSite() >= 2000; }, 120s, 20ms)) << atSite();
    desks[1]->End(SIGKILL);
    const int answeredBeforeKill = scales[1]->Count("rx 9F");
    EXPECT_LT(answeredBeforeKill, kWeighings) << "desk 2 was done before it was killed";
    desks[1] = std::make_unique<Desk>(folders[1]->Path());
    ASSERT_TRUE(desks[1]->WaitForLine("connected", 1, 30s));

    // The server stopped for ten seconds: the desks go on answering their scales, and say how
    // many weighings wait.
    ASSERT_TRUE(PollUntil([&] { return atSite() >= 8000; }, 120s, 20ms)) << atSite();
    ASSERT_TRUE(server.Stop());
    const int answeredBeforeOutage = answered();
    std::this_thread::sleep_for(10s);  // (the outage itself)
    EXPECT_GT(answered(), answeredBeforeOutage + 500) << "the scales waited for the site";
    ASSERT_TRUE(server.Start());

    // Every scale hears all its answers, and every desk's title says the site has everything.
    for (int d = 0; d < kDesks; ++d)
        EXPECT_TRUE(PollUntil([&] { return scales[d]->Count("rx 9F") >= kWeighings; }, 180s, 20ms)) << "desk " << d + 1;
    for (int d = 0; d < kDesks; ++d) {
        EXPECT_TRUE(PollUntil([&] { return desks[d]->Title().ends_with("site: connected"); }, 120s, 20ms))
            << "desk " << d + 1 << ": " << desks[d]->Title();
    }
    int titlesWaiting = 0;
    for (int d = 0; d < kDesks; ++d)
        for (const std::string& line : desks[d]->Lines()) titlesWaiting += line.rfind("title ", 0) == 0 && line.ends_with(" waiting");
    EXPECT_GT(titlesWaiting, 0) << "no desk showed weighings waiting for the site";

    // The site: per desk every one of its weighings, once, with its kilograms. A weighing the desk
    // journalled just before it was killed, whose answer never left, comes again from the scale;
    // the desk keeps both and the second says it may be a repeat (it may as well be a new parcel
    // of the same weight) — that row, and only that one, may be there twice.
    // ("site: connected" says no more than a batch waits: the last one may still be on its way.)
    EXPECT_TRUE(PollUntil([&] {
        return server.Sql("select count(distinct (desk, frame)) from pesavo.weighings where desk <> 'desk-5'") ==
               std::to_string(kDesks * kWeighings);
    }, 60s, 50ms)) << "the site never got every weighing";
    const std::string perDesk = server.Sql(
        "select string_agg(line, ';' order by desk) from ("
        " select desk, desk || ' ' || count(*) filter (where not maybe_repeat) || ' ' || count(distinct frame) || ' ' ||"
        "  sum(kg) filter (where not maybe_repeat) || ' ' ||"
        "  count(*) filter (where kg * 1000 <> get_byte(frame, 2) * 65536 + get_byte(frame, 3) * 256 + get_byte(frame, 4))"
        "  as line from pesavo.weighings group by desk) as d");
    // Frames 0 .. 4,999 weigh 1.000 .. 5.999 kg: 17,497.5 kg together.
    EXPECT_EQ(perDesk, "desk-1 5000 5000 17497.5000 0;desk-2 5000 5000 17497.5000 0;desk-3 5000 5000 17497.5000 0;"
                       "desk-4 5000 5000 17497.5000 0");
    const std::string repeats = server.Sql(
        "select count(*) || ' ' || count(*) filter (where (select count(*) from pesavo.weighings o"
        " where o.desk = w.desk and o.frame = w.frame) = 2) from pesavo.weighings w where maybe_repeat");
    EXPECT_TRUE(repeats == "0 0" || repeats == "1 1") << repeats;
    EXPECT_EQ(server.Sql("select count(*) from (select desk, frame from pesavo.weighings group by desk, frame"
                         " having count(*) > 1 and not bool_or(maybe_repeat)) as twice"),
              "0");
    EXPECT_EQ(server.Sql("select string_agg((weighings - maybe_repeats)::text, ',' order by desk) from pesavo.daily_totals"),
              "5000,5000,5000,5000")
        << "(unless the test ran over midnight, UTC)";

    // The desk with the wrong password: one notice, all its weighings answered and saved, none at
    // the site.
    Desk& refused = *desks[kDesks];
    EXPECT_TRUE(refused.WaitForLine("saved", 1, 60s));
    EXPECT_EQ(refused.CountStartingWith("box The site database refused Pesavo"), 1) << [&] {
        std::string all;
        for (const std::string& line : refused.Lines()) all += line + "\n";
        return all;
    }();
    EXPECT_EQ(scales[kDesks]->Count("rx 9F"), kWrongDeskWeighings);
    const QStringList saved = ReadBack(QString::fromStdString(folders[kDesks]->File("saved.xls"))).split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(saved.size(), kWrongDeskWeighings + 2) << "(the header, a row per weighing, the header's font)";
    EXPECT_EQ(server.Sql("select count(*) from pesavo.weighings where desk = 'desk-5'"), "0");

    // No password in anything the desks wrote.
    for (const auto& folder : folders)
        for (const auto& e : std::filesystem::recursive_directory_iterator(folder->Path())) {
            if (!e.is_regular_file()) continue;
            std::ifstream in(e.path(), std::ios::binary);
            const std::string bytes{std::istreambuf_iterator<char>(in), {}};
            EXPECT_EQ(bytes.find("secret"), std::string::npos) << e.path();
        }
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc >= 5 && std::string(argv[1]) == "--desk") {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
        app.setQuitOnLastWindowClosed(false);
        return Weigh(argv[2], argv[3], std::atoi(argv[4]));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
