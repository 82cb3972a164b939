// scale-sim: a simulated postal scale on a pseudo-terminal or a TCP port.
//
//   scale-sim [--protocol frame6|8217|sics|print] [--tcp PORT] [--link PATH] [--interval MS]
//             [--count N] [--seed N] [--first N] [--exit-when-done]
//             frame6: [--frames FILE] [--silent] [--split] [--early]
//             others: [--parcels LIST] [--unit kg|lb] [--hold MS] [--loaded]
//
// The first line of standard output is where the host finds the scale: the pseudo-terminal's
// device path, or with --tcp "tcp://127.0.0.1:<port>" (PORT 0: a free one; one client at a time,
// the next one taken when it goes). Every byte received is printed at once as "rx XX". Ends on
// SIGINT/SIGTERM, or with --exit-when-done once the last weighing is over.
//
// frame6 (the default), the six-byte scale: answers every handshake request 0x5A with 0xA5 and
// then sends frames, each after the previous one was answered (0x9F or 0xF9) and `--interval` ms
// (default 500) have passed. Frames come from FILE (one batch per line as hex bytes, e.g.
// "5F 02 00 04 D2 8B"; blank lines and lines starting with # are skipped) or are generated
// weighings (N of them; 0 = without end). A generated frame that the host answers with 0xF9 is
// sent again. 0x3A ends the session until the next 0x5A (so does the TCP client going).
// --silent never answers the handshake. The first frame after a handshake follows no sooner than
// 300 ms, the time a host needs to judge the reply; with --early it follows right behind the
// reply, in the same write. --split writes each frame in two pieces 5 ms apart, as a slow line or
// a USB adapter delivers it (with --early, the reply and the first frame but its last byte, then
// that byte).
//
// --first N makes every weighing tell itself apart from the others of a run: the i-th (from 0)
// weighs (N + i) / 1000 kg, shown with three decimals, and nothing else comes (no tare, overload
// or garbled frame). Each weighing the host was told of is printed as "told <kg>": a frame6 frame
// answered 0x9F, or a parcel an 8217 or sics host was first given as stable. A frame6 frame left unanswered is
// sent again after the next handshake, as a scale that never heard its answer does; a new
// simulator on the same line (a scale plugged in again) is given a new N.
//
// 8217, sics and print are scales with a pan: a parcel is placed, swings for 0.6 s, stands
// stable for --hold ms (default 2000) and is lifted (the pan empty for 1 s); LIST gives them
// ("1.250,over,under,0.730": kg, an overload, the pan taken off, under zero for 1 s) or N are
// generated (0 = without end). The parcels begin once a host is there (a byte received, a TCP
// client, or the print being read); --loaded puts the first one stable on the pan from the start.
// "stable <kg>" (or "stable over") is printed as each parcel settles, "lifted" as it is taken off,
// "zeroed" when the scale is zeroed (its gross reading becomes the zero; an overload is not
// zeroed).
//   8217 (7E1): 'W' is answered STX "01.250" CR (lb: "002.76"), or STX '?' status CR while the
//     reading is in motion (0x41), over (0x42) or under zero (0x44); 'Z' zeroes; all else is
//     ignored.
//   sics (MT-SICS, lines ending CR LF, CR or LF): "SI" or "S" gets "S S      1.250 kg" (S D in
//     motion, "S +" over, "S -" under zero), "Z" zeroes and gets "Z A", any other line "ES".
//   print: sends "ST,GS,+  1.250kg" (US in motion, OL over, "-" under zero; lb: "+  2.76lb")
//     every --interval ms (default 100) and ignores what it receives; a line nobody reads is
//     dropped, never waited for.
#include "scale-sim-pan.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

using Frame = std::vector<std::uint8_t>;
constexpr long kFirstFrameDelayMs = 300;
constexpr useconds_t kSplitGapUs = 5000;  // between the two pieces of a --split frame
// Print lines waiting unread beyond this (about 1.5 s of them): nobody reads the line.
constexpr int kUnreadLimit = 256;
using Clock = std::chrono::steady_clock;

int Usage(const char* message) {
    std::fprintf(stderr,
                 "scale-sim: %s\nusage: scale-sim [--protocol frame6|8217|sics|print] [--tcp PORT] [--link PATH]\n"
                 "                 [--interval MS] [--count N] [--seed N] [--first N] [--exit-when-done]\n"
                 "  frame6: [--frames FILE] [--silent] [--split] [--early]\n"
                 "  others: [--parcels LIST] [--unit kg|lb] [--hold MS] [--loaded]\n", message);
    return 2;
}

bool ReadFrames(const char* path, std::vector<Frame>& frames) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || line.find_first_not_of(" \t\r") == std::string::npos) continue;
        std::istringstream words(line);
        Frame frame;
        std::string word;
        while (words >> word) {
            char* end = nullptr;
            const unsigned long v = std::strtoul(word.c_str(), &end, 16);
            if (*end != '\0' || v > 0xFF) {
                std::fprintf(stderr, "scale-sim: %s: not a hex byte: %s\n", path, word.c_str());
                return false;
            }
            frame.push_back(static_cast<std::uint8_t>(v));
        }
        frames.push_back(frame);
    }
    return true;
}

// A weight frame: type, status (sign and decimals), 24-bit count, XOR check.
Frame WeightFrame(bool negative, int decimals, std::uint32_t count) {
    const std::uint8_t code = decimals == 1 ? 2 : decimals == 2 ? 4 : 8;
    Frame f = {0x5F, static_cast<std::uint8_t>((negative ? 0x40 : 0x00) | code), static_cast<std::uint8_t>(count >> 16),
               static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count)};
    f.push_back(static_cast<std::uint8_t>(f[0] ^ f[1] ^ f[2] ^ f[3] ^ f[4]));
    return f;
}

// Parcels of 0.1 to 60 kg with the scale's usual resolutions; now and then a tare below zero,
// an overweight parcel or a frame garbled on the line.
struct Generator {
    std::mt19937 random;
    Frame good;
    Frame Next(bool& garbled) {
        const int kind = static_cast<int>(random() % 100);
        garbled = false;
        if (kind < 2) {
            good = {0x3F, 0, 0, 0, 0, 0};
            return good;
        }
        const int decimals = 1 + static_cast<int>(random() % 3);
        const std::uint32_t scale = decimals == 1 ? 10 : decimals == 2 ? 100 : 1000;
        const bool negative = kind < 8;
        const std::uint32_t grams = negative ? 10 + random() % 2000 : 100 + random() % 60000;
        good = WeightFrame(negative, decimals, grams * scale / 1000);
        if (kind < 11) {
            garbled = true;
            Frame bad = good;
            bad[5] ^= 0x5A;
            return bad;
        }
        return good;
    }
};


// Where the host is: the pseudo-terminal's master side, or one TCP client at a time.
class Line {
public:
    enum class Event { Nothing, Bytes, Came, Left, Failed };

    ~Line() {
        if (!link_.empty()) unlink(link_.c_str());
        for (int fd : {client_, listener_, keep_, master_})
            if (fd >= 0) close(fd);
    }

    bool OpenPty(bool sevenEven, bool nonblocking, const std::string& link) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | (nonblocking ? O_NONBLOCK : 0));
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            std::perror("scale-sim: pseudo-terminal");
            return false;
        }
        name_ = ptsname(master_);
        // Holding the line's own end open keeps the master readable while no host has the port
        // open (a host may close and open it again as it likes), and makes it raw from the start
        // (no echo, no line editing).
        keep_ = open(name_.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        if (keep_ < 0 || tcgetattr(keep_, &t) != 0) {
            std::perror("scale-sim: line");
            return false;
        }
        cfmakeraw(&t);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        if (sevenEven) t.c_cflag = (t.c_cflag & ~(CSIZE | PARODD)) | CS7 | PARENB;  // the pty passes all 8 bits
        tcsetattr(keep_, TCSANOW, &t);
        if (!link.empty()) {
            unlink(link.c_str());
            if (symlink(name_.c_str(), link.c_str()) != 0) {
                std::perror("scale-sim: --link");
                return false;
            }
            link_ = link;
        }
        return true;
    }

    bool Listen(long port, bool nonblocking) {
        nonblocking_ = nonblocking;
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        socklen_t size = sizeof a;
        if (listener_ < 0 || setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 4) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
            std::perror("scale-sim: --tcp");
            return false;
        }
        name_ = "tcp://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        return true;
    }

    const std::string& Name() const { return name_; }
    bool Tcp() const { return listener_ >= 0; }
    // A host can be written to (a pseudo-terminal always takes bytes, read or not).
    bool Open() const { return !Tcp() || client_ >= 0; }

    // Up to `ms` for bytes from the host (in `in`, `n` of them); a TCP client is taken when there
    // is none, and let go when it closes.
    Event Wait(int ms, std::uint8_t* in, std::size_t cap, ssize_t& n) {
        const int fd = Tcp() ? (client_ >= 0 ? client_ : listener_) : master_;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, ms);
        if (ready < 0 && errno != EINTR) return Event::Failed;
        if (ready <= 0) return Event::Nothing;
        if (fd == listener_) {
            client_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client_ < 0) return Event::Nothing;
            const int on = 1;
            setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // a reply goes out at once
            return Event::Came;
        }
        n = read(fd, in, cap);
        if (fd == client_ && (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))) {
            close(client_);
            client_ = -1;
            return Event::Left;
        }
        if (n <= 0) {
            // (The pty's master reads nothing while the line is being set up or hung up.)
            usleep(10000);
            return Event::Nothing;
        }
        return Event::Bytes;
    }

    // The bytes whole, or false.
    bool Write(const std::uint8_t* data, std::size_t size) {
        if (!Tcp()) return write(master_, data, size) == static_cast<ssize_t>(size);
        if (client_ < 0) return false;
        const int flags = MSG_NOSIGNAL | (nonblocking_ ? MSG_DONTWAIT : 0);
        return send(client_, data, size, flags) == static_cast<ssize_t>(size);
    }
    bool Write(const std::string& text) { return Write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()); }

    // Bytes written and not yet read by the host.
    int Queued() const {
        int n = 0;
        if (Tcp() ? ioctl(client_, SIOCOUTQ, &n) != 0 : ioctl(keep_, FIONREAD, &n) != 0) return 0;
        return n;
    }
    // What waits unread on the pty goes: a host that opens it later gets fresh readings.
    void DropUnread() {
        if (!Tcp()) tcflush(keep_, TCIFLUSH);
    }

private:
    int master_ = -1, keep_ = -1, listener_ = -1, client_ = -1;
    bool nonblocking_ = false;
    std::string name_, link_;
};

struct Options {
    std::string protocol = "frame6";
    bool exitWhenDone = false, silent = false, split = false, early = false, pounds = false, loaded = false;
    long count = 0, interval = -1, hold = 2000, tcp = -1, first = -1;
    unsigned seed = 20261208;
    std::string link;
};

// The six-byte scale: a handshake, then one frame after another, each answered.
void RunFrames(Line& line, const Options& o, const std::vector<Frame>& scripted, bool useScript) {
    const long interval = o.interval < 0 ? 500 : o.interval;
    Generator generator{std::mt19937(o.seed), {}};
    const long total = useScript ? static_cast<long>(scripted.size()) : o.count;
    long sent = 0;            // frames sent and answered
    bool connected = false, waiting = false, lastGarbled = false;
    Frame last;
    // With --first: the weighing `sent` is N + sent grams, until the host answers it.
    const auto nextFrame = [&]() -> Frame {
        if (useScript) return scripted[static_cast<std::size_t>(sent)];
        if (o.first < 0) return generator.Next(lastGarbled);
        lastGarbled = false;
        return WeightFrame(false, 3, static_cast<std::uint32_t>(o.first + sent));
    };
    Clock::time_point next = Clock::now();
    // As a slow UART or a USB adapter may deliver it: the frame in two pieces, a few character
    // times apart.
    auto sendFrame = [&](const Frame& f) {
        if (!o.split || f.size() < 2) return line.Write(f.data(), f.size());
        const std::size_t half = f.size() / 2;
        if (!line.Write(f.data(), half)) return false;
        usleep(kSplitGapUs);
        return line.Write(f.data() + half, f.size() - half);
    };

    while (!g_stop) {
        // (A frames file ends; only generated weighings may go on without end.)
        const bool done = useScript ? sent >= total : total > 0 && sent >= total;
        if (done && o.exitWhenDone) break;
        if (connected && !waiting && !done && Clock::now() >= next) {
            last = nextFrame();
            if (sendFrame(last)) waiting = true;
        }
        int timeout = 100;
        if (connected && !waiting && !done) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
            timeout = static_cast<int>(std::max<long long>(0, std::min<long long>(left, 100)));
        }
        std::uint8_t in[256];
        ssize_t n = 0;
        const Line::Event event = line.Wait(timeout, in, sizeof in, n);
        if (event == Line::Event::Failed) break;
        if (event == Line::Event::Left) connected = waiting = false;  // as 0x3A: the session is over
        if (event != Line::Event::Bytes) continue;
        for (ssize_t i = 0; i < n; ++i) {
            const std::uint8_t b = in[i];
            std::printf("rx %02X\n", b);
            if (b == 0x5A) {
                if (o.silent) continue;
                Frame reply = {0xA5};
                waiting = false;
                if (o.early && (total == 0 || sent < total)) {
                    // The first weighing right behind the reply, in the same write.
                    last = nextFrame();
                    reply.insert(reply.end(), last.begin(), last.end());
                    waiting = true;
                }
                // With --split as well, the frame's last byte comes apart: the reply and five
                // bytes make a batch of six that is not a whole frame.
                const std::size_t first = o.split && reply.size() > 2 ? reply.size() - 1 : reply.size();
                bool wrote = line.Write(reply.data(), first);
                if (wrote && first < reply.size()) {
                    usleep(kSplitGapUs);
                    wrote = line.Write(reply.data() + first, reply.size() - first);
                }
                if (wrote) connected = true;
                else waiting = false;
                // The host judges the reply before it decodes frames: give it time to do so.
                next = Clock::now() + std::chrono::milliseconds(std::max(interval, kFirstFrameDelayMs));
            } else if (b == 0x3A) {
                connected = false;
                waiting = false;
            } else if ((b == 0x9F || b == 0xF9) && waiting) {
                waiting = false;
                if (b == 0xF9 && !useScript && lastGarbled) {
                    // The host saw a garbled frame: send the weighing again, intact.
                    lastGarbled = false;
                    if (sendFrame(generator.good)) waiting = true;
                    continue;
                }
                if (b == 0x9F && o.first >= 0) std::printf("told %.3f\n", (o.first + sent) / 1000.0);
                ++sent;
                next = Clock::now() + std::chrono::milliseconds(interval);
            }
        }
    }
}

// A scale with a pan: it answers what it is asked, or prints its reading again and again.
void RunPan(Line& line, const Options& o, sim::Pan& pan, sim::Talk& talk) {
    const bool print = o.protocol == "print";
    const auto every = std::chrono::milliseconds(std::max(1L, o.interval < 0 ? 100 : o.interval));
    Clock::time_point nextPrint = Clock::now();
    int lastQueued = 0;
    while (!g_stop) {
        Clock::time_point now = Clock::now();
        pan.Advance(now);
        if (pan.Done() && o.exitWhenDone) break;
        if (print && now >= nextPrint) {
            nextPrint = std::max(nextPrint + every, now);
            if (line.Open()) {
                const int queued = line.Queued();
                if (!line.Tcp() && queued < lastQueued) pan.Start(now);  // somebody reads the line
                if (queued > kUnreadLimit) {
                    line.DropUnread();  // nobody does: this line is dropped, and the stale ones
                    lastQueued = 0;
                } else {
                    const std::string text = talk.PrintLine(pan.Read(now));
                    lastQueued = queued + (line.Write(text) ? static_cast<int>(text.size()) : 0);
                }
            }
        }
        Clock::time_point wake = std::min(pan.Due(), now + std::chrono::milliseconds(100));
        if (print) wake = std::min(wake, nextPrint);
        const auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
        std::uint8_t in[256];
        ssize_t n = 0;
        const Line::Event event = line.Wait(static_cast<int>(std::max<long long>(0, timeout)), in, sizeof in, n);
        if (event == Line::Event::Failed) break;
        now = Clock::now();
        if (event == Line::Event::Came || event == Line::Event::Left) talk.Restart();
        if (event == Line::Event::Came) {
            pan.Start(now);
            nextPrint = now;
        }
        if (event != Line::Event::Bytes) continue;
        pan.Start(now);
        pan.Advance(now);
        for (ssize_t i = 0; i < n; ++i) {
            std::printf("rx %02X\n", in[i]);
            const std::string reply = talk.Take(in[i], pan, now);
            if (!reply.empty()) line.Write(reply);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::vector<Frame> scripted;
    std::vector<sim::Parcel> parcels;
    bool useScript = false, countGiven = false, frameOption = false, panOption = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--frames" && hasValue) {
            if (!ReadFrames(argv[++i], scripted)) return Usage("cannot read the frames file");
            useScript = frameOption = true;
        } else if (a == "--count" && hasValue) {
            o.count = std::strtol(argv[++i], nullptr, 10);
            countGiven = true;
        } else if (a == "--interval" && hasValue) {
            o.interval = std::strtol(argv[++i], nullptr, 10);
            if (o.interval < 0) return Usage("--count and --interval take numbers of 0 or more");
        } else if (a == "--link" && hasValue) {
            o.link = argv[++i];
        } else if (a == "--seed" && hasValue) {
            o.seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--first" && hasValue) {
            char* end = nullptr;
            o.first = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || o.first < 0 || o.first > 16000000) return Usage("--first takes grams from 0 to 16000000");
        } else if (a == "--exit-when-done") {
            o.exitWhenDone = true;
        } else if (a == "--silent") {
            o.silent = frameOption = true;
        } else if (a == "--split") {
            o.split = frameOption = true;
        } else if (a == "--early") {
            o.early = frameOption = true;
        } else if (a == "--protocol" && hasValue) {
            o.protocol = argv[++i];
            if (o.protocol != "frame6" && o.protocol != "8217" && o.protocol != "sics" && o.protocol != "print")
                return Usage(("unknown protocol " + o.protocol).c_str());
        } else if (a == "--unit" && hasValue) {
            const std::string unit = argv[++i];
            if (unit != "kg" && unit != "lb") return Usage("--unit is kg or lb");
            o.pounds = unit == "lb";
            panOption = true;
        } else if (a == "--tcp" && hasValue) {
            char* end = nullptr;
            o.tcp = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || o.tcp < 0 || o.tcp > 65535) return Usage("--tcp takes a port number (0: a free one)");
        } else if (a == "--parcels" && hasValue) {
            const auto list = sim::ParseParcels(argv[++i]);
            if (!list) return Usage("--parcels takes weights in kg (up to 60), over and under, separated by commas");
            parcels = *list;
            panOption = true;
        } else if (a == "--hold" && hasValue) {
            o.hold = std::strtol(argv[++i], nullptr, 10);
            panOption = true;
        } else if (a == "--loaded") {
            o.loaded = panOption = true;
        } else {
            return Usage(("unknown argument " + a).c_str());
        }
    }
    const bool frame6 = o.protocol == "frame6";
    if (o.count < 0 || o.hold < 0) return Usage("--count, --interval and --hold take numbers of 0 or more");
    if (frame6 && panOption) return Usage("--parcels, --unit, --hold and --loaded are for the scales with a pan");
    if (!frame6 && frameOption) return Usage("--frames, --silent, --split and --early are for the six-byte scale");
    if (useScript && countGiven) return Usage("--frames or --count, not both");
    if (!parcels.empty() && countGiven) return Usage("--parcels or --count, not both");
    if (o.first >= 0 && (useScript || !parcels.empty())) return Usage("--first is for generated weighings");
    if (o.tcp >= 0 && !o.link.empty()) return Usage("--link is for the pseudo-terminal");

    Line line;
    if (o.tcp >= 0 ? !line.Listen(o.tcp, !frame6) : !line.OpenPty(o.protocol == "8217", !frame6, o.link)) return 1;
    // A scale left behind by a crashed test or script would hold its line for ever: end with
    // the process that started us.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() == 1) return 0;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::printf("%s\n", line.Name().c_str());

    if (frame6) {
        RunFrames(line, o, scripted, useScript);
        return 0;
    }
    sim::Pan pan(parcels, o.count, o.seed, std::chrono::milliseconds(o.hold), o.loaded, o.first);
    sim::Talk talk(o.protocol == "8217" ? sim::Talk::Kind::P8217 : o.protocol == "sics" ? sim::Talk::Kind::Sics
                                                                                         : sim::Talk::Kind::Print,
                   o.pounds);
    RunPan(line, o, pan, talk);
    return 0;
}
