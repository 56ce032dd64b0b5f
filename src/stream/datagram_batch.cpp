#include "stream/datagram_batch.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace tavi::stream {

DatagramBatch::DatagramBatch(size_t slots) {
    memory_ = static_cast<uint8_t*>(std::malloc(slots * kSlotSize));
    if (memory_ == nullptr) return;
    headers_.resize(slots);
    vectors_.resize(slots);
    senders_.resize(slots);
    controls_.resize(slots);
}

DatagramBatch::~DatagramBatch() { std::free(memory_); }

int DatagramBatch::Receive(int socket) {
    for (size_t i = 0; i < headers_.size(); ++i) {
        vectors_[i] = {memory_ + i * kSlotSize, kSlotSize};
        msghdr& header = headers_[i].msg_hdr;
        header = {};
        header.msg_name = &senders_[i];
        header.msg_namelen = sizeof(sockaddr_in);
        header.msg_iov = &vectors_[i];
        header.msg_iovlen = 1;
        header.msg_control = controls_[i].bytes;
        header.msg_controllen = sizeof controls_[i].bytes;
        headers_[i].msg_len = 0;
    }
    int received;
    do {
        received = ::recvmmsg(socket, headers_.data(), static_cast<unsigned>(headers_.size()), MSG_DONTWAIT,
                              nullptr);
    } while (received < 0 && errno == EINTR);
    if (received < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    arrival_clock_.StartRun();
    return received;
}

int64_t DatagramBatch::arrival_us(int i) {
    msghdr& header = headers_[i].msg_hdr;
    for (cmsghdr* control = CMSG_FIRSTHDR(&header); control != nullptr;
         control = CMSG_NXTHDR(&header, control)) {
        if (control->cmsg_level == SOL_SOCKET && control->cmsg_type == SCM_TIMESTAMPNS &&
            control->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec stamp;
            std::memcpy(&stamp, CMSG_DATA(control), sizeof stamp);
            return arrival_clock_.MonotonicOf(stamp.tv_sec, stamp.tv_nsec);
        }
    }
    return arrival_clock_.Unstamped();
}

bool DatagramBatch::ArrivalStamps(int socket) {
    const int on = 1;
    return setsockopt(socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0;
}

uint32_t DatagramBatch::sender(int i) const {
    if (headers_[i].msg_hdr.msg_namelen < sizeof(sockaddr_in) || senders_[i].sin_family != AF_INET) return 0;
    return ntohl(senders_[i].sin_addr.s_addr);
}

WaitResult WaitReadableMicroseconds(int socket, int64_t timeout_us, int* error) {
    pollfd descriptor{socket, POLLIN, 0};
    const timespec timeout{static_cast<time_t>(timeout_us / 1000000),
                           static_cast<long>(timeout_us % 1000000) * 1000};
    const int ready = ::ppoll(&descriptor, 1, &timeout, nullptr);
    if (ready < 0) return errno == EINTR ? WaitResult::kTimeout : WaitResult::kFailed;
    if (ready == 0) return WaitResult::kTimeout;
    if ((descriptor.revents & POLLNVAL) != 0) return WaitResult::kFailed;
    if ((descriptor.revents & POLLIN) != 0) return WaitResult::kReadable;
    if ((descriptor.revents & POLLERR) != 0) {
        // Reading the error clears it; the socket stays usable (a packet socket, for one, reports
        // ENETDOWN when its link goes down and receives again when the link comes back).
        int pending = 0;
        socklen_t length = sizeof pending;
        getsockopt(socket, SOL_SOCKET, SO_ERROR, &pending, &length);
        if (error != nullptr) *error = pending;
        return WaitResult::kSocketError;
    }
    return WaitResult::kTimeout;
}

}  // namespace tavi::stream
