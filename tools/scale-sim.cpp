// scale-sim: a simulated postal scale on a pseudo-terminal.
//
//   scale-sim [--frames FILE | --count N] [--interval MS] [--exit-when-done] [--link PATH]
//             [--silent] [--seed N] [--split] [--early]
//
// Prints the device path of its line as the first line of standard output, answers every
// handshake request 0x5A with 0xA5 and then sends frames, each after the previous one was
// answered (0x9F or 0xF9) and `--interval` ms have passed. Frames come from FILE (one batch per
// line as hex bytes, e.g. "5F 02 00 04 D2 8B"; blank lines and lines starting with # are
// skipped) or are generated weighings (N of them; 0 = without end). A generated frame that the
// host answers with 0xF9 is sent again. 0x3A ends the session until the next 0x5A. Every byte
// received is printed at once as "rx XX". Ends on SIGINT/SIGTERM, or with --exit-when-done once
// the last frame was answered. --silent never answers the handshake. The first frame after a
// handshake follows no sooner than 300 ms, the time a host needs to judge the reply; with
// --early it follows right behind the reply, in the same write. --split writes each frame in two
// pieces 5 ms apart, as a slow line or a USB adapter delivers it (with --early, the reply and the
// first frame but its last byte, then that byte).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

using Frame = std::vector<std::uint8_t>;
constexpr long kFirstFrameDelayMs = 300;
constexpr useconds_t kSplitGapUs = 5000;  // between the two pieces of a --split frame
using Clock = std::chrono::steady_clock;

int Usage(const char* message) {
    std::fprintf(stderr, "scale-sim: %s\nusage: scale-sim [--frames FILE | --count N] [--interval MS] "
                         "[--exit-when-done] [--link PATH] [--silent] [--seed N] [--split] [--early]\n", message);
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

}  // namespace

int main(int argc, char** argv) {
    std::vector<Frame> scripted;
    bool useScript = false, exitWhenDone = false, silent = false, split = false, early = false;
    long count = 0, interval = 500;
    unsigned seed = 20261208;
    std::string link;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--frames" && hasValue) {
            if (!ReadFrames(argv[++i], scripted)) return Usage("cannot read the frames file");
            useScript = true;
        } else if (a == "--count" && hasValue) {
            count = std::strtol(argv[++i], nullptr, 10);
        } else if (a == "--interval" && hasValue) {
            interval = std::strtol(argv[++i], nullptr, 10);
        } else if (a == "--link" && hasValue) {
            link = argv[++i];
        } else if (a == "--seed" && hasValue) {
            seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--exit-when-done") {
            exitWhenDone = true;
        } else if (a == "--silent") {
            silent = true;
        } else if (a == "--split") {
            split = true;
        } else if (a == "--early") {
            early = true;
        } else {
            return Usage(("unknown argument " + a).c_str());
        }
    }
    if (count < 0 || interval < 0) return Usage("--count and --interval take numbers of 0 or more");

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("scale-sim: pseudo-terminal");
        return 1;
    }
    const std::string device = ptsname(master);
    // Holding the line's own end open keeps the master readable while no host has the port
    // open, and makes it raw from the start (no echo, no line editing).
    const int keep = open(device.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    if (keep < 0 || tcgetattr(keep, &t) != 0) {
        std::perror("scale-sim: line");
        return 1;
    }
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(keep, TCSANOW, &t);
    if (!link.empty()) {
        unlink(link.c_str());
        if (symlink(device.c_str(), link.c_str()) != 0) {
            std::perror("scale-sim: --link");
            return 1;
        }
    }
    // A scale left behind by a crashed test or script would hold its line for ever: end with
    // the process that started us.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() == 1) return 0;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::printf("%s\n", device.c_str());

    Generator generator{std::mt19937(seed), {}};
    const long total = useScript ? static_cast<long>(scripted.size()) : count;
    long sent = 0;            // frames sent and answered
    bool connected = false, waiting = false, lastGarbled = false;
    Frame last;
    Clock::time_point next = Clock::now();
    // As a slow UART or a USB adapter may deliver it: the frame in two pieces, a few character
    // times apart.
    auto sendFrame = [&](const Frame& f) {
        if (!split || f.size() < 2) return write(master, f.data(), f.size()) == static_cast<ssize_t>(f.size());
        const std::size_t half = f.size() / 2;
        if (write(master, f.data(), half) != static_cast<ssize_t>(half)) return false;
        usleep(kSplitGapUs);
        return write(master, f.data() + half, f.size() - half) == static_cast<ssize_t>(f.size() - half);
    };

    while (!g_stop) {
        // (A frames file ends; only generated weighings may go on without end.)
        const bool done = useScript ? sent >= total : total > 0 && sent >= total;
        if (done && exitWhenDone) break;
        if (connected && !waiting && !done && Clock::now() >= next) {
            last = useScript ? scripted[static_cast<std::size_t>(sent)] : generator.Next(lastGarbled);
            if (sendFrame(last)) waiting = true;
        }
        int timeout = 100;
        if (connected && !waiting && !done) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
            timeout = static_cast<int>(std::max<long long>(0, std::min<long long>(left, 100)));
        }
        pollfd p{master, POLLIN, 0};
        const int ready = poll(&p, 1, timeout);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        std::uint8_t in[256];
        const ssize_t n = read(master, in, sizeof in);
        if (n <= 0) {
            usleep(10000);
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            const std::uint8_t b = in[i];
            std::printf("rx %02X\n", b);
            if (b == 0x5A) {
                if (silent) continue;
                Frame reply = {0xA5};
                waiting = false;
                if (early && (total == 0 || sent < total)) {
                    // The first weighing right behind the reply, in the same write.
                    last = useScript ? scripted[static_cast<std::size_t>(sent)] : generator.Next(lastGarbled);
                    reply.insert(reply.end(), last.begin(), last.end());
                    waiting = true;
                }
                // With --split as well, the frame's last byte comes apart: the reply and five
                // bytes make a batch of six that is not a whole frame.
                const std::size_t first = split && reply.size() > 2 ? reply.size() - 1 : reply.size();
                bool wrote = write(master, reply.data(), first) == static_cast<ssize_t>(first);
                if (wrote && first < reply.size()) {
                    usleep(kSplitGapUs);
                    wrote = write(master, reply.data() + first, reply.size() - first) == static_cast<ssize_t>(reply.size() - first);
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
                ++sent;
                next = Clock::now() + std::chrono::milliseconds(interval);
            }
        }
    }
    if (!link.empty()) unlink(link.c_str());
    close(keep);
    close(master);
    return 0;
}
