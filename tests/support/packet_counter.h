#pragma once
// Counts the packets that cross one interface, as tcpdump sees them, while a test acts.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

extern char** environ;

namespace tavi::test {

class PacketCounter {
  public:
    // Starts capturing on `interface` with a pcap `filter`; returns once tcpdump listens.
    PacketCounter(const std::string& interface, const std::string& filter) {
        int pipe_ends[2];
        if (::pipe(pipe_ends) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
        const char* argv[] = {"tcpdump",          "-i", interface.c_str(), "-nn",  "-l",
                              "--immediate-mode", "-p", filter.c_str(),    nullptr};
        if (posix_spawnp(&pid_, "tcpdump", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipe_ends[1]);
        output_ = pipe_ends[0];
        ReadUntil("listening on", std::chrono::seconds(5));
    }
    ~PacketCounter() { Stop(); }
    PacketCounter(const PacketCounter&) = delete;
    PacketCounter& operator=(const PacketCounter&) = delete;

    bool started() const { return pid_ > 0 && text_.find("listening on") != std::string::npos; }

    // Stops the capture (after a short grace for packets in flight) and counts the packet lines.
    int Stop() {
        if (pid_ > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            ::kill(pid_, SIGINT);
            ReadUntil("packets captured", std::chrono::seconds(3));
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
            ::close(output_);
        }
        int packets = 0;
        for (size_t at = text_.find(" > "); at != std::string::npos; at = text_.find(" > ", at + 3))
            ++packets;
        return packets;
    }

    const std::string& text() const { return text_; }

  private:
    void ReadUntil(const std::string& marker, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (text_.find(marker) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd descriptor{output_, POLLIN, 0};
            if (::poll(&descriptor, 1, 100) <= 0) continue;
            char chunk[4096];
            const ssize_t got = ::read(output_, chunk, sizeof chunk);
            if (got <= 0) break;
            text_.append(chunk, static_cast<size_t>(got));
        }
    }

    pid_t pid_ = -1;
    int output_ = -1;
    std::string text_;
};

}  // namespace tavi::test
