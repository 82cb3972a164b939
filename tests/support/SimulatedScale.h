#pragma once
// The simulated scale (tools/scale-sim) sending the three weighings of
// tests/serial/three-frames.txt, and what it received. On Linux the test starts it and names it
// in a device map of its own; under Wine scripts/windows-test.sh has started it, linked its line
// as a COM port and registered that port (PESAVO_SIM_COM), and its output goes to a file
// (PESAVO_SIM_LOG).
#include "ProgramFolder.h"

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include "ScaleSim.h"

#include <memory>
#endif

class SimulatedScale {
public:
    SimulatedScale() {
#ifdef _WIN32
        const char* com = std::getenv("PESAVO_SIM_COM");
        const char* log = std::getenv("PESAVO_SIM_LOG");
        port = com ? std::atoi(com) : 0;
        log_ = log ? log : "";
#else
        sim_ = std::make_unique<ScaleSim>(std::vector<std::string>{
            "--frames", (ProgramFolder::SourceDir() / "tests/serial/three-frames.txt").string(), "--interval", "50"});
        folder_.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM5=" + sim_->Device() + "\r\n");
        port = 5;
#endif
    }
    platform::ProgramPlaces Places() const { return folder_.Places(); }
    // Every line the simulator printed after its device path ("rx XX" per byte received).
    std::vector<std::string> Lines() const {
#ifdef _WIN32
        std::vector<std::string> lines;
        std::ifstream in(log_);
        std::string line;
        while (std::getline(in, line)) lines.push_back(line);
        if (!lines.empty()) lines.erase(lines.begin());
        return lines;
#else
        return sim_->Lines();
#endif
    }
    int Count(const std::string& line) const {
        int n = 0;
        for (const auto& l : Lines()) n += l == line;
        return n;
    }
    bool WaitForCount(const std::string& line, int count, std::chrono::milliseconds limit = std::chrono::seconds(5)) const {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (Count(line) < count) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    int port = 0;  // the COM number the port list gives the simulator's line

private:
    ProgramFolder folder_{"sim"};
#ifdef _WIN32
    std::string log_;
#else
    std::unique_ptr<ScaleSim> sim_;
#endif
};
