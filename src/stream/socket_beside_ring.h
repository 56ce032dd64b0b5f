#pragma once
// The stream's UDP socket while the packet ring receives the stream. The ring takes the bytes; the
// socket holds the port, so that the camera's datagrams meet no "port unreachable", and sends the
// firewall datagrams. The kernel still queues every datagram on it, so it keeps only their UDP
// headers, and it must not overflow: an overflow counts a UDP receive error for every datagram.
//
// Emptying it datagram by datagram costs the receive thread about as much as the ring itself at
// 1500-byte packets. So once it holds half of its room, a fresh socket takes over its port (both
// allow the port to be shared) at the same descriptor, and the old socket goes with everything it
// held, freed by the kernel in one sweep. Where that cannot be done, the socket is emptied instead.

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace tavi::stream {

// Makes a UDP socket keep only the header of every datagram it queues.
bool KeepOnlyHeadersOn(int socket);

class SocketBesideRing {
  public:
    static constexpr unsigned kDatagramsPerCall = 256;

    // Takes charge of `socket`, bound to the stream's port: from now on it keeps only headers (where
    // the kernel refuses that, whole datagrams, which are disposed of all the same).
    void Adopt(int socket);
    // After every block the ring hands over: makes room on the socket once it holds half of its room.
    void Tend();
    // Takes and drops every datagram queued on the socket without waiting; the number dropped.
    size_t Empty();
    // How many times a fresh socket took over the port.
    uint64_t replacements() const { return replacements_; }

  private:
    bool HoldsHalfItsRoom() const;
    bool ReplaceWithFreshSocket();

    int socket_ = -1;
    uint32_t address_ = 0;  // host order
    uint16_t port_ = 0;
    int receive_buffer_ = 0;    // as asked for, half what the kernel reports
    bool may_replace_ = false;  // false once sharing the port failed: emptied instead
    uint64_t replacements_ = 0;
    // No name and no buffer: the kernel copies nothing out per datagram beyond its length.
    std::array<mmsghdr, kDatagramsPerCall> headers_{};
};

}  // namespace tavi::stream
