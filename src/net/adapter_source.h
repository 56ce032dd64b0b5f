#pragma once
// What discovery needs to know of the PC's network adapters, from the kernel's interface list.

#include <string>
#include <vector>

namespace tavi::net {

struct AdapterAddress {
    std::string address;  // dotted text
    std::string mask;     // dotted text
};

struct Adapter {
    std::string name;  // the interface name, also its readable name
    int index = 0;     // the kernel's interface index
    std::vector<AdapterAddress> addresses;
    std::string gateway = "0.0.0.0";  // first default gateway, "0.0.0.0" when none
};

// The IPv4 adapters that are up, loopback excluded, in the kernel's order. False when the
// interface list cannot be read.
bool ListAdapters(std::vector<Adapter>* adapters);

// The MTU of the named interface, 0 when it cannot be read.
int AdapterMtu(const std::string& name);

// First default gateway of an interface from a routing table in the /proc/net/route format.
std::string FirstDefaultGateway(const std::string& route_table_text, const std::string& interface_name);

}  // namespace tavi::net
