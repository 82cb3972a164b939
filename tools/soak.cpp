// soak MINUTES [SEED]: Pesavo run as a packing desk runs for a shift, faults thrown in at random
// moments, and every weighing accounted for at the end.
//
// On a virtual X display of its own (Xvfb): Pesavo's window (soak --desk, tools/soak-desk.cpp)
// with a six-byte scale on a pseudo-terminal (COM12) and an MT-SICS balance behind a network
// serial server (COM20), a site on a PostgreSQL server of the soak's own, the local weight
// service and the keyboard wedge typing into a text window of the soak's (soak --text) that holds
// the focus. Faults, from SEED: a scale unplugged and plugged in again (a new simulator on the
// same line, with new weights), the program killed and started again, saves, unit changes, Clear,
// the other scale taken, the site's server stopped and started, a stream client that stops
// reading. At the end every weighing a scale was told of must be once in the saved workbooks
// (or among the rows Clear discarded), once in the site, once in the service's stream (followed
// across restarts with ?after=) and typed once; a weighing the program marked "Maybe sent again"
// may be there twice and is counted apart. Exit 1 on any loss or duplicate.
#include "soak-desk.h"

#include "../tests/support/ChildProcess.h"
#include "../tests/support/FreePort.h"
#include "../tests/support/PostgresCluster.h"
#include "../tests/support/ProgramFolder.h"

#include <QApplication>
#include <civetweb.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <csignal>
#include <netinet/in.h>
#include <random>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
const std::string kToken = "5a0c7e3d9b1f4a6e8c2d0b9a7f5e3c1d";
const char* const kDesk = "Soak desk";

volatile std::sig_atomic_t g_stop = 0;  // SIGINT or SIGTERM: the shift ends now, and is counted

class Child : public ChildProcess {
public:
    explicit Child(std::vector<std::string> args) : ChildProcess(std::move(args)) {}
    // The first line from the `from`-th on that starts with `head`, without it; none after `limit`.
    std::optional<std::string> After(std::size_t from, const std::string& head, std::chrono::milliseconds limit) {
        std::optional<std::string> found;
        WaitFor(
            [&] {
                for (std::size_t i = from; i < lines_.size(); ++i)
                    if (lines_[i].rfind(head, 0) == 0) return found = lines_[i].substr(head.size()), true;
                return false;
            },
            limit);
        return found;
    }
    // As After, but gives up at once when the process has ended.
    std::optional<std::string> WhileRunning(std::size_t from, const std::string& head, std::chrono::milliseconds limit) {
        for (auto end = Clock::now() + limit; Running() && Clock::now() < end;)
            if (auto found = After(from, head, 250ms)) return found;
        return After(from, head, 0ms);
    }
    std::vector<std::string> With(const std::string& head) {
        std::vector<std::string> found;
        for (const std::string& line : Lines())
            if (line.rfind(head, 0) == 0) found.push_back(line.substr(head.size()));
        return found;
    }
    std::size_t Size() { return Lines().size(); }
};

// ---- the scales ----

// One scale's simulators, one after another on the same line: each starts where the last one's
// weights ended, and what each was told is kept.
class Scale {
public:
    Scale(std::string name, std::vector<std::string> args, long first) : name_(std::move(name)), args_(std::move(args)), next_(first) {}
    void Plug() {
        std::vector<std::string> args = args_;
        args.insert(args.begin(), PESAVO_SCALE_SIM);
        args.insert(args.end(), {"--first", std::to_string(next_)});
        first_ = next_;
        sim_ = std::make_unique<Child>(args);
        sim_->After(0, "", 5s);
    }
    void Unplug() {
        if (!sim_) return;
        sim_->End(SIGTERM);
        // Past every weight this one may have shown: told, in flight, or settled unseen.
        long last = first_ + static_cast<long>(sim_->With("told ").size());
        for (const std::string& kg : sim_->With("stable ")) last = std::max(last, std::lround(std::stod(kg) * 1000));
        for (std::string& kg : sim_->With("told ")) told_.push_back(kg);
        next_ = last + 2;
        sim_.reset();
    }
    // Waits for the pan to be emptied (the moment to take a balance away without cutting a
    // weighing in two); at once for a scale without a pan.
    void BetweenParcels() {
        if (sim_ && name_ == "sics") sim_->After(sim_->Size(), "lifted", 10s);
    }
    const std::vector<std::string>& Told() const { return told_; }
    const std::string& Name() const { return name_; }

private:
    std::string name_;
    std::vector<std::string> args_;
    long next_, first_ = 0;
    std::unique_ptr<Child> sim_;
    std::vector<std::string> told_;
};

// ---- the service's stream, followed across the program's restarts ----

class Follower {
public:
    explicit Follower(int port) : port_(port), thread_([this] { Run(); }) {}
    ~Follower() {
        stop_ = true;
        thread_.join();
    }
    struct Weighing {
        std::string kg;  // "40.123"
        bool maybeRepeat;
        long long at;  // SoakMs() when it came
    };
    std::vector<Weighing> Weighings() {
        std::lock_guard lock(mutex_);
        return weighings_;
    }

private:
    struct Connection {
        Follower* self;
        std::atomic<bool> closed{false}, stale{false};
    };
    static int Message(mg_connection*, int flags, char* data, size_t length, void* user) {
        auto& c = *static_cast<Connection*>(user);
        if ((flags & 0xf) != MG_WEBSOCKET_OPCODE_TEXT || c.stale) return 1;
        const nlohmann::json m = nlohmann::json::parse(std::string(data, length), nullptr, false);
        std::lock_guard lock(c.self->mutex_);
        if (m.contains("state") && m["state"]["run"] != c.self->run_) {
            // A new run counts its weighings from 1: all of them, from the start.
            const bool from0 = c.self->seq_ == 0;
            c.self->run_ = m["state"]["run"].get<std::string>();
            c.self->seq_ = 0;
            if (!from0) c.stale = true;
        } else if (m.contains("weighing")) {
            const auto& w = m["weighing"];
            char kg[32] = "-";
            if (w["kg"].is_number()) std::snprintf(kg, sizeof kg, "%.3f", w["kg"].get<double>());
            c.self->weighings_.push_back({kg, w["maybe_repeat"].is_boolean() && w["maybe_repeat"].get<bool>(), SoakMs()});
            c.self->seq_ = w["seq"].get<std::uint64_t>();
        }
        return 1;
    }
    static void Closed(const mg_connection*, void* user) { static_cast<Connection*>(user)->closed = true; }

    void Run() {
        while (!stop_) {
            std::string path;
            {
                std::lock_guard lock(mutex_);
                path = "/v1/stream?token=" + kToken + "&after=" + std::to_string(seq_);
            }
            Connection c{this};
            char error[256] = {};
            mg_connection* conn = mg_connect_websocket_client("127.0.0.1", port_, 0, error, sizeof error, path.c_str(), nullptr,
                                                              &Follower::Message, &Follower::Closed, &c);
            while (conn && !stop_ && !c.closed && !c.stale) std::this_thread::sleep_for(20ms);
            if (conn) mg_close_connection(conn);
            if (!c.stale) std::this_thread::sleep_for(100ms);
        }
    }

    const int port_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string run_;
    std::uint64_t seq_ = 0;
    std::vector<Weighing> weighings_;
    std::thread thread_;
};

// A stream client that asks and then never reads: the service must drop it, not wait for it.
class StalledClient {
public:
    explicit StalledClient(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int small = 1024;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
        const std::string hello = "GET /v1/stream?token=" + kToken + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                  "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                  "Sec-WebSocket-Version: 13\r\n\r\n";
        (void)!::write(fd_, hello.data(), hello.size());
    }
    ~StalledClient() { ::close(fd_); }

private:
    int fd_ = -1;
};

// ---- the counts ----

struct Tally {
    int once = 0, repeats = 0, lost = 0, duplicates = 0, cut = 0;  // cut: by a kill, or not typed by design
    std::vector<std::string> faults;
};

// What a way out holds of each weighing: once each, twice for one the program marked as a
// possible repeat; `mayMiss` those a kill may have cut off before they went out.
Tally Judge(const std::string& what, const std::vector<std::string>& told, const std::map<std::string, int>& seen,
            const std::set<std::string>& marked, const std::set<std::string>& mayMiss = {}) {
    Tally t;
    for (const std::string& kg : told) {
        const auto it = seen.find(kg);
        const int n = it == seen.end() ? 0 : it->second;
        if (n == 1) ++t.once;
        else if (n == 2 && marked.count(kg)) ++t.repeats;
        else if (n == 0 && mayMiss.count(kg)) ++t.cut;
        else {
            (n == 0 ? t.lost : t.duplicates) += 1;
            t.faults.push_back(what + ": " + kg + " kg " + (n == 0 ? "missing" : "there " + std::to_string(n) + " times"));
        }
    }
    return t;
}

// Each row of the saved workbooks: "Data|Unit|Explan", as Debian's xlrd reads them.
std::vector<std::string> SavedRows(const std::string& folder) {
    const std::string script =
        "import sys, xlrd, glob\n"
        "for f in sorted(glob.glob(sys.argv[1] + '/*.xls')):\n"
        " s = xlrd.open_workbook(f).sheet_by_index(0)\n"
        " for r in range(1, s.nrows): print('%s|%s|%s' % (s.cell_value(r, 1), s.cell_value(r, 2), s.cell_value(r, 5)))\n";
    setenv("SOAK_SCRIPT", script.c_str(), 1);
    FILE* p = popen(("/usr/bin/python3 -c \"$SOAK_SCRIPT\" '" + folder + "'").c_str(), "r");
    std::vector<std::string> rows;
    char line[4096];
    while (p && std::fgets(line, sizeof line, p)) rows.emplace_back(line, std::strcspn(line, "\n"));
    if (p && pclose(p) != 0) rows.push_back("unreadable|workbook|");
    return rows;
}

std::string Field(const std::string& row, int n) {
    std::size_t start = 0;
    for (int i = 0; i < n; ++i) start = row.find('|', start) + 1;
    return row.substr(start, row.find('|', start) - start);
}

bool MaybeRepeat(const std::string& explan) { return explan.rfind("Maybe sent again", 0) == 0; }

long RssKb(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long kb = 0;
    while (in >> key)
        if (key == "VmRSS:") return in >> kb, kb;
    return 0;
}

int Soak(double minutes, unsigned seed) {
    std::printf("soak: %.1f minutes, seed %u (soak %g %u repeats this run)\n", minutes, seed, minutes, seed);
    std::mt19937 random(seed);
    const auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };

    Child display({"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    const std::string number = display.After(0, "", 20s).value_or("");
    if (number.empty()) return std::printf("soak: Xvfb did not start\n"), 2;
    setenv("DISPLAY", (":" + number).c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);

    PostgresCluster site;
    if (!site.Error().empty()) return std::printf("soak: %s\n", site.Error().c_str()), 2;
    site.MakeSite({{"desk_soak", "soak-password"}}, {{"desk_soak", {kDesk}}});
    const std::string passFile = site.WritePassFile("pgpass", {{"desk_soak", "soak-password"}});

    ProgramFolder folder("soak");
    const bool reconnect = !std::getenv("SOAK_NO_RECONNECT");
    folder.WriteFile("Setting.ini", std::string("[Language_Configuration]\r\nLanguage_FileName=\\English.ini\r\nLanguage_Name=English\r\n") +
                                        "[Connection]\r\nReconnect=" + (reconnect ? "1" : "0") + "\r\n");
    const std::string user = folder.File("user"), data = folder.File("data"), saves = folder.File("saves"), fifo = folder.File("commands");
    for (const auto& d : {user, data, saves}) std::filesystem::create_directories(d);
    ::mkdir(folder.File("run").c_str(), 0700);  // the windows' runtime folder
    setenv("XDG_RUNTIME_DIR", folder.File("run").c_str(), 0);
    const int servicePort = FreePort(), sicsPort = FreePort();
    folder.WriteFile("user/Service.ini", "[Service]\r\nPort=" + std::to_string(servicePort) + "\r\nToken=" + kToken + "\r\n");
    folder.WriteFile("user/Wedge.ini", "[Wedge]\r\nEnabled=1\r\nUnit=kg\r\nAfter=Enter\r\n");
    folder.WriteFile("user/Site.ini", "[Site]\r\nDatabase=" + site.Connection("desk_soak") + " passfile=" + passFile +
                                          "\r\nDesk=" + kDesk + "\r\n");
    folder.WriteFile("user/Scales.ini", "[COM12]\r\nProtocol=frame6\r\n[COM20]\r\nProtocol=sics\r\n");
    const std::string line = folder.File("frame6-line");
    folder.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM12=" + line + "\r\nCOM20=tcp://127.0.0.1:" + std::to_string(sicsPort) + "\r\n");
    ::mkfifo(fifo.c_str(), 0600);
    const int commands = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);

    Scale frame6("frame6", {"--link", line, "--interval", "150"}, 40000);
    Scale sics("sics", {"--protocol", "sics", "--tcp", std::to_string(sicsPort), "--hold", "700"}, 1000);
    frame6.Plug();
    sics.Plug();

    Child text({"/proc/self/exe", "--text"});
    const std::string textWindow = text.After(0, "window ", 20s).value_or("");
    const auto focus = [&] {
        return std::system(("xdotool windowfocus --sync " + textWindow + " mousemove --window " + textWindow + " 200 100 2>/dev/null").c_str()) == 0;
    };

    std::unique_ptr<Child> desk;
    std::vector<std::string> restoredAfterKill;  // the newest rows each restart put back
    int pid = 0;
    Scale* active = &frame6;
    const auto send = [&](const std::string& command) {
        const std::string line = command + "\n";
        const std::size_t from = desk->Size();
        (void)!::write(commands, line.data(), line.size());
        if (!desk->WhileRunning(from, "done " + command, 120s))
            std::printf("soak: the desk did not finish \"%s\"\n", command.c_str());
        const auto focusNow = text.With("focus ");
        if (!focusNow.empty() && focusNow.back().rfind("0", 0) == 0) {
            focus();
        }
    };
    const auto port = [&] { return active == &frame6 ? "12" : "20"; };
    const auto connect = [&] {
        const std::size_t from = desk->Size();
        send(std::string("connect ") + port());
        if (desk->WhileRunning(from, "not on ", 0s)) std::printf("soak: the desk did not take COM%s\n", port());
    };
    std::unique_ptr<StalledClient> stalled;
    std::vector<std::string> cleared, boxesSeen;  // of the desks that were killed
    const auto start = [&] {
        if (desk) {
            for (const std::string& row : desk->With("cleared ")) cleared.push_back(row);
            for (const std::string& box : desk->With("box ")) boxesSeen.push_back(box);
        }
        desk = std::make_unique<Child>(std::vector<std::string>{"/proc/self/exe", "--desk", folder.Path(), user + "/", data, saves, fifo});
        pid = std::atoi(desk->WhileRunning(0, "pid ", 30s).value_or("0").c_str());
        if (!desk->WhileRunning(0, "ready", 60s)) {
            std::printf("soak: the desk did not start:\n");
            for (const std::string& line : desk->Lines()) std::printf("  %s\n", line.c_str());
        }
        const auto restored = desk->With("restored ");
        for (std::size_t i = restored.size() > 3 ? restored.size() - 3 : 0; i < restored.size(); ++i)
            restoredAfterKill.push_back(Field(restored[i], 0));
        focus();
        connect();
        stalled = std::make_unique<StalledClient>(servicePort);
    };
    start();
    Follower follower(servicePort);

    std::map<std::string, int> faults;
    std::vector<std::pair<int, long>> memory;  // seconds, kB
    const auto began = Clock::now();
    const auto end = began + std::chrono::milliseconds(static_cast<long>(minutes * 60000));
    auto nextSample = began;
    bool siteDown = false;
    Clock::time_point siteBack{};
    while (Clock::now() < end && !g_stop) {
        const auto now = Clock::now();
        if (now >= nextSample) {
            memory.emplace_back(static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(now - began).count()), RssKb(pid));
            nextSample += 10s;
        }
        if (siteDown && now >= siteBack) {
            site.Start();
            siteDown = false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(uniform(1000, 5000)));
        const int pick = uniform(0, 99);
        const auto at = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - began).count();
        const auto note = [&](const std::string& what) {
            std::printf("%4lds %s\n", static_cast<long>(at), what.c_str());
            ++faults[what];
        };
        if (!desk->Running()) {
            std::printf("soak: the desk ended by itself; its last words:\n");
            const auto lines = desk->Lines();
            for (std::size_t i = lines.size() > 15 ? lines.size() - 15 : 0; i < lines.size(); ++i) std::printf("  %s\n", lines[i].c_str());
            note("desk ended by itself");
            start();
        } else if (pick < 15) {
            Scale& scale = uniform(0, 3) ? *active : (active == &frame6 ? sics : frame6);
            scale.BetweenParcels();
            if (!reconnect) send("unit 0");  // (the close's save: in kg)
            scale.Unplug();
            std::this_thread::sleep_for(std::chrono::milliseconds(uniform(300, 3000)));
            scale.Plug();
            if (!reconnect && &scale == active) connect();
            note("unplugged " + scale.Name());
        } else if (pick < 30) {
            active->BetweenParcels();
            desk->End(SIGKILL);
            start();
            note("killed");
        } else if (pick < 45) {
            send("save");
            note("saved");
        } else if (pick < 60) {
            send("unit " + std::to_string(uniform(0, 2)));
            note("unit changed");
        } else if (pick < 68) {
            send("clear");
            note("cleared");
        } else if (pick < 76) {
            active->BetweenParcels();
            send("disconnect");
            active = active == &frame6 ? &sics : &frame6;
            connect();
            note("other scale taken");
        } else if (pick < 86 && !siteDown) {
            site.Stop();
            siteDown = true;
            siteBack = Clock::now() + std::chrono::milliseconds(uniform(2000, 15000));
            note("site server stopped");
        } else {
            stalled = std::make_unique<StalledClient>(servicePort);
            note("stalled stream client");
        }
    }

    // The end of the shift: the site back, the scales gone, the line closed (its rows saved), the
    // rest saved.
    if (siteDown) site.Start();
    send("unit 0");  // (a line lost without Reconnect saves at once)
    active->BetweenParcels();
    frame6.Unplug();
    sics.Unplug();
    send("disconnect");
    send("save");
    // Everything out: the site's outbox sent, the stream and the wedge quiet.
    std::size_t sitePrev = 0, streamPrev = 0, typedPrev = 0;
    for (int quiet = 0, waited = 0; quiet < 5 && waited < 120; ++waited) {
        std::this_thread::sleep_for(1s);
        const std::size_t siteRows = std::stoul(site.Sql("select count(*) from pesavo.weighings"));
        const std::size_t streamed = follower.Weighings().size(), typed = text.With("typed ").size();
        quiet = siteRows == sitePrev && streamed == streamPrev && typed == typedPrev ? quiet + 1 : 0;
        sitePrev = siteRows, streamPrev = streamed, typedPrev = typed;
    }
    memory.emplace_back(static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - began).count()), RssKb(pid));
    for (const std::string& row : desk->With("cleared ")) cleared.push_back(row);
    for (const std::string& box : desk->With("box ")) boxesSeen.push_back(box);
    const auto& boxes = boxesSeen;
    send("quit");
    desk->Wait();

    // ---- what came out ----
    std::vector<std::string> told = frame6.Told();
    told.insert(told.end(), sics.Told().begin(), sics.Told().end());
    std::map<std::string, int> inFiles, inSite, streamed, typed, toldCount;
    std::set<std::string> marked, mayMiss(restoredAfterKill.begin(), restoredAfterKill.end());
    int untold = 0;
    for (const std::string& kg : told) ++toldCount[kg];
    for (const std::string& row : SavedRows(saves)) {
        if (Field(row, 1) != "KG") std::printf("soak: a row saved in %s: %s\n", Field(row, 1).c_str(), row.c_str());
        ++inFiles[Field(row, 0)];
        if (MaybeRepeat(Field(row, 2))) marked.insert(Field(row, 0));
    }
    for (const std::string& row : cleared) {
        ++inFiles[Field(row, 0)];
        if (MaybeRepeat(Field(row, 1))) marked.insert(Field(row, 0));
    }
    std::string untoldRows;
    for (const auto& [kg, n] : inFiles) {
        if (toldCount.count(kg)) continue;
        untold += n;
        if (untoldRows.size() < 80) untoldRows += " " + kg;
    }
    {
        const std::string rows = site.Sql("select coalesce(string_agg(to_char(kg, 'FM999990.000'), ',' order by run, row_id), '') "
                                          "from pesavo.weighings where desk = '" + std::string(kDesk) + "'");
        std::stringstream list(rows);
        for (std::string kg; std::getline(list, kg, ',');) ++inSite[kg];
    }
    // Weighings that came while a window of Pesavo's had the focus are not typed (nor later).
    std::vector<std::pair<long long, long long>> unfocused;
    for (const std::string& f : text.With("focus ")) {
        const long long at = std::atoll(f.c_str() + 2);
        if (f[0] == '0') unfocused.emplace_back(at - 300, std::numeric_limits<long long>::max());
        else if (!unfocused.empty()) unfocused.back().second = std::min(unfocused.back().second, at + 300);
    }
    std::set<std::string> untyped;
    for (const auto& w : follower.Weighings()) {
        ++streamed[w.kg];
        for (const auto& [from, to] : unfocused)
            if (w.at >= from && w.at <= to) untyped.insert(w.kg);
    }
    for (const std::string& kg : text.With("typed ")) ++typed[kg];
    std::set<std::string> mayMissTyping = mayMiss;
    mayMissTyping.insert(untyped.begin(), untyped.end());

    std::printf("\nsoak: %zu weighings told (frame6 %zu, sics %zu) in %.1f minutes, seed %u\n", told.size(), frame6.Told().size(),
                sics.Told().size(), minutes, seed);
    for (const auto& [kind, n] : faults) std::printf("  %-24s %d\n", kind.c_str(), n);
    int failures = 0;
    for (const auto& [kg, n] : toldCount)
        if (n > 1) ++failures, std::printf("  FAULT scale-sim told %s kg %d times\n", kg.c_str(), n);
    std::printf("  %-24s %8s %8s %8s %8s %8s\n", "", "once", "repeats", "cut", "lost", "dupl.");
    for (const auto& [name, tally] : {std::pair{"saved / cleared", Judge("table", told, inFiles, marked)},
                                      std::pair{"site", Judge("site", told, inSite, marked)},
                                      std::pair{"stream", Judge("stream", told, streamed, marked, mayMiss)},
                                      std::pair{"wedge", Judge("wedge", told, typed, marked, mayMissTyping)}}) {
        std::printf("  %-24s %8d %8d %8d %8d %8d\n", name, tally.once, tally.repeats, tally.cut, tally.lost, tally.duplicates);
        for (std::size_t i = 0; i < tally.faults.size() && i < 10; ++i) std::printf("    FAULT %s\n", tally.faults[i].c_str());
        failures += tally.lost + tally.duplicates;
    }
    std::printf("  rows no scale was told of (the line went before their answer): %d%s\n", untold, untoldRows.c_str());
    std::printf("  the wedge's window lost the focus %zu times (to Pesavo's progress); %zu weighings came meanwhile\n",
                unfocused.size(), untyped.size());
    for (const std::string& box : boxes) std::printf("  box: %s\n", box.c_str());
    std::printf("  memory (RSS of the program, MB):");
    for (const auto& [s, kb] : memory) std::printf(" %d s %.1f;", s, kb / 1024.0);
    std::printf("\nsoak: %s\n", failures ? "FAILED" : "passed");
    return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--desk" || mode == "--text") {
        QApplication app(argc, argv);
        std::setvbuf(stdout, nullptr, _IONBF, 0);
        if (mode == "--text") return SoakText();
        app.setQuitOnLastWindowClosed(false);
        return argc == 7 ? SoakDesk(argv[2], argv[3], argv[4], argv[5], argv[6]) : 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const double minutes = argc > 1 ? std::atof(argv[1]) : 0;
    if (argc < 2 || argc > 3 || minutes <= 0) return std::fprintf(stderr, "usage: soak MINUTES [SEED]\n"), 2;
    const unsigned seed = argc == 3 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : std::random_device()();
    std::signal(SIGINT, [](int) { g_stop = 1; });
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    mg_init_library(0);
    const int result = Soak(minutes, seed);
    mg_exit_library();
    return result;
}
