#include "net/gvcp_ack.h"

#include <chrono>

#include "net/udp_socket.h"

namespace tavi::gvcp {

bool IsExpectedAck(const uint8_t* datagram, size_t size, uint32_t sender, uint16_t port,
                   const ExpectedAck& expected) {
    if (size < kAckHeaderSize || port != expected.source_port || sender == 0) return false;
    if (sender != expected.sources[0] && sender != expected.sources[1]) return false;
    return GetU16(datagram, size, kAckCode) == expected.ack_code &&
           GetU16(datagram, size, kAckId) == expected.ack_id;
}

int ReceiveExpectedAck(int socket, uint8_t* buffer, size_t capacity, const ExpectedAck& expected,
                       int timeout_ms, int* ignored) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        const auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (remaining <= 0 || !net::WaitReadable(socket, static_cast<int>(remaining))) return -1;
        uint32_t sender = 0;
        uint16_t port = 0;
        const int size = net::ReceiveUdpFrom(socket, buffer, static_cast<int>(capacity), &sender, &port);
        if (size >= 0 && IsExpectedAck(buffer, static_cast<size_t>(size), sender, port, expected))
            return size;
        if (ignored != nullptr) ++*ignored;
    }
}

}  // namespace tavi::gvcp
