// The network serial server's transport against a loopback server of the test's own: what a
// scale behind a device server sends and receives, the server going away, and places that do
// not connect.
#include "platform/SerialDevice.h"
#include "platform/TcpTransport.h"
#include "../support/LoopbackServer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
constexpr int kRefused = WSAECONNREFUSED;
constexpr int kMalformed = WSAEINVAL;
#else
constexpr int kRefused = ECONNREFUSED;
constexpr int kMalformed = EINVAL;
#endif

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

TEST(TcpTransportTest, ExchangesBytesReportsTheServerGoneAndRefusesWhatDoesNotConnect) {
    EXPECT_STREQ(platform::TransportKind("TCP://scale-7:4001"), "tcp");
    EXPECT_STREQ(platform::TransportKind("/dev/ttyUSB0"), "serial");
    EXPECT_STREQ(platform::MakeTransport("tcp://scale-7:4001")->Kind(), "tcp");
    std::string host;
    std::uint16_t port = 0;
    ASSERT_TRUE(platform::ParseTcpPlace("tcp://[fe80::1]:65535", host, port));
    EXPECT_EQ(host, "fe80::1");
    EXPECT_EQ(port, 65535);

    LoopbackServer server;
    platform::TcpTransport line;
    platform::WaitEvent stop, write;
    int error = 0;
    ASSERT_TRUE(line.Open(server.Place(), error)) << platform::SystemErrorText(error);
    ASSERT_TRUE(server.Accept());
    EXPECT_EQ(line.Configure({}), nullptr);

    ASSERT_TRUE(line.Write(Bytes{0x5A, 0x00, 0xFF}.data(), 3));
    EXPECT_EQ(server.Receive(1s), (Bytes{0x5A, 0x00, 0xFF}));

    // Nothing waiting: the wait runs out, a write request wakes it, and the stop comes first.
    std::uint8_t piece[700];
    EXPECT_EQ(line.WaitAny(stop, write, true, 50), 3);
    EXPECT_EQ(line.Read(piece, sizeof piece), 0);
    write.Set();
    EXPECT_EQ(line.WaitAny(stop, write, true, 1000), 2);
    stop.Set();
    EXPECT_EQ(line.WaitAny(stop, write, true, 1000), 0);
    stop.Reset();
    write.Reset();

    // Stale bytes are purged; what follows is read back whole, in pieces, as the waits announce it.
    server.Send({9, 9, 9});
    ASSERT_EQ(line.WaitAny(stop, write, true, 1000), 1);
    std::this_thread::sleep_for(50ms);
    line.Purge();
    EXPECT_EQ(line.Read(piece, sizeof piece), 0);
    Bytes sent(3000);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i * 7);
    server.Send(Bytes(sent.begin(), sent.begin() + 1000));
    server.Send(Bytes(sent.begin() + 1000, sent.end()));
    Bytes got;
    while (got.size() < sent.size() && line.WaitAny(stop, write, true, 1000) == 1) {
        const long n = line.Read(piece, sizeof piece);
        ASSERT_GE(n, 0);
        got.insert(got.end(), piece, piece + n);
    }
    EXPECT_EQ(got, sent);

    // The server closes: the wait wakes and the read says the line is gone.
    server.CloseClient();
    ASSERT_EQ(line.WaitAny(stop, write, true, 2000), 1);
    EXPECT_EQ(line.Read(piece, sizeof piece), -1);
    EXPECT_NE(platform::LastSystemError(), 0);
    line.Close();
    EXPECT_FALSE(line.IsOpen());

    // Nothing listening: refused, at once rather than after the connect limit.
    server.CloseListener();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(line.Open(server.Place(), error));
    EXPECT_EQ(error, kRefused) << platform::SystemErrorText(error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1600ms);

    for (const char* bad : {"tcp://", "tcp://127.0.0.1", "tcp://127.0.0.1:", "tcp://:4001", "tcp://127.0.0.1:0",
                            "tcp://127.0.0.1:65536", "tcp://127.0.0.1:40x1", "tcp://127.0.0.1:4001/", "tcp://::1:4001",
                            "tcp://[::1:4001", "tcp://[]:4001", "tcp://scale 7:4001", "udp://127.0.0.1:4001"}) {
        error = 0;
        EXPECT_FALSE(line.Open(bad, error)) << bad;
        EXPECT_EQ(error, kMalformed) << bad;
    }
}

}  // namespace
