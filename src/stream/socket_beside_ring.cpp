#include "stream/socket_beside_ring.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>

#include "net/udp_socket.h"

namespace tavi::stream {

bool KeepOnlyHeadersOn(int socket) {
    // The kernel keeps at least the UDP header of what a filter passes: a length of 1 keeps just it.
    // Dropping datagrams outright would count each as a UDP receive error.
    sock_filter program[] = {BPF_STMT(BPF_RET | BPF_K, 1)};
    sock_fprog filter{1, program};
    return setsockopt(socket, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) == 0;
}

namespace {

bool SharePort(int socket) {
    const int on = 1;
    return setsockopt(socket, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) == 0;
}

}  // namespace

void SocketBesideRing::Adopt(int socket) {
    KeepOnlyHeadersOn(socket);
    socket_ = socket;
    int reported = 0;
    socklen_t length = sizeof reported;
    getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &reported, &length);
    receive_buffer_ = reported / 2;  // the kernel reports twice what was asked (its bookkeeping)
    may_replace_ = net::LocalEndpoint(socket, &address_, &port_) && SharePort(socket);
}

void SocketBesideRing::Tend() {
    if (socket_ < 0 || !HoldsHalfItsRoom()) return;
    if (may_replace_ && ReplaceWithFreshSocket()) {
        ++replacements_;
        return;
    }
    may_replace_ = false;
    Empty();
}

bool SocketBesideRing::HoldsHalfItsRoom() const {
    uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof memory;
    // Without the figures, emptying it each time is the safe side.
    if (getsockopt(socket_, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0 ||
        length < sizeof(uint32_t) * (SK_MEMINFO_RCVBUF + 1))
        return true;
    return memory[SK_MEMINFO_RMEM_ALLOC] >= memory[SK_MEMINFO_RCVBUF] / 2;
}

// The fresh socket shares the port before the old one goes, so the port is never free; datagrams
// arriving meanwhile land on either, and either way only their headers are lost.
bool SocketBesideRing::ReplaceWithFreshSocket() {
    const int fresh = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fresh < 0) return false;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address_);
    local.sin_port = htons(port_);
    if (setsockopt(fresh, SOL_SOCKET, SO_RCVBUFFORCE, &receive_buffer_, sizeof receive_buffer_) != 0)
        setsockopt(fresh, SOL_SOCKET, SO_RCVBUF, &receive_buffer_, sizeof receive_buffer_);
    KeepOnlyHeadersOn(fresh);
    const bool replaced = SharePort(fresh) &&
                          ::bind(fresh, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
                          ::dup3(fresh, socket_, O_CLOEXEC) == socket_;
    ::close(fresh);
    return replaced;
}

size_t SocketBesideRing::Empty() {
    size_t dropped = 0;
    for (;;) {
        const int received = ::recvmmsg(socket_, headers_.data(), kDatagramsPerCall, MSG_DONTWAIT, nullptr);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0) return dropped;
        dropped += static_cast<size_t>(received);
        // A short batch means the queue is empty: no further call only to hear EAGAIN.
        if (static_cast<unsigned>(received) < kDatagramsPerCall) return dropped;
    }
}

}  // namespace tavi::stream
