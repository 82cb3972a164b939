#pragma once
// Runs tools/scale-sim as a child process for a test: its pseudo-terminal's path, and every line
// it prints ("rx XX" for each byte it received), collected as they come.
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

class ScaleSim {
public:
    explicit ScaleSim(std::vector<std::string> args) {
        args.insert(args.begin(), PESAVO_SCALE_SIM);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        reader_ = std::thread([this, fd = out[0]] {
            std::string line;
            char buffer[4096];
            ssize_t n;
            while ((n = read(fd, buffer, sizeof buffer)) > 0) {
                std::lock_guard lock(mutex_);
                for (ssize_t i = 0; i < n; ++i) {
                    if (buffer[i] != '\n') {
                        line += buffer[i];
                        continue;
                    }
                    lines_.push_back(line);
                    line.clear();
                }
                changed_.notify_all();
            }
            close(fd);
        });
        WaitFor([&] { return !lines_.empty(); }, std::chrono::seconds(5));
        std::lock_guard lock(mutex_);
        if (!lines_.empty()) device_ = lines_.front();
    }
    ~ScaleSim() { Stop(); }

    // Ends the simulator as an unplugged scale would go: its end of the line closes.
    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (reader_.joinable()) reader_.join();
    }
    const std::string& Device() const { return device_; }
    // How many times `line` was printed so far.
    int Count(const std::string& line) {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& l : lines_) n += l == line;
        return n;
    }
    // Waits until `line` was printed `times` times; false when `limit` passed first.
    bool WaitForLine(const std::string& line, int times = 1, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        return WaitFor(
            [&] {
                int n = 0;
                for (const auto& l : lines_) n += l == line;
                return n >= times;
            },
            limit);
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    template <typename Pred>
    bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, pred);
    }

    pid_t pid_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::string device_;
};
