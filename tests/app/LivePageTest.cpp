// The weight service's live page in a real browser: Pesavo (this executable with --weigh, a
// child process) runs its service from a Service.ini in its program folder, headless Chromium
// opens the page with the token, and an MT-SICS scale on a pseudo-terminal weighs three parcels.
// The page, reached through the DevTools protocol, shows the scale's connection, then each
// weighing as the last one large and in the recent list as it comes — and never the token —
// and once the program is started again, reconnects by itself to the new run.
//
// The README's pictures of the page are taken by the disabled test at the end, run by hand.
#include "CPesavoDlg.h"
#include "../support/Boxes.h"
#include "../support/EventLoop.h"
#include "../support/FreePort.h"
#include "../support/ProgramFolder.h"
#include "../support/ScaleSim.h"
#include "../support/ServiceClient.h"
#include "../support/Window.h"

#include <QApplication>
#include <QByteArray>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

const char* const kChromium = "/usr/bin/chromium";
const std::string kToken = "a7c3e1f09b2d4c6e8f0a1b2c3d4e5f60";

// ---- the program, in a child process ----

// Pesavo's window with `program` as its folder: prints "ready" once its service listens,
// searches every port once the file `go` is there, and weighs on until it is killed.
int Weigh(const std::string& program, const std::string& data, const std::string& go) {
    Boxes boxes;
    auto dlg = std::make_unique<CPesavoDlg>(nullptr, &boxes, platform::ProgramPlaces{program, program + "sys-class-tty"});
    dlg->SetJournalFolder(data);
    dlg->OnInitDialog();
    std::printf("ready\n");
    if (!RunUntil([&] { return std::filesystem::exists(go); }, 60s)) return 4;
    Ports(*dlg)->setCurrentIndex(0);  // search every port
    Button(*dlg, CPesavoDlg::IDC_CONNECT)->click();
    RunUntil([] { return false; }, 1h);
    return 0;
}

class Program : public ChildProcess {
public:
    explicit Program(std::vector<std::string> args) : ChildProcess(WithProgram(std::move(args))) {}

private:
    static std::vector<std::string> WithProgram(std::vector<std::string> args) {
        args.insert(args.begin(), "/proc/self/exe");
        return args;
    }
};

// ---- the browser ----

// Headless Chromium in a process group of its own, with a profile of its own that goes with it.
class Browser {
public:
    Browser() {
        profile_ = std::filesystem::temp_directory_path() / ("pesavo-chromium-" + std::to_string(::getpid()));
        std::filesystem::remove_all(profile_);
        std::filesystem::create_directories(profile_);
        std::vector<std::string> args = {kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                                         "--disable-background-networking", "--disable-component-update", "--disable-sync",
                                         "--user-data-dir=" + profile_.string(), "--remote-debugging-port=0", "about:blank"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);  // its renderers and helpers go with it
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = (profile_ / "chromium.log").string();
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, kChromium, &actions, &attributes, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    ~Browser() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        std::error_code ec;
        std::filesystem::remove_all(profile_, ec);
    }
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    // The DevTools port, once Chromium has written it into its profile (0 when it did not).
    int DevToolsPort() const {
        int port = 0;
        PollUntil(
            [&] {
                std::ifstream in(profile_ / "DevToolsActivePort");
                return static_cast<bool>(in >> port) && port > 0;
            },
            30s, 50ms);
        return port;
    }

private:
    std::filesystem::path profile_;
    pid_t pid_ = -1;
};

// A DevTools protocol session with one page: commands answered by their id.
class PageSession {
public:
    PageSession(int port, const std::string& path) {
        char error[256] = {};
        conn_ = mg_connect_websocket_client("127.0.0.1", port, 0, error, sizeof error, path.c_str(), nullptr, &PageSession::Data,
                                            &PageSession::Closed, this);
        if (!conn_) error_ = error;
    }
    ~PageSession() {
        if (conn_) mg_close_connection(conn_);
    }
    bool Open() const { return conn_ != nullptr; }
    const std::string& Error() const { return error_; }

    // The command's result (or its error), null when no answer came in time.
    json Call(const std::string& method, json params = json::object()) {
        std::unique_lock lock(mutex_);
        const int id = ++lastId_;
        const std::string text = json{{"id", id}, {"method", method}, {"params", std::move(params)}}.dump();
        lock.unlock();
        if (mg_websocket_client_write(conn_, MG_WEBSOCKET_OPCODE_TEXT, text.data(), text.size()) <= 0) return nullptr;
        lock.lock();
        if (!changed_.wait_for(lock, 20s, [&] { return answers_.count(id) || closed_; }) || !answers_.count(id)) return nullptr;
        json answer = std::move(answers_[id]);
        answers_.erase(id);
        return answer.contains("result") ? answer["result"] : answer;
    }

    // What `expression` evaluates to in the page, as a string ("" when it is not one).
    std::string Text(const std::string& expression) {
        const json result = Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}});
        if (!result.is_object() || !result.contains("result")) return {};
        const json& value = result["result"];
        return value.contains("value") && value["value"].is_string() ? value["value"].get<std::string>() : std::string();
    }

    // Waits until `expression` reads `wanted` in the page; what it read last.
    std::string WaitForText(const std::string& expression, const std::string& wanted, std::chrono::milliseconds limit = 20s) {
        std::string seen;
        PollUntil([&] { return (seen = Text(expression)) == wanted; }, limit, 50ms);
        return seen;
    }

private:
    static int Data(mg_connection*, int flags, char* data, size_t length, void* self) {
        auto& me = *static_cast<PageSession*>(self);
        const int opcode = flags & 0xf;
        if (opcode == MG_WEBSOCKET_OPCODE_TEXT) me.partial_.assign(data, length);
        else if (opcode == MG_WEBSOCKET_OPCODE_CONTINUATION) me.partial_.append(data, length);
        else return 1;
        if (!(flags & 0x80)) return 1;  // (a message in pieces: its last one ends it)
        json message = json::parse(me.partial_, nullptr, false);
        if (message.is_object() && message.contains("id") && message["id"].is_number_integer()) {
            std::lock_guard lock(me.mutex_);
            const int id = message["id"].get<int>();
            me.answers_[id] = std::move(message);
            me.changed_.notify_all();
        }
        return 1;
    }
    static void Closed(const mg_connection*, void* self) {
        auto& me = *static_cast<PageSession*>(self);
        std::lock_guard lock(me.mutex_);
        me.closed_ = true;
        me.changed_.notify_all();
    }

    mg_connection* conn_ = nullptr;
    std::string error_;
    std::string partial_;  // (the client's own thread only)
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, json> answers_;
    int lastId_ = 0;
    bool closed_ = false;
};

// The DevTools path of the browser's first page ("/devtools/page/..."); empty when none.
std::string PagePath(int devToolsPort) {
    std::string path;
    PollUntil(
        [&] {
            const json list = Get(devToolsPort, "/json/list", "").Json();
            if (!list.is_array()) return false;
            for (const json& target : list)
                if (target.value("type", "") == "page" && target.contains("webSocketDebuggerUrl")) {
                    const std::string url = target["webSocketDebuggerUrl"];
                    const std::size_t slash = url.find('/', url.find("//") + 2);
                    if (slash != std::string::npos) path = url.substr(slash);
                    return !path.empty();
                }
            return false;
        },
        20s, 100ms);
    return path;
}

// ---- the desk ----

// The program with its service on a free port and the token, an MT-SICS scale weighing
// `parcels` on COM12 once the program connects (Go()), and the browser.
struct Desk {
    ProgramFolder folder;
    int port = FreePort();
    std::unique_ptr<ScaleSim> scale;
    std::unique_ptr<Program> program;
    Browser browser;

    Desk(const std::string& tag, const std::string& languageFile, const std::string& languageName, const std::string& parcels)
        : folder(tag) {
        folder.WriteSettings(languageFile, languageName);
        std::filesystem::copy(ProgramFolder::SourceDir() / "Web", folder.File("Web"), std::filesystem::copy_options::recursive);
        folder.WriteFile("Service.ini", "[Service]\r\nPort=" + std::to_string(port) + "\r\nToken=" + kToken + "\r\n");
        scale = std::make_unique<ScaleSim>(std::vector<std::string>{"--protocol", "sics", "--parcels", parcels, "--hold", "3000"});
        folder.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM12=" + scale->Device() + "\r\n");
        program = std::make_unique<Program>(std::vector<std::string>{"--weigh", folder.Path(), folder.File("data"), folder.File("go")});
    }
    bool Ready() { return program->WaitForLine("ready", 1, 30s) && !scale->Device().empty(); }
    void Go() const { folder.WriteFile("go", ""); }
    std::string PageAddress() const { return "http://127.0.0.1:" + std::to_string(port) + "/?token=" + kToken; }
};

std::string ById(const std::string& id, const std::string& property = "textContent") {
    return "document.getElementById('" + id + "')." + property;
}

// The recent list as "number weight unit" lines, newest first.
const char* const kRecentRows =
    "Array.from(document.querySelectorAll('#recent tbody tr'))"
    ".map(r => Array.from(r.cells).slice(0, 3).map(c => c.textContent).join(' ')).join('\\n')";

class LivePage : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access(kChromium, X_OK) != 0) GTEST_SKIP() << kChromium << " is not installed (scripts/deps.sh installs it)";
    }
};

TEST_F(LivePage, ShowsTheConnectionAndEachWeighingAsItComesWithoutTheToken) {
    Desk desk("live-page", "\\English.ini", "English", "1.250,0.730,2.100");
    ASSERT_TRUE(desk.Ready()) << "the program did not start";
    const int devTools = desk.browser.DevToolsPort();
    ASSERT_GT(devTools, 0) << "Chromium wrote no DevToolsActivePort";
    const std::string pagePath = PagePath(devTools);
    ASSERT_FALSE(pagePath.empty()) << "Chromium shows no page";
    PageSession page(devTools, pagePath);
    ASSERT_TRUE(page.Open()) << page.Error();
    ASSERT_TRUE(page.Call("Page.navigate", {{"url", desk.PageAddress()}}).contains("frameId"));

    // Before the scale: the service reached, no scale, no weighing yet.
    EXPECT_EQ(page.WaitForText(ById("connection", "className"), "badge disconnected"), "badge disconnected");
    EXPECT_EQ(page.Text(ById("connection")), "No scale connected");
    EXPECT_EQ(page.Text(ById("last-weight")), "No weighing yet");
    EXPECT_EQ(page.Text(ById("recent-label")), "Recent weighings");

    desk.Go();
    EXPECT_EQ(page.WaitForText(ById("connection"), "Connected: MT-SICS \u00b7 COM12", 30s), "Connected: MT-SICS \u00b7 COM12");
    const std::vector<std::string> weights = {"1.250", "0.730", "2.100"};
    std::string rows;
    for (std::size_t i = 0; i < weights.size(); ++i) {
        ASSERT_TRUE(desk.scale->WaitForLine("stable " + weights[i], 1, 30s)) << "the scale did not weigh " << weights[i];
        ASSERT_EQ(page.WaitForText(ById("last-weight"), weights[i]), weights[i]) << "weighing " << i + 1 << " not shown";
        EXPECT_EQ(page.Text(ById("last-unit")), "KG");
        EXPECT_EQ(page.Text(ById("last-time")).size(), 19u) << page.Text(ById("last-time"));  // "YYYY-MM-DD hh:mm:ss"
        rows = std::to_string(i + 1) + " " + weights[i] + " KG" + (rows.empty() ? "" : "\n") + rows;
        EXPECT_EQ(page.WaitForText(kRecentRows, rows), rows);
    }
    // The live weight follows the pan: the last parcel's, then the empty pan's, both at rest.
    EXPECT_EQ(page.WaitForText(ById("live-mark"), "stable"), "stable");
    // The token is in the address only: nowhere in what the page shows or holds.
    EXPECT_EQ(page.Text("document.documentElement.outerHTML").find(kToken), std::string::npos);

    // The program ends: the page says so. Started again, it is another run whose weighings are
    // numbered anew: the page reconnects by itself and starts afresh.
    desk.program.reset();
    EXPECT_EQ(page.WaitForText(ById("connection", "className"), "badge offline"), "badge offline");
    desk.program = std::make_unique<Program>(std::vector<std::string>{"--weigh", desk.folder.Path(), desk.folder.File("data-2"),
                                                                      desk.folder.File("not-yet")});
    ASSERT_TRUE(desk.program->WaitForLine("ready", 1, 30s));
    EXPECT_EQ(page.WaitForText(ById("connection", "className"), "badge disconnected"), "badge disconnected");
    EXPECT_EQ(page.WaitForText(ById("last-weight"), "No weighing yet"), "No weighing yet");
    EXPECT_EQ(page.Text(kRecentRows), "");
}

// The README's pictures of the page, 1024×640, in English and Chinese:
//   build/bin/live_page_tests --gtest_also_run_disabled_tests --gtest_filter='*Pictures*'
// writes Doc/images/live-page-en.png and Doc/images/live-page-zh.png.
TEST_F(LivePage, DISABLED_Pictures) {
    struct Language {
        const char* file;
        const char* name;
        const char* picture;
    };
    for (const Language& language : {Language{"\\English.ini", "English", "live-page-en.png"},
                                     Language{"\\Chinese.ini", "简体中文", "live-page-zh.png"}}) {
        Desk desk(std::string("live-picture-") + language.picture, language.file, language.name, "1.250,0.730,over,2.100,3.415");
        ASSERT_TRUE(desk.Ready());
        const int devTools = desk.browser.DevToolsPort();
        PageSession page(devTools, PagePath(devTools));
        ASSERT_TRUE(page.Open()) << page.Error();
        page.Call("Emulation.setDeviceMetricsOverride", {{"width", 1024}, {"height", 640}, {"deviceScaleFactor", 1}, {"mobile", false}});
        page.Call("Page.navigate", {{"url", desk.PageAddress()}});
        desk.Go();
        ASSERT_TRUE(desk.scale->WaitForLine("stable 3.415", 1, 60s));
        ASSERT_EQ(page.WaitForText(ById("last-weight"), "3.415"), "3.415");
        const json shot = page.Call("Page.captureScreenshot", {{"format", "png"}});
        ASSERT_TRUE(shot.contains("data"));
        const QByteArray png = QByteArray::fromBase64(QByteArray::fromStdString(shot["data"].get<std::string>()));
        std::ofstream((ProgramFolder::SourceDir() / "Doc" / "images" / language.picture).string(), std::ios::binary).write(png.data(), png.size());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc >= 5 && std::string(argv[1]) == "--weigh") {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
        app.setQuitOnLastWindowClosed(false);
        return Weigh(argv[2], argv[3], argv[4]);
    }
    mg_init_library(0);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
