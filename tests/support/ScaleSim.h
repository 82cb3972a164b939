#pragma once
// Runs tools/scale-sim as a child process for a test: its pseudo-terminal's path, and every line
// it prints ("rx XX" for each byte it received), collected as they come.
#include "ChildProcess.h"

class ScaleSim : public ChildProcess {
public:
    explicit ScaleSim(std::vector<std::string> args) : ChildProcess(WithProgram(std::move(args))) {
        WaitFor([&] { return !lines_.empty(); }, std::chrono::seconds(5));
        const std::vector<std::string> lines = Lines();
        if (!lines.empty()) device_ = lines.front();
    }
    ~ScaleSim() { Stop(); }

    // Ends the simulator as an unplugged scale would go: its end of the line closes.
    void Stop() { End(SIGTERM); }
    const std::string& Device() const { return device_; }

private:
    static std::vector<std::string> WithProgram(std::vector<std::string> args) {
        args.insert(args.begin(), PESAVO_SCALE_SIM);
        return args;
    }
    std::string device_;
};
