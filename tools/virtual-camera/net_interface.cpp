#include "net_interface.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

namespace vcam {
namespace {

std::string FirstUsableInterface() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return {};
    std::string name;
    for (ifaddrs* entry = list; entry != nullptr && name.empty(); entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
        name = entry->ifa_name;
    }
    freeifaddrs(list);
    return name;
}

class IoctlSocket {
  public:
    IoctlSocket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~IoctlSocket() {
        if (fd_ >= 0) close(fd_);
    }
    IoctlSocket(const IoctlSocket&) = delete;
    IoctlSocket& operator=(const IoctlSocket&) = delete;
    bool Call(unsigned long request, void* argument) const {
        return fd_ >= 0 && ioctl(fd_, request, argument) == 0;
    }

  private:
    int fd_;
};

ifreq RequestFor(const std::string& name) {
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", name.c_str());
    return request;
}

uint32_t AddressOf(const sockaddr& address) {
    sockaddr_in in;
    std::memcpy(&in, &address, sizeof in);
    return ntohl(in.sin_addr.s_addr);
}

sockaddr AsSockaddr(uint32_t ip) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(ip);
    sockaddr address;
    std::memcpy(&address, &in, sizeof in);
    return address;
}

// The first default route through the interface, from the kernel's routing table.
uint32_t DefaultGatewayOf(const std::string& name) {
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line);  // header
    char iface[64];
    unsigned destination, gateway;
    while (std::getline(routes, line)) {
        if (std::sscanf(line.c_str(), "%63s %x %x", iface, &destination, &gateway) == 3 && name == iface &&
            destination == 0) {
            return ntohl(gateway);
        }
    }
    return 0;
}

}  // namespace

bool ParseMac(const std::string& text, std::array<uint8_t, 6>* mac) {
    unsigned bytes[6];
    char tail;
    if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &bytes[0], &bytes[1], &bytes[2], &bytes[3],
                    &bytes[4], &bytes[5], &tail) != 6) {
        return false;
    }
    for (int i = 0; i < 6; ++i) (*mac)[i] = static_cast<uint8_t>(bytes[i]);
    return true;
}

NetInterface::NetInterface(std::string name)
    : name_(name.empty() ? FirstUsableInterface() : std::move(name)) {}

bool NetInterface::found() const { return !name_.empty() && if_nametoindex(name_.c_str()) != 0; }

InterfaceState NetInterface::Read() const {
    InterfaceState state;
    IoctlSocket sock;
    ifreq request = RequestFor(name_);
    if (sock.Call(SIOCGIFADDR, &request)) state.ip = AddressOf(request.ifr_addr);
    request = RequestFor(name_);
    if (sock.Call(SIOCGIFNETMASK, &request)) state.mask = AddressOf(request.ifr_netmask);
    request = RequestFor(name_);
    if (sock.Call(SIOCGIFHWADDR, &request)) std::memcpy(state.mac.data(), request.ifr_hwaddr.sa_data, 6);
    state.gateway = gateway_assigned_ ? gateway_ : DefaultGatewayOf(name_);
    return state;
}

bool NetInterface::Assign(uint32_t ip, uint32_t mask, uint32_t gateway) {
    IoctlSocket sock;
    ifreq request = RequestFor(name_);
    request.ifr_addr = AsSockaddr(ip);
    if (!sock.Call(SIOCSIFADDR, &request)) return false;
    request = RequestFor(name_);
    request.ifr_netmask = AsSockaddr(mask);
    if (!sock.Call(SIOCSIFNETMASK, &request)) return false;
    request = RequestFor(name_);
    request.ifr_broadaddr = AsSockaddr((ip & mask) | ~mask);
    sock.Call(SIOCSIFBRDADDR, &request);
    // The gateway is reported as given; a route through it is added when the kernel accepts it.
    gateway_ = gateway;
    gateway_assigned_ = true;
    if (gateway != 0 && (gateway & mask) == (ip & mask)) {
        rtentry route{};
        route.rt_dst = AsSockaddr(0);
        route.rt_genmask = AsSockaddr(0);
        route.rt_gateway = AsSockaddr(gateway);
        route.rt_flags = RTF_UP | RTF_GATEWAY;
        route.rt_dev = name_.data();
        sock.Call(SIOCADDRT, &route);
    }
    return true;
}

}  // namespace vcam
