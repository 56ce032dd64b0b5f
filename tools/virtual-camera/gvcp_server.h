#pragma once
// The camera's side of the GigE Vision control protocol: one UDP socket on port 3956, bound to any
// address so that it hears broadcasts, answering DISCOVERY, FORCEIP, READREG, WRITEREG, READMEM and
// WRITEMEM and passing PACKETRESEND to the streams. Faults of the control channel (silence, late
// answers, damaged discovery answers, a chosen FORCEIP status) are applied here.

#include <netinet/in.h>

#include <deque>
#include <span>
#include <vector>

#include "device.h"
#include "gvcp_layout.h"

namespace vcam {

class GvcpServer {
  public:
    GvcpServer(Settings& settings, Device& device, NetInterface& net);
    ~GvcpServer();
    GvcpServer(const GvcpServer&) = delete;
    GvcpServer& operator=(const GvcpServer&) = delete;

    // Binds the control port; false with a message on standard error when it cannot.
    bool Open(uint16_t port = gvcp::kPort);
    int fd() const { return fd_; }
    // Reads and answers every datagram waiting on the socket.
    void ReceiveAll(Clock::time_point now);
    // Sends the acknowledges whose delay has passed.
    void SendDue(Clock::time_point now);

    // Handles one datagram; the answers are queued (exposed for tests without sockets).
    void Handle(std::span<const uint8_t> datagram, const sockaddr_in& from, Clock::time_point now);

  private:
    struct Pending {
        Clock::time_point due;
        sockaddr_in to;
        std::vector<uint8_t> bytes;
        bool flood = false;  // one of a discovery flood's answers
    };
    using Handler = void (GvcpServer::*)(const gvcp::CommandHeader&, std::span<const uint8_t>,
                                         const sockaddr_in&, Clock::time_point);

    void OnDiscovery(const gvcp::CommandHeader&, std::span<const uint8_t>, const sockaddr_in&,
                     Clock::time_point);
    void OnForceIp(const gvcp::CommandHeader&, std::span<const uint8_t>, const sockaddr_in&,
                   Clock::time_point);
    void OnReadReg(const gvcp::CommandHeader&, std::span<const uint8_t>, const sockaddr_in&,
                   Clock::time_point);
    void OnWriteReg(const gvcp::CommandHeader&, std::span<const uint8_t>, const sockaddr_in&,
                    Clock::time_point);
    void OnReadMem(const gvcp::CommandHeader&, std::span<const uint8_t>, const sockaddr_in&,
                   Clock::time_point);
    void OnWriteMem(const gvcp::CommandHeader&, std::span<const uint8_t>, const sockaddr_in&,
                    Clock::time_point);
    void OnPacketResend(const gvcp::CommandHeader&, std::span<const uint8_t>, const sockaddr_in&,
                        Clock::time_point);
    static Handler HandlerFor(uint16_t command);

    bool Silent(Clock::time_point now) const;
    bool FloodStopped(const Pending& pending) const;
    // An application on another subnet cannot be reached directly: it is answered by broadcast.
    sockaddr_in AnswerAddress(const sockaddr_in& from, bool broadcast_requested) const;
    void Answer(const gvcp::CommandHeader& header, const sockaddr_in& from, std::vector<uint8_t> ack,
                Clock::time_point now);
    void Send(const sockaddr_in& to, const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> DiscoveryAck(uint16_t request_id, bool with_size_faults) const;

    Settings& settings_;
    Device& device_;
    NetInterface& net_;
    int fd_ = -1;
    std::deque<Pending> pending_;
};

}  // namespace vcam
