#include "net/udp_socket.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
    sockaddr_in socket_address{};
    socket_address.sin_family = AF_INET;
    socket_address.sin_addr.s_addr = htonl(address);
    socket_address.sin_port = htons(port);
    return socket_address;
}

bool SetTimeout(int socket, int option, int milliseconds) {
    timeval timeout{};
    timeout.tv_sec = milliseconds / 1000;
    timeout.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
    return setsockopt(socket, SOL_SOCKET, option, &timeout, sizeof timeout) == 0;
}

}  // namespace

int open_udp_socket() { return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP); }

int bind_udp_socket(int socket, uint32_t address, uint16_t port) {
    if (socket < 0) return -1;
    const sockaddr_in local = MakeAddress(address, port);
    return ::bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local);
}

int send_udp(int socket, uint32_t address, uint16_t port, const void* bytes, int length) {
    if (socket < 0 || length < 0) return -1;
    const sockaddr_in destination = MakeAddress(address, port);
    const ssize_t sent = ::sendto(socket, bytes, static_cast<size_t>(length), 0,
                                  reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    return static_cast<int>(sent);
}

int receive_udp(int socket, void* buffer, int size) {
    return tavi::net::ReceiveUdpFrom(socket, buffer, size, nullptr, nullptr);
}

namespace tavi::net {

int ReceiveUdpFrom(int socket, void* buffer, int size, uint32_t* sender_address, uint16_t* sender_port) {
    if (socket < 0 || size < 0) return -1;
    sockaddr_in sender{};
    socklen_t sender_length = sizeof sender;
    ssize_t received;
    do {
        // MSG_TRUNC reports the datagram's true length, so one larger than the buffer is a failure.
        received = ::recvfrom(socket, buffer, static_cast<size_t>(size), MSG_TRUNC,
                              reinterpret_cast<sockaddr*>(&sender), &sender_length);
    } while (received < 0 && errno == EINTR);
    if (received < 0 || received > size) return -1;
    if (sender_address != nullptr) *sender_address = ntohl(sender.sin_addr.s_addr);
    if (sender_port != nullptr) *sender_port = ntohs(sender.sin_port);
    return static_cast<int>(received);
}

int SendUdpThroughInterface(int socket, int interface_index, uint32_t source_address, uint32_t address,
                            uint16_t port, const void* bytes, int length) {
    if (socket < 0 || length < 0) return -1;
    sockaddr_in destination = MakeAddress(address, port);
    iovec payload{const_cast<void*>(bytes), static_cast<size_t>(length)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message{};
    message.msg_name = &destination;
    message.msg_namelen = sizeof destination;
    message.msg_iov = &payload;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = IPPROTO_IP;
    header->cmsg_type = IP_PKTINFO;
    header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = interface_index;
    info.ipi_spec_dst.s_addr = htonl(source_address);
    std::memcpy(CMSG_DATA(header), &info, sizeof info);
    return static_cast<int>(::sendmsg(socket, &message, 0));
}

bool BindSocketToInterface(int socket, const char* interface_name) {
    if (socket < 0 || interface_name == nullptr) return false;
    return setsockopt(socket, SOL_SOCKET, SO_BINDTODEVICE, interface_name,
                      static_cast<socklen_t>(strnlen(interface_name, IFNAMSIZ))) == 0;
}

bool SetReceiveTimeout(int socket, int milliseconds) { return SetTimeout(socket, SO_RCVTIMEO, milliseconds); }

bool SetSendTimeout(int socket, int milliseconds) { return SetTimeout(socket, SO_SNDTIMEO, milliseconds); }

bool EnableBroadcast(int socket) {
    const int on = 1;
    return setsockopt(socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
}

bool WaitReadable(int socket, int milliseconds) {
    pollfd descriptor{socket, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&descriptor, 1, milliseconds);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (descriptor.revents & POLLIN) != 0;
}

bool LocalEndpoint(int socket, uint32_t* address, uint16_t* port) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
    if (address != nullptr) *address = ntohl(local.sin_addr.s_addr);
    if (port != nullptr) *port = ntohs(local.sin_port);
    return true;
}

void close_udp_socket(int socket) {
    if (socket >= 0) ::close(socket);
}

}  // namespace tavi::net
