#pragma once
// Receives the datagrams waiting on a socket in one system call (recvmmsg), each into its own slot,
// with its sender and, where the socket stamps them (ArrivalStamps), its arrival. The slots live as
// long as the batch: nothing is allocated per datagram.

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

#include "stream/arrival_clock.h"

namespace tavi::stream {

class DatagramBatch {
  public:
    static constexpr size_t kSlotSize = 65536;  // any UDP datagram fits

    explicit DatagramBatch(size_t slots);
    ~DatagramBatch();
    DatagramBatch(const DatagramBatch&) = delete;
    DatagramBatch& operator=(const DatagramBatch&) = delete;

    bool ready() const { return memory_ != nullptr; }
    // Takes what is waiting without blocking: the number of datagrams, 0 when none, -1 on error.
    int Receive(int socket);
    const uint8_t* data(int i) const { return memory_ + static_cast<size_t>(i) * kSlotSize; }
    int length(int i) const { return static_cast<int>(headers_[i].msg_len); }
    uint32_t sender(int i) const;  // host order
    // When datagram `i` arrived, on the monotonic clock in microseconds; for a socket that does not
    // stamp its datagrams, the moment the batch was received.
    int64_t arrival_us(int i);

    // Asks the kernel to stamp each datagram of `socket` with its arrival; false when it refuses.
    static bool ArrivalStamps(int socket);

  private:
    // Room for one SCM_TIMESTAMPNS message per datagram.
    struct ControlSpace {
        alignas(cmsghdr) uint8_t bytes[CMSG_SPACE(sizeof(timespec))];
    };

    uint8_t* memory_ = nullptr;
    std::vector<mmsghdr> headers_;
    std::vector<iovec> vectors_;
    std::vector<sockaddr_in> senders_;
    std::vector<ControlSpace> controls_;
    ArrivalClock arrival_clock_;
};

// What a wait on the receiving socket found.
enum class WaitResult {
    kReadable,
    kTimeout,
    kSocketError,  // the socket reported an error (a link that went down), now taken and cleared
    kFailed,       // the wait itself failed: the socket is unusable
};

// Waits up to `timeout_us` for the socket to become readable. A pending socket error is taken off
// the socket (`*error` receives it) so that the next wait does not report it again.
WaitResult WaitReadableMicroseconds(int socket, int64_t timeout_us, int* error = nullptr);

}  // namespace tavi::stream
