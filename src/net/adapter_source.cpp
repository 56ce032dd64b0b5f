#include "net/adapter_source.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tavi::net {
namespace {

std::string DottedText(const sockaddr* address) {
    char text[INET_ADDRSTRLEN] = {};
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text);
    return text;
}

bool IsUsableIpv4(const ifaddrs* entry) {
    return entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET &&
           (entry->ifa_flags & IFF_UP) && !(entry->ifa_flags & IFF_LOOPBACK);
}

Adapter& AdapterNamed(std::vector<Adapter>* adapters, const char* name) {
    auto found = std::find_if(adapters->begin(), adapters->end(),
                              [&](const Adapter& adapter) { return adapter.name == name; });
    if (found != adapters->end()) return *found;
    Adapter adapter;
    adapter.name = name;
    adapter.index = static_cast<int>(if_nametoindex(name));
    adapters->push_back(adapter);
    return adapters->back();
}

std::string ReadRouteTable() {
    std::ifstream file("/proc/net/route");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

bool ListAdapters(std::vector<Adapter>* adapters) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (!IsUsableIpv4(entry)) continue;
        Adapter& adapter = AdapterNamed(adapters, entry->ifa_name);
        adapter.addresses.push_back(
            {DottedText(entry->ifa_addr), entry->ifa_netmask ? DottedText(entry->ifa_netmask) : "0.0.0.0"});
    }
    freeifaddrs(list);
    const std::string routes = ReadRouteTable();
    for (Adapter& adapter : *adapters) adapter.gateway = FirstDefaultGateway(routes, adapter.name);
    return true;
}

int AdapterMtu(const std::string& name) {
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return 0;
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    const int mtu = ioctl(probe, SIOCGIFMTU, &request) == 0 ? request.ifr_mtu : 0;
    ::close(probe);
    return mtu;
}

std::string FirstDefaultGateway(const std::string& route_table_text, const std::string& interface_name) {
    std::istringstream lines(route_table_text);
    std::string line;
    std::getline(lines, line);  // the column titles
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string interface, destination, gateway_hex;
        if (!(fields >> interface >> destination >> gateway_hex)) continue;
        if (interface != interface_name || destination != "00000000") continue;
        // The table holds addresses as the hex of the network-order word, as the kernel stores it.
        in_addr gateway{};
        gateway.s_addr = static_cast<in_addr_t>(std::strtoul(gateway_hex.c_str(), nullptr, 16));
        if (gateway.s_addr == 0) continue;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &gateway, text, sizeof text);
        return text;
    }
    return "0.0.0.0";
}

}  // namespace tavi::net
