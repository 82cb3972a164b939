#pragma once
// A simulated scale that answers the handshake and sends nothing of its own. The window connects
// to it as the operator does (port chosen, Connect pressed); the test then hands the window the
// line's batches to the desk itself, as the serial engine does (OnSerialData), and reads what
// the scale heard.
#include "CPesavoDlg.h"
#include "EventLoop.h"
#include "ProgramFolder.h"
#include "ScaleSim.h"
#include "Window.h"

#include <QAbstractButton>
#include <QComboBox>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class QuietScale {
public:
    // Names the scale's line as COM3 in the folder's device map (before the window lists ports).
    explicit QuietScale(const ProgramFolder& folder) {
        folder.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM3=" + sim_.Device() + "\r\n");
    }
    // Chooses the scale's port and presses Connect; true once the window is connected.
    bool Connect(CPesavoDlg& dlg) {
        Ports(dlg)->setCurrentIndex(1);
        Button(dlg, CPesavoDlg::IDC_CONNECT)->click();
        return RunUntil([&] { return dlg.GetDesk().Connected(); }, std::chrono::seconds(5));
    }
    // What the scale heard after the handshake's request, once it heard at least `count` bytes
    // (or after five seconds).
    std::vector<std::uint8_t> Heard(std::size_t count) {
        std::vector<std::uint8_t> bytes;
        RunUntil([&] { return (bytes = Bytes()).size() >= count; }, std::chrono::seconds(5));
        return bytes;
    }

private:
    std::vector<std::uint8_t> Bytes() {
        std::vector<std::uint8_t> bytes;
        bool handshake = false;
        for (const std::string& line : sim_.Lines()) {
            if (line.rfind("rx ", 0) != 0) continue;
            const auto byte = static_cast<std::uint8_t>(std::stoul(line.substr(3), nullptr, 16));
            if (!handshake && byte == 0x5A) handshake = true;
            else if (handshake) bytes.push_back(byte);
        }
        return bytes;
    }
    ScaleSim sim_{{"--count", "0", "--interval", "100000"}};
};
