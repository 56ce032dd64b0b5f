#pragma once
// A small GVCP client of its own for the virtual camera's tests: it shares nothing with the
// library, so that each side checks the other. Big-endian fields, offsets of the published standard.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace testgvcp {

inline uint16_t Get16(const std::vector<uint8_t>& b, size_t at) {
    return at + 2 <= b.size() ? static_cast<uint16_t>(b[at] << 8 | b[at + 1]) : 0;
}
inline uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    return at + 4 <= b.size() ? static_cast<uint32_t>(Get16(b, at)) << 16 | Get16(b, at + 2) : 0;
}
inline void Put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
inline void Put32(std::vector<uint8_t>& b, uint32_t v) {
    Put16(b, static_cast<uint16_t>(v >> 16));
    Put16(b, static_cast<uint16_t>(v));
}
inline uint32_t Ip(const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return ntohl(address.s_addr);
}

struct Datagram {
    std::vector<uint8_t> bytes;
    uint32_t from_ip = 0;
    uint32_t to_ip = 0;  // destination the sender chose: unicast or broadcast
    uint16_t status() const { return Get16(bytes, 0); }
    uint16_t ack_code() const { return Get16(bytes, 2); }
    uint16_t length() const { return Get16(bytes, 4); }
    uint16_t ack_id() const { return Get16(bytes, 6); }
};

class Client {
  public:
    explicit Client(const char* adapter) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        // Bound to any address, so that answers sent by broadcast arrive too.
        setsockopt(fd_, SOL_SOCKET, SO_BINDTODEVICE, adapter, static_cast<socklen_t>(std::strlen(adapter)));
        sockaddr_in local{};
        local.sin_family = AF_INET;
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    ~Client() {
        if (controlled_ip_) WriteReg(*controlled_ip_, 0x0A00, 0);
        close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void Send(uint32_t ip, uint8_t flags, uint16_t command, const std::vector<uint8_t>& payload,
              uint16_t id) {
        std::vector<uint8_t> bytes{0x42, flags};
        Put16(bytes, command);
        Put16(bytes, static_cast<uint16_t>(payload.size()));
        Put16(bytes, id);
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        SendRaw(ip, bytes);
    }

    void SendRaw(uint32_t ip, const std::vector<uint8_t>& bytes) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(3956);
        to.sin_addr.s_addr = htonl(ip);
        sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    std::optional<Datagram> Receive(int timeout_ms) {
        pollfd wait{fd_, POLLIN, 0};
        if (poll(&wait, 1, timeout_ms) <= 0) return std::nullopt;
        Datagram datagram;
        datagram.bytes.resize(2048);
        sockaddr_in from{};
        char control[256];
        iovec io{datagram.bytes.data(), datagram.bytes.size()};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t size = recvmsg(fd_, &message, 0);
        if (size < 0) return std::nullopt;
        datagram.bytes.resize(static_cast<size_t>(size));
        datagram.from_ip = ntohl(from.sin_addr.s_addr);
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                datagram.to_ip = ntohl(info.ipi_addr.s_addr);
            }
        }
        return datagram;
    }

    // One command and its acknowledge (the first datagram carrying this request's id).
    std::optional<Datagram> Exchange(uint32_t ip, uint16_t command, const std::vector<uint8_t>& payload,
                                     int timeout_ms = 1000, uint8_t flags = 0x01) {
        uint16_t id = NextId();
        Send(ip, flags, command, payload, id);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0) return std::nullopt;
            std::optional<Datagram> datagram = Receive(left);
            if (datagram && datagram->ack_id() == id) return datagram;
        }
    }

    // Every discovery acknowledge that arrives within the time-out.
    std::vector<Datagram> Discover(int timeout_ms = 500) {
        Send(0xFFFFFFFF, 0x11, 0x0002, {}, 1);
        std::vector<Datagram> answers;
        while (std::optional<Datagram> datagram = Receive(timeout_ms)) answers.push_back(*datagram);
        return answers;
    }

    // The register's status; the value on success.
    uint16_t ReadReg(uint32_t ip, uint32_t address, uint32_t* value = nullptr) {
        std::vector<uint8_t> payload;
        Put32(payload, address);
        std::optional<Datagram> ack = Exchange(ip, 0x0080, payload);
        if (!ack) return 0xFFFF;
        if (value != nullptr) *value = Get32(ack->bytes, 8);
        return ack->status();
    }

    uint16_t WriteReg(uint32_t ip, uint32_t address, uint32_t value) {
        std::vector<uint8_t> payload;
        Put32(payload, address);
        Put32(payload, value);
        std::optional<Datagram> ack = Exchange(ip, 0x0082, payload);
        if (!ack) return 0xFFFF;
        if (address == 0x0A00 && ack->status() == 0) {
            controlled_ip_ = value != 0 ? std::optional<uint32_t>(ip) : std::nullopt;
        }
        return ack->status();
    }

    uint16_t ReadMem(uint32_t ip, uint32_t address, uint16_t count, std::vector<uint8_t>* data) {
        std::vector<uint8_t> payload;
        Put32(payload, address);
        Put16(payload, 0);
        Put16(payload, count);
        std::optional<Datagram> ack = Exchange(ip, 0x0084, payload);
        if (!ack) return 0xFFFF;
        if (ack->status() == 0) data->assign(ack->bytes.begin() + 12, ack->bytes.end());
        return ack->status();
    }

    // The description file named by the URL register at `url_address`, read in 512-byte chunks.
    std::optional<std::pair<std::string, std::vector<uint8_t>>> FetchDescription(
        uint32_t ip, uint32_t url_address = 0x0200) {
        std::vector<uint8_t> url_bytes;
        if (ReadMem(ip, url_address, 512, &url_bytes) != 0) return std::nullopt;
        std::string url(reinterpret_cast<const char*>(url_bytes.data()));
        size_t first = url.find(';'), second = url.rfind(';');
        if (first == std::string::npos || first == second) return std::nullopt;
        uint32_t address =
            static_cast<uint32_t>(std::stoul(url.substr(first + 1, second - first - 1), nullptr, 16));
        size_t length = std::stoul(url.substr(second + 1), nullptr, 16);
        std::vector<uint8_t> file;
        while (file.size() < length) {
            uint16_t chunk = static_cast<uint16_t>(std::min<size_t>(512, (length - file.size() + 3) / 4 * 4));
            std::vector<uint8_t> data;
            if (ReadMem(ip, address + static_cast<uint32_t>(file.size()), chunk, &data) != 0)
                return std::nullopt;
            file.insert(file.end(), data.begin(), data.end());
        }
        file.resize(length);
        return std::make_pair(url, file);
    }

  private:
    uint16_t NextId() { return id_ = static_cast<uint16_t>(id_ == 0xFFFF ? 1 : id_ + 1); }

    int fd_ = -1;
    uint16_t id_ = 0;
    std::optional<uint32_t> controlled_ip_;
};

}  // namespace testgvcp
