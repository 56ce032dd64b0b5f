#pragma once
// The UDP socket functions every camera exchange goes through. Addresses and ports are host byte
// order; a socket is a plain descriptor, negative for failure.

#include <cstddef>
#include <cstdint>

#include "TaviSDK/Export.h"

TAVI_API int open_udp_socket();
TAVI_API int bind_udp_socket(int socket, uint32_t address, uint16_t port);
TAVI_API int send_udp(int socket, uint32_t address, uint16_t port, const void* bytes, int length);
// One datagram of at most `size` bytes. Negative on time-out, on error, and for a datagram larger
// than `size` (which is dropped).
TAVI_API int receive_udp(int socket, void* buffer, int size);

namespace tavi::net {

// As receive_udp, also giving the sender (host order).
int ReceiveUdpFrom(int socket, void* buffer, int size, uint32_t* sender_address, uint16_t* sender_port);
// Sends one datagram that leaves through interface `interface_index` with source `source_address`,
// whatever the routing table says (broadcasts of a multi-adapter PC go out the adapter they are for).
int SendUdpThroughInterface(int socket, int interface_index, uint32_t source_address, uint32_t address,
                            uint16_t port, const void* bytes, int length);
// Restricts a socket to the named interface, so that it hears broadcasts arriving there only.
bool BindSocketToInterface(int socket, const char* interface_name);
bool SetReceiveTimeout(int socket, int milliseconds);
bool SetSendTimeout(int socket, int milliseconds);
bool EnableBroadcast(int socket);
// Waits up to `milliseconds` for the socket to become readable; false on time-out or error.
bool WaitReadable(int socket, int milliseconds);
// The local address and port the socket is bound to (host order); false on failure.
bool LocalEndpoint(int socket, uint32_t* address, uint16_t* port);
void close_udp_socket(int socket);

}  // namespace tavi::net
