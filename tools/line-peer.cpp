// The far end of a serial line for tests that run under Wine: a pseudo-terminal linked as a COM
// port in the Wine prefix, relayed to a TCP client on the loopback interface. Every client gets
// a fresh line; when the client disconnects, the line's far end closes (as an unplugged device).
//   line-peer --link PREFIX/dosdevices/comN --port TCPPORT
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool WriteAll(int fd, const char* data, ssize_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, data, static_cast<std::size_t>(n));
        if (w <= 0) return false;
        data += w;
        n -= w;
    }
    return true;
}

// Relays between the client and a fresh line until the client goes.
void Serve(int client, const std::string& link) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    const std::string device = ptsname(master);
    // Kept open so the line stays raw and the master never sees a hang-up between opens.
    const int keep = open(device.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(keep, &t);
    cfmakeraw(&t);
    tcsetattr(keep, TCSANOW, &t);
    unlink(link.c_str());
    if (symlink(device.c_str(), link.c_str()) != 0) std::perror("line-peer: link");
    const char ready = 'R';
    WriteAll(client, &ready, 1);
    pollfd p[2] = {{client, POLLIN, 0}, {master, POLLIN, 0}};
    char buffer[4096];
    while (poll(p, 2, -1) > 0) {
        if (p[0].revents) {
            const ssize_t n = read(client, buffer, sizeof buffer);
            if (n <= 0 || !WriteAll(master, buffer, n)) break;
        }
        if (p[1].revents) {
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0 && !WriteAll(client, buffer, n)) break;
        }
    }
    close(master);
    close(keep);
    close(client);
}

}  // namespace

int main(int argc, char** argv) {
    std::string link;
    int port = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--link") == 0) link = argv[i + 1];
        if (std::strcmp(argv[i], "--port") == 0) port = std::atoi(argv[i + 1]);
    }
    if (link.empty() || port <= 0) {
        std::fprintf(stderr, "usage: line-peer --link PATH --port TCPPORT\n");
        return 2;
    }
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    std::signal(SIGPIPE, SIG_IGN);
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(server, 4) != 0) {
        std::perror("line-peer: listen");
        return 1;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    for (;;) {
        const int client = accept(server, nullptr, nullptr);
        if (client < 0) continue;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Serve(client, link);
    }
}
