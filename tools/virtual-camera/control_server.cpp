#include "control_server.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vcam {
namespace {
constexpr size_t kMaxLine = 4096;
}

ControlServer::ControlServer(LineHandler handler) : handler_(std::move(handler)) {}

ControlServer::~ControlServer() {
    for (Client& client : clients_) close(client.fd);
    if (listen_fd_ >= 0) {
        close(listen_fd_);
        unlink(path_.c_str());
    }
}

bool ControlServer::Open(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "virtual camera: control socket path too long: %s\n", path.c_str());
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    unlink(path.c_str());
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_fd_, 8) != 0) {
        std::fprintf(stderr, "virtual camera: control socket %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    path_ = path;
    return true;
}

std::vector<int> ControlServer::Descriptors() const {
    std::vector<int> fds;
    if (listen_fd_ >= 0) fds.push_back(listen_fd_);
    for (const Client& client : clients_) fds.push_back(client.fd);
    return fds;
}

void ControlServer::Serve() {
    if (listen_fd_ < 0) return;
    for (int fd; (fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
        clients_.push_back(Client{fd, {}});
    }
    for (size_t i = 0; i < clients_.size();) {
        bool closed = false;
        ServeClient(clients_[i], &closed);
        if (closed) {
            close(clients_[i].fd);
            clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

void ControlServer::ServeClient(Client& client, bool* closed) {
    char buffer[512];
    for (;;) {
        ssize_t size = read(client.fd, buffer, sizeof buffer);
        if (size == 0 || (size < 0 && errno != EAGAIN && errno != EINTR)) {
            *closed = true;
            break;
        }
        if (size < 0) break;
        client.input.append(buffer, static_cast<size_t>(size));
    }
    for (size_t end; (end = client.input.find('\n')) != std::string::npos;) {
        std::string line = client.input.substr(0, end);
        client.input.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string answer = handler_(line) + "\n";
        // Answers are short; a client that does not read them is dropped.
        if (send(client.fd, answer.data(), answer.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(answer.size())) {
            *closed = true;
            return;
        }
    }
    if (client.input.size() > kMaxLine) *closed = true;
}

}  // namespace vcam
