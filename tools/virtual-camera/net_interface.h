#pragma once
// The camera's one network interface: its addresses as the kernel holds them, and the change of
// address that FORCEIP asks for. The camera normally runs in a network namespace of its own.

#include <array>
#include <cstdint>
#include <string>

namespace vcam {

struct InterfaceState {
    uint32_t ip = 0;  // host byte order
    uint32_t mask = 0;
    uint32_t gateway = 0;
    std::array<uint8_t, 6> mac{};
};

class NetInterface {
  public:
    // An empty name picks the first interface that is up, not loopback, and has an IPv4 address.
    explicit NetInterface(std::string name);

    const std::string& name() const { return name_; }
    // False when no interface was given and none is usable, or the one given does not exist.
    bool found() const;
    // The current addresses, read from the kernel afresh (an address given by FORCEIP included).
    InterfaceState Read() const;
    // Gives the interface a new address, mask and gateway; false when the kernel refuses.
    bool Assign(uint32_t ip, uint32_t mask, uint32_t gateway);

  private:
    std::string name_;
    uint32_t gateway_ = 0;  // as given by the last FORCEIP; else read from the routing table
    bool gateway_assigned_ = false;
};

bool ParseMac(const std::string& text, std::array<uint8_t, 6>* mac);

}  // namespace vcam
