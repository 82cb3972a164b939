// The serial engine against a real line whose far end the test holds: a pseudo-terminal on
// Linux, a COM port of Wine linked to one for the Windows build. One source, two backends.
#include "CSerialPort.h"
#include "../support/FarEnd.h"
#include "../support/LoopbackServer.h"
#include "../support/ProgramFolder.h"
#include "../support/SimulatedScale.h"
#include "platform/PortList.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>

namespace {

using namespace std::chrono_literals;

// Whether this Windows build runs under Wine rather than Windows.
bool UnderWine() {
#ifdef _WIN32
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// Records the engine's notifications; can hold the monitor inside a data delivery.
class Owner : public SerialOwner {
public:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<std::uint8_t>> batches;
    std::vector<unsigned> messages;
    int errorBoxes = 0;
    bool hold = false;  // the next data delivery waits for Release()

    void OnSerialMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, bool wait,
                         std::stop_token) override {
        std::unique_lock lock(mutex);
        messages.push_back(message);
        if (message == WM_SERIAL_DATA) {
            EXPECT_TRUE(wait);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(wParam);
            EXPECT_GE(lParam, 1);
            EXPECT_LE(lParam, 1024);
            batches.emplace_back(bytes, bytes + lParam);
            changed.notify_all();
            changed.wait(lock, [&] { return !hold; });
        }
        changed.notify_all();
    }
    void ShowSerialError(const std::string&, std::stop_token) override {
        std::lock_guard lock(mutex);
        ++errorBoxes;
    }
    void Release() {
        std::lock_guard lock(mutex);
        hold = false;
        changed.notify_all();
    }
    template <typename Pred>
    bool WaitUntil(Pred pred, std::chrono::milliseconds limit = 3s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, pred);
    }
    std::size_t Received() {
        std::size_t n = 0;
        for (const auto& b : batches) n += b.size();
        return n;
    }
};

class SerialEngineTest : public ::testing::Test {
protected:
    ProgramFolder folder{"serial"};
    FarEnd scale;
    Owner owner;
    CSerialPort engine;

    void SetUp() override {
        // Windows lists the port from the registry; elsewhere the device map names it.
        folder.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM" + std::to_string(scale.port) + "=" + scale.device + "\r\n");
        engine.SetPlaces(folder.Places());
        ASSERT_TRUE(engine.EnumeratePorts());
    }
    void Connect() {
        ASSERT_TRUE(engine.OpenPort(&owner, scale.port));
        ASSERT_TRUE(engine.StartMonitor());
    }
};

TEST_F(SerialEngineTest, BytesArrivingTogetherComeAsOneBatch) {
    Connect();
    scale.Send({0x5F, 0x02, 0x00});
    ASSERT_TRUE(owner.WaitUntil([&] { return owner.Received() == 3; }));
    EXPECT_EQ(owner.batches.size(), 1u);
    EXPECT_EQ(owner.batches[0], (std::vector<std::uint8_t>{0x5F, 0x02, 0x00}));
    // The wake is announced before the data, as the mask always holds the flag event.
    EXPECT_EQ(owner.messages.front(), WM_SERIAL_RXFLAG);
    EXPECT_EQ(owner.errorBoxes, 0);
}

TEST_F(SerialEngineTest, MoreThanOneBatchOfWaitingBytesIsSplitWithoutLoss) {
    Connect();
    {
        std::lock_guard lock(owner.mutex);
        owner.hold = true;  // hold the monitor so that bytes pile up
    }
    scale.Send({1});
    ASSERT_TRUE(owner.WaitUntil([&] { return owner.batches.size() == 1; }));
    std::vector<std::uint8_t> all(3000);
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i * 7);
    scale.Send(all);
    std::this_thread::sleep_for(100ms);
    owner.Release();
    ASSERT_TRUE(owner.WaitUntil([&] { return owner.Received() == 3001; }));
    std::vector<std::uint8_t> joined;
    for (std::size_t i = 1; i < owner.batches.size(); ++i)
        joined.insert(joined.end(), owner.batches[i].begin(), owner.batches[i].end());
    EXPECT_EQ(joined, all);
    EXPECT_GE(owner.batches.size(), 4u);  // 1 + at least three of at most 1024
}

TEST_F(SerialEngineTest, QueuedBytesAreSentInOrderAndStopBeatsAPendingWrite) {
    Connect();
    engine.QueueByte(0x9F);
    engine.QueueByte(0x3A);
    EXPECT_TRUE(engine.WaitForSent(1s));
    EXPECT_EQ(scale.Receive(500ms), (std::vector<std::uint8_t>{0x9F, 0x3A}));

    // A stop and a write pending at the same wake: the stop wins, the byte stays unsent.
    {
        std::lock_guard lock(owner.mutex);
        owner.hold = true;
    }
    scale.Send({7});
    ASSERT_TRUE(owner.WaitUntil([&] { return owner.batches.size() == 1; }));
    engine.QueueByte(0x11);
    engine.RequestStop();
    owner.Release();
    for (int i = 0; i < 100 && engine.MonitorRunning(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(engine.MonitorRunning());
    EXPECT_TRUE(scale.Receive(200ms).empty());
}

TEST_F(SerialEngineTest, AStopThatSendsFirstDeliversTheNotice) {
    Connect();
    {
        std::lock_guard lock(owner.mutex);
        owner.hold = true;
    }
    scale.Send({7});
    ASSERT_TRUE(owner.WaitUntil([&] { return owner.batches.size() == 1; }));
    engine.QueueByte(0x3A);
    engine.RequestStop(true);  // as a handler does when it closes the connection
    owner.Release();
    EXPECT_EQ(scale.Receive(1s), (std::vector<std::uint8_t>{0x3A}));
}

TEST_F(SerialEngineTest, PurgeDropsBytesNotYetRead) {
    platform::SerialDevice device;  // the device layer on its own
    int error = 0;
    ASSERT_TRUE(device.Open(scale.device, error));
    ASSERT_EQ(device.Configure({}), nullptr);
    scale.Send({1, 2, 3});
    for (int i = 0; i < 300 && device.Waiting() < 3; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(device.Waiting(), 3);
    device.Purge();
    EXPECT_EQ(device.Waiting(), 0);
    std::uint8_t b[8];
    EXPECT_EQ(device.Read(b, sizeof b), 0);
}

TEST_F(SerialEngineTest, OpenFailuresAreQuiet) {
    EXPECT_FALSE(engine.OpenPort(&owner, 42));  // not in the list, no device
    CSerialPort second;
    second.SetPlaces(folder.Places());
    ASSERT_TRUE(engine.OpenPort(&owner, scale.port));
    // The device is taken. (Windows' serial driver refuses a second open; Wine does not enforce
    // that for the Unix devices behind its COM ports.)
    if (!UnderWine()) {
        EXPECT_FALSE(second.OpenPort(&owner, scale.port));
    }
    {
        std::lock_guard lock(owner.mutex);
        EXPECT_EQ(owner.errorBoxes, 0);
    }
    // Reopening after a failure and reopening the same port both work.
    EXPECT_TRUE(engine.OpenPort(&owner, scale.port));
}

TEST_F(SerialEngineTest, TheFarEndGoingAwayIsAReadFailure) {
    Connect();
    scale.Close();
    ASSERT_TRUE(owner.WaitUntil([&] {
        return std::find(owner.messages.begin(), owner.messages.end(), WM_SERIAL_READ_FAILED) != owner.messages.end();
    }));
    // Reported once; the monitor goes on until stopped and then ends.
    std::this_thread::sleep_for(100ms);
    {
        std::lock_guard lock(owner.mutex);
        EXPECT_EQ(std::count(owner.messages.begin(), owner.messages.end(), WM_SERIAL_READ_FAILED), 1);
    }
    EXPECT_TRUE(engine.MonitorRunning());
    engine.RequestStop();
    for (int i = 0; i < 100 && engine.MonitorRunning(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(engine.MonitorRunning());
}

// A scale behind a network serial server: the device map names it on every system, and the
// engine treats it as a serial line, down to the server going away.
TEST(NetworkScaleTest, AMappedServerIsAPortThatDeliversAndFailsAsALine) {
    LoopbackServer server;
    ProgramFolder folder("network");
    folder.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM40=" + server.Place() + "\r\n");
    Owner owner;
    CSerialPort engine;
    engine.SetPlaces(folder.Places());
    ASSERT_TRUE(engine.EnumeratePorts());
    ASSERT_EQ(engine.PortAt(1), 40);
    EXPECT_EQ(engine.DeviceAt(1), server.Place());

    ASSERT_TRUE(engine.OpenPort(&owner, 40));
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(engine.StartMonitor());
    server.Send({0x5F, 0x02, 0x00});
    ASSERT_TRUE(owner.WaitUntil([&] { return owner.Received() == 3; }));
    EXPECT_EQ(owner.batches[0], (std::vector<std::uint8_t>{0x5F, 0x02, 0x00}));
    engine.QueueByte(0x9F);
    EXPECT_TRUE(engine.WaitForSent(1s));
    EXPECT_EQ(server.Receive(1s), (std::vector<std::uint8_t>{0x9F}));

    server.CloseClient();
    ASSERT_TRUE(owner.WaitUntil([&] {
        return std::find(owner.messages.begin(), owner.messages.end(), WM_SERIAL_READ_FAILED) != owner.messages.end();
    }));
    EXPECT_EQ(owner.errorBoxes, 0);
    engine.ClosePort();

    // A server that is not there does not open, quietly, as a device that is not.
    server.CloseListener();
    PortOpening opening;
    EXPECT_FALSE(engine.OpenPort(&owner, 40, &opening));
    EXPECT_FALSE(opening.opened);
    EXPECT_NE(opening.openError, 0);
    EXPECT_EQ(owner.errorBoxes, 0);
}

#ifndef _WIN32
TEST(PortListTest, CountsPastNineteenAndKeepsMapNumbers) {
    ProgramFolder folder("ports");
    std::string map = "[SerialComm]\r\n";
    for (int i = 1; i <= 25; ++i) map += "COM" + std::to_string(30 + i) + "=/dev/pesavo-none-" + std::to_string(i) + "\r\n";
    folder.WriteFile("SerialComm.ini", map);
    CSerialPort engine;
    engine.SetPlaces(folder.Places());
    EXPECT_FALSE(engine.EnumeratePorts());
    EXPECT_EQ(engine.m_nPortCount, 25);
    EXPECT_EQ(engine.PortAt(1), 31);
    EXPECT_EQ(engine.PortAt(19), 49);
    EXPECT_EQ(engine.PortAt(20), 0);  // never stored

    folder.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM10=/dev/pesavo-x\r\n");
    EXPECT_TRUE(engine.EnumeratePorts());
    EXPECT_EQ(engine.PortAt(1), 10);
    EXPECT_EQ(engine.DeviceAt(1), "/dev/pesavo-x");

    EXPECT_EQ(platform::PortNumberFromName(u"COM10"), 10);
    EXPECT_EQ(platform::PortNumberFromName(u"COM 7x"), 7);
    EXPECT_EQ(platform::PortNumberFromName(u"COMx"), 0);
    EXPECT_EQ(platform::PortNumberFromName(u"CO"), 0);
}

#endif

// The engine against the simulated scale: its port is listed, the handshake 0x5A/0xA5 succeeds,
// three weighings arrive as batches and are each acknowledged, and a stop ends the monitor.
TEST(SimulatedScaleTest, HandshakeThreeWeighingsAndStop) {
    SimulatedScale sim;
    Owner owner;
    CSerialPort engine;
    engine.SetPlaces(sim.Places());
    ASSERT_TRUE(engine.EnumeratePorts());
    bool listed = false;
    for (int i = 1; i <= engine.PortCount(); ++i) listed = listed || engine.PortAt(i) == sim.port;
    ASSERT_TRUE(listed) << "COM" << sim.port << " is not in the port list";
    ASSERT_TRUE(engine.OpenPort(&owner, sim.port));
    ASSERT_TRUE(engine.StartMonitor());

    engine.QueueByte(0x5A);
    ASSERT_TRUE(owner.WaitUntil([&] { return owner.batches.size() >= 1; }));
    EXPECT_EQ(owner.batches[0], (std::vector<std::uint8_t>{0xA5}));
    const std::vector<std::vector<std::uint8_t>> frames = {{0x5F, 0x02, 0x00, 0x04, 0xD2, 0x8B},
                                                           {0x5F, 0x04, 0x00, 0x30, 0x39, 0x52},
                                                           {0x5F, 0x48, 0x00, 0x00, 0x7B, 0x6C}};
    for (std::size_t k = 0; k < frames.size(); ++k) {
        ASSERT_TRUE(owner.WaitUntil([&] { return owner.Received() >= 1 + 6 * (k + 1); })) << "frame " << k;
        engine.QueueByte(0x9F);
    }
    {
        std::lock_guard lock(owner.mutex);
        std::vector<std::uint8_t> all;
        for (std::size_t b = 1; b < owner.batches.size(); ++b)
            all.insert(all.end(), owner.batches[b].begin(), owner.batches[b].end());
        EXPECT_EQ(all, (std::vector<std::uint8_t>{0x5F, 0x02, 0x00, 0x04, 0xD2, 0x8B, 0x5F, 0x04, 0x00, 0x30, 0x39, 0x52,
                                                  0x5F, 0x48, 0x00, 0x00, 0x7B, 0x6C}));
    }
    EXPECT_TRUE(sim.WaitForCount("rx 9F", 3));
    EXPECT_EQ(sim.Count("rx 5A"), 1);
    engine.RequestStop();
    for (int i = 0; i < 100 && engine.MonitorRunning(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(engine.MonitorRunning());
}

}  // namespace
