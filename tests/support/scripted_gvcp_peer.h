#pragma once
// A scripted GVCP device on loopback for unit tests: it listens on port 3956 of an address of its
// own in 127.0.0.0/8, records every datagram it hears, and answers register and memory commands
// from a small register and memory model, unless a test script takes over. Its byte handling is
// written here on purpose, independent of the library's protocol header, so that each checks the
// other.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace tavi::test {

using Bytes = std::vector<uint8_t>;

inline uint16_t Be16(const Bytes& bytes, size_t offset) {
    return offset + 2 <= bytes.size() ? static_cast<uint16_t>(bytes[offset] << 8 | bytes[offset + 1]) : 0;
}
inline uint32_t Be32(const Bytes& bytes, size_t offset) {
    return offset + 4 <= bytes.size() ? static_cast<uint32_t>(bytes[offset]) << 24 | bytes[offset + 1] << 16 |
                                            bytes[offset + 2] << 8 | bytes[offset + 3]
                                      : 0;
}
inline void AppendBe16(Bytes* bytes, uint16_t value) {
    bytes->push_back(static_cast<uint8_t>(value >> 8));
    bytes->push_back(static_cast<uint8_t>(value));
}
inline void AppendBe32(Bytes* bytes, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes->push_back(static_cast<uint8_t>(value >> shift));
}

// An acknowledge header followed by `payload`.
// A read the heartbeat sends on its own: the CCP it beats on, or the time-out it reads first (which a
// busy machine may delay until well after the connection).
inline bool IsHeartbeatRead(const Bytes& command) {
    if (command.size() < 12 || Be16(command, 2) != 0x0080) return false;
    const uint32_t address = Be32(command, 8);
    return address == 0x0A00 || address == 0x0938;
}

inline Bytes MakeAck(uint16_t status, uint16_t ack_code, uint16_t ack_id, const Bytes& payload) {
    Bytes ack;
    AppendBe16(&ack, status);
    AppendBe16(&ack, ack_code);
    AppendBe16(&ack, static_cast<uint16_t>(payload.size()));
    AppendBe16(&ack, ack_id);
    ack.insert(ack.end(), payload.begin(), payload.end());
    return ack;
}

inline uint32_t LoopbackAddress(uint8_t b, uint8_t c, uint8_t d) {
    return 127u << 24 | static_cast<uint32_t>(b) << 16 | static_cast<uint32_t>(c) << 8 | d;
}

// The PC side of every unit test.
inline constexpr uint32_t kPcAddress = 0x7F000001;  // 127.0.0.1

class ScriptedGvcpPeer {
  public:
    struct Datagram {
        Bytes bytes;
        uint32_t address;
        uint16_t port;
        std::chrono::steady_clock::time_point when;
    };
    struct Write {
        uint32_t address;
        uint32_t value;
    };
    // Returns the datagrams to answer a command with; std::nullopt hands it to the model.
    using Script = std::function<std::optional<std::vector<Bytes>>(const Bytes& command)>;
    // Runs on the peer's thread when a command arrives, before it is answered: a hostile test sends
    // its spoofed or stray datagrams to the command's sender from here, so they arrive first.
    using Prelude = std::function<void(const Datagram& command)>;

    ScriptedGvcpPeer() {
        static std::atomic<int> serial{0};
        const int pid = static_cast<int>(getpid());
        socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        // An address of this peer alone: tests of other processes run beside it. Should another
        // process hold it after all, the next one is tried.
        bool bound = false;
        for (int attempt = 0; attempt < 20 && !bound; ++attempt) {
            address_ =
                LoopbackAddress(static_cast<uint8_t>(10 + serial++ % 200),
                                static_cast<uint8_t>(pid / 253 % 256), static_cast<uint8_t>(1 + pid % 253));
            sockaddr_in local = SocketAddress(address_, 3956);
            bound = ::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
        }
        if (!bound) {
            ::close(socket_);
            socket_ = -1;
            return;
        }
        registers_[0x0D1C] = 3956;  // SCSP: the firewall opener comes back to this peer
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedGvcpPeer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (socket_ >= 0) ::close(socket_);
        if (side_socket_ >= 0) ::close(side_socket_);
    }
    ScriptedGvcpPeer(const ScriptedGvcpPeer&) = delete;
    ScriptedGvcpPeer& operator=(const ScriptedGvcpPeer&) = delete;

    bool ok() const { return socket_ >= 0; }
    uint32_t address() const { return address_; }

    void SetScript(Script script) {
        std::lock_guard<std::mutex> lock(mutex_);
        script_ = std::move(script);
    }
    void SetPrelude(Prelude prelude) {
        std::lock_guard<std::mutex> lock(mutex_);
        prelude_ = std::move(prelude);
    }
    void SetRegister(uint32_t address, uint32_t value) {
        std::lock_guard<std::mutex> lock(mutex_);
        registers_[address] = value;
    }
    uint32_t Register(uint32_t address) {
        std::lock_guard<std::mutex> lock(mutex_);
        return registers_[address];
    }
    // Reads and writes of the register (or memory reads starting at the address) get this status.
    void SetStatus(uint32_t address, uint16_t status) {
        std::lock_guard<std::mutex> lock(mutex_);
        statuses_[address] = status;
    }
    void SetMemory(uint32_t address, const Bytes& bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < bytes.size(); ++i) memory_[address + static_cast<uint32_t>(i)] = bytes[i];
    }
    // Test packets larger than this do not arrive (the path's MTU).
    void SetLargestTestPacket(int size) { largest_test_packet_ = size; }
    // A silent peer hears everything and answers nothing (a pulled cable).
    void SetSilent(bool silent) { silent_ = silent; }

    std::vector<Datagram> Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    std::vector<Write> Writes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return writes_;
    }
    // Commands heard with this command code.
    std::vector<Datagram> Commands(uint16_t command) {
        std::vector<Datagram> matching;
        for (Datagram& datagram : Received()) {
            if (datagram.bytes.size() >= 8 && datagram.bytes[0] == 0x42 &&
                Be16(datagram.bytes, 2) == command) {
                matching.push_back(std::move(datagram));
            }
        }
        return matching;
    }
    void SendTo(uint32_t address, uint16_t port, const Bytes& bytes) {
        SendFrom(socket_, address, port, bytes);
    }
    // The same from this peer's address but another port than 3956 (a process beside the camera).
    void SendFromSidePort(uint32_t address, uint16_t port, const Bytes& bytes) {
        if (side_socket_ < 0) {
            side_socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in local = SocketAddress(address_, 0);
            ::bind(side_socket_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        }
        SendFrom(side_socket_, address, port, bytes);
    }

  private:
    static void SendFrom(int socket, uint32_t address, uint16_t port, const Bytes& bytes) {
        sockaddr_in destination = SocketAddress(address, port);
        ::sendto(socket, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&destination),
                 sizeof destination);
    }

    static sockaddr_in SocketAddress(uint32_t address, uint16_t port) {
        sockaddr_in socket_address{};
        socket_address.sin_family = AF_INET;
        socket_address.sin_addr.s_addr = htonl(address);
        socket_address.sin_port = htons(port);
        return socket_address;
    }

    void Run() {
        while (!stop_) {
            pollfd descriptor{socket_, POLLIN, 0};
            if (::poll(&descriptor, 1, 20) <= 0) continue;
            uint8_t buffer[65536];
            sockaddr_in sender{};
            socklen_t length = sizeof sender;
            const ssize_t size =
                ::recvfrom(socket_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &length);
            if (size < 0) continue;
            Datagram datagram{Bytes(buffer, buffer + size), ntohl(sender.sin_addr.s_addr),
                              ntohs(sender.sin_port), std::chrono::steady_clock::now()};
            std::vector<Bytes> answers;
            Prelude prelude;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.push_back(datagram);
                prelude = prelude_;
                const bool command = datagram.bytes.size() >= 8 && datagram.bytes[0] == 0x42;
                if (command && !silent_) {
                    std::optional<std::vector<Bytes>> scripted =
                        script_ ? script_(datagram.bytes) : std::nullopt;
                    answers = scripted ? std::move(*scripted) : Model(datagram.bytes);
                }
            }
            // The prelude runs for a silent peer too: a dead camera's address can still be spoofed.
            if (prelude) prelude(datagram);
            for (const Bytes& answer : answers) SendTo(datagram.address, datagram.port, answer);
        }
    }

    uint16_t StatusOf(uint32_t address) {
        const auto found = statuses_.find(address);
        return found == statuses_.end() ? 0 : found->second;
    }

    std::vector<Bytes> Model(const Bytes& command) {
        const uint16_t code = Be16(command, 2);
        const uint16_t id = Be16(command, 6);
        Bytes payload;
        uint16_t status = 0;
        if (code == 0x0080) {
            for (size_t offset = 8; offset + 4 <= command.size(); offset += 4) {
                const uint32_t address = Be32(command, offset);
                if ((status = StatusOf(address)) != 0) return {MakeAck(status, 0x0081, id, {})};
                AppendBe32(&payload, registers_[address]);
            }
            return {MakeAck(0, 0x0081, id, payload)};
        }
        if (code == 0x0082) {
            uint16_t index = 0;
            for (size_t offset = 8; offset + 8 <= command.size(); offset += 8, ++index) {
                const uint32_t address = Be32(command, offset);
                const uint32_t value = Be32(command, offset + 4);
                if ((status = StatusOf(address)) != 0) break;
                registers_[address] = value;
                writes_.push_back({address, value});
                if (address == 0x0D04 && (value & 0x80000000u) != 0) FireTestPacket(value & 0xFFFF);
            }
            AppendBe16(&payload, 0);
            AppendBe16(&payload, index);
            return {MakeAck(status, 0x0083, id, payload)};
        }
        if (code == 0x0084) {
            const uint32_t address = Be32(command, 8);
            const uint16_t count = Be16(command, 14);
            if ((status = StatusOf(address)) != 0) return {MakeAck(status, 0x0085, id, {})};
            AppendBe32(&payload, address);
            for (uint32_t i = 0; i < count; ++i) {
                const auto found = memory_.find(address + i);
                payload.push_back(found == memory_.end() ? 0 : found->second);
            }
            return {MakeAck(0, 0x0085, id, payload)};
        }
        return {MakeAck(0x8001, static_cast<uint16_t>(code + 1), id, {})};  // not implemented
    }

    void FireTestPacket(uint32_t size) {
        if (static_cast<int>(size) > largest_test_packet_) return;
        SendTo(registers_[0x0D18], static_cast<uint16_t>(registers_[0x0D00]), Bytes(size, 0x5A));
    }

    int socket_ = -1;
    uint32_t address_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> silent_{false};
    std::atomic<int> largest_test_packet_{1500};
    std::mutex mutex_;
    Script script_;
    Prelude prelude_;
    int side_socket_ = -1;  // used by the peer's thread only
    std::map<uint32_t, uint32_t> registers_;
    std::map<uint32_t, uint16_t> statuses_;
    std::map<uint32_t, uint8_t> memory_;
    std::vector<Datagram> received_;
    std::vector<Write> writes_;
    std::thread thread_;
};

}  // namespace tavi::test
