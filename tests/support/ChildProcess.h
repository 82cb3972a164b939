#pragma once
// A program run as a child process of a test: every line it prints on standard output,
// collected as it comes, and its end.
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

// Waits (without an event loop) until `pred` holds, asking every `every`; false after `limit`.
template <typename Pred>
bool PollUntil(Pred pred, std::chrono::milliseconds limit, std::chrono::milliseconds every = std::chrono::milliseconds(1)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(every);
    }
    return true;
}

class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> args) {
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
    }
    ~ChildProcess() { End(SIGKILL); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Sends `signal` without waiting (SIGSTOP, SIGCONT).
    void Signal(int signal) {
        if (pid_ > 0) kill(pid_, signal);
    }
    // Sends `signal` and waits for the end (and for the last of its output).
    void End(int signal) {
        if (pid_ > 0) {
            kill(pid_, signal);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (reader_.joinable()) reader_.join();
    }
    // The exit code once it has ended by itself; -1 when it was killed.
    int Wait() {
        int status = 0;
        if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
        pid_ = -1;
        if (reader_.joinable()) reader_.join();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool Running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
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

protected:
    template <typename Pred>
    bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, pred);
    }
    std::vector<std::string> lines_;  // guarded by WaitFor's lock inside its predicate

private:
    pid_t pid_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
};
