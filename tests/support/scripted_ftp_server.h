#pragma once
// A scripted FTP server on loopback for unit tests: it greets (or not), answers each command verb
// with the line its script gives (or with nothing, to stall), opens a passive data port on EPSV and
// keeps what arrives there. Written here from the protocol's text, independent of any client.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavi::test {

class ScriptedFtpServer {
  public:
    // The script: verb -> reply line; a verb mapped to "" is never answered. An empty greeting is
    // never sent either (a server that accepts and stalls).
    using Script = std::map<std::string, std::string>;
    // The script's key for the line sent when the client closes the data connection.
    static constexpr const char* kDataClosed = "<data closed>";

    static Script LoginAndStore() {
        return {{"USER", "331 Password required."},
                {"PASS", "230 Logged in."},
                {"PWD", "257 \"/\" is the current directory."},
                {"TYPE", "200 Type set."},
                {"STOR", "150 Ready."},
                {"QUIT", "221 Bye."},
                {kDataClosed, "226 Transfer complete."}};
    }

    ScriptedFtpServer(std::string greeting, Script script)
        : greeting_(std::move(greeting)), script_(std::move(script)) {
        listener_ = Listen(&port_);
        if (listener_ >= 0) thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedFtpServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (int fd : {listener_, control_, data_listener_, data_}) {
            if (fd >= 0) ::close(fd);
        }
    }
    ScriptedFtpServer(const ScriptedFtpServer&) = delete;
    ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

    // Once `bytes` of data have arrived, the data connection is left unread for `pause` (a camera
    // that stops taking the file mid-transfer); its receive buffer is kept small, so the client
    // soon has nowhere to put more. Called before the client connects.
    void PauseDataAfter(size_t bytes, std::chrono::milliseconds pause) {
        pause_after_ = bytes;
        pause_ = pause;
    }

    bool ok() const { return listener_ >= 0; }
    uint16_t port() const { return port_; }
    int connections() const { return connections_; }
    std::vector<std::string> Commands() {
        std::lock_guard<std::mutex> lock(mutex_);
        return commands_;
    }
    std::string Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

  private:
    static constexpr int kSmallReceiveBuffer = 64 * 1024;

    // A listening socket on loopback; accepted sockets inherit a non-zero `receive_buffer`.
    static int Listen(uint16_t* port, int receive_buffer = 0) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd >= 0 && receive_buffer > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, 4) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            if (fd >= 0) ::close(fd);
            return -1;
        }
        *port = ntohs(address.sin_port);
        return fd;
    }

    // Whether the data connection is left unread now; the pause starts with the byte that ends
    // the unpaused part.
    bool DataPaused() {
        if (pause_after_ == 0) return false;
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        if (received_.size() < pause_after_) return false;
        if (pause_end_ == std::chrono::steady_clock::time_point{}) pause_end_ = now + pause_;
        return now < pause_end_;
    }

    void Send(const std::string& line) {
        const std::string out = line + "\r\n";
        ::send(control_, out.data(), out.size(), MSG_NOSIGNAL);
    }

    void OnLine(const std::string& line) {
        std::string verb = line.substr(0, line.find(' '));
        for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            commands_.push_back(line);
        }
        const auto scripted = script_.find(verb);
        if (scripted != script_.end()) {
            if (!scripted->second.empty()) Send(scripted->second);
        } else if (verb == "EPSV" && data_listener_ < 0) {
            uint16_t data_port = 0;
            data_listener_ = Listen(&data_port, pause_after_ != 0 ? kSmallReceiveBuffer : 0);
            Send("229 Entering Extended Passive Mode (|||" + std::to_string(data_port) + "|)");
        } else {
            Send("502 Not implemented.");
        }
    }

    void Run() {
        std::string pending;
        while (!stop_) {
            std::vector<pollfd> fds;
            const bool data_paused = data_ >= 0 && DataPaused();
            for (int fd : {listener_, control_, data_listener_, data_}) {
                if (fd >= 0 && !(fd == data_ && data_paused)) fds.push_back({fd, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
            for (const pollfd& ready : fds) {
                if ((ready.revents & (POLLIN | POLLHUP)) == 0) continue;
                if (ready.fd == listener_ && control_ < 0) {
                    control_ = ::accept(listener_, nullptr, nullptr);
                    ++connections_;
                    if (!greeting_.empty()) Send(greeting_);
                } else if (ready.fd == data_listener_ && data_ < 0) {
                    data_ = ::accept(data_listener_, nullptr, nullptr);
                } else if (ready.fd == control_) {
                    char buffer[512];
                    const ssize_t size = ::recv(control_, buffer, sizeof buffer, 0);
                    if (size <= 0) {
                        ::close(control_);
                        control_ = -1;
                        continue;
                    }
                    pending.append(buffer, static_cast<size_t>(size));
                    for (size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
                        const std::string line = pending.substr(0, end);
                        pending.erase(0, end + 2);
                        OnLine(line);
                    }
                } else if (ready.fd == data_) {
                    char buffer[65536];
                    const ssize_t size = ::recv(data_, buffer, sizeof buffer, 0);
                    if (size <= 0) {
                        ::close(data_);
                        data_ = -1;
                        const auto done = script_.find(kDataClosed);
                        if (done != script_.end() && !done->second.empty()) Send(done->second);
                        continue;
                    }
                    std::lock_guard<std::mutex> lock(mutex_);
                    received_.append(buffer, static_cast<size_t>(size));
                }
            }
        }
    }

    std::string greeting_;
    Script script_;
    int listener_ = -1;
    int control_ = -1;
    int data_listener_ = -1;
    int data_ = -1;
    uint16_t port_ = 0;
    std::atomic<int> connections_{0};
    std::atomic<bool> stop_{false};
    size_t pause_after_ = 0;
    std::chrono::milliseconds pause_{0};
    std::chrono::steady_clock::time_point pause_end_{};
    std::mutex mutex_;
    std::vector<std::string> commands_;
    std::string received_;
    std::thread thread_;
};

}  // namespace tavi::test
