#pragma once
// Which datagram answers a GVCP command. Anyone on the network can send to the PC's control port: a
// late answer to an earlier command, a stray device, a spoofer. A command therefore takes only the
// acknowledge that comes from its camera's address and GVCP port, carries the acknowledge code of
// the command and repeats the command's request id; anything else is discarded and counted, and the
// wait goes on within the same time-out.

#include <cstddef>
#include <cstdint>

#include "net/gvcp_protocol.h"

namespace tavi::gvcp {

struct ExpectedAck {
    // The addresses the camera may answer from (host order); 0 leaves a slot unused. Force IP names
    // two: the camera's address before and after.
    uint32_t sources[2] = {0, 0};
    uint16_t source_port = kPort;
    uint16_t ack_code = 0;
    uint16_t ack_id = 0;
};

// True when `datagram`, received from (`sender`, `port`), is the acknowledge `expected` waits for.
bool IsExpectedAck(const uint8_t* datagram, size_t size, uint32_t sender, uint16_t port,
                   const ExpectedAck& expected);

// Receives into `buffer` until the expected acknowledge arrives or `timeout_ms` have passed since
// the call. Every other datagram (another sender, port, code or id, one shorter than a header or
// longer than `capacity`) is dropped and added to `*ignored`. The acknowledge's size, or -1.
int ReceiveExpectedAck(int socket, uint8_t* buffer, size_t capacity, const ExpectedAck& expected,
                       int timeout_ms, int* ignored);

}  // namespace tavi::gvcp
