#pragma once
// The PC's system-wide settings that the doctor reads, from a root directory: "/" on a real system, a
// tree of their own in tests, so that the checks are tried with any value without changing the host.

#include <cstdint>
#include <optional>
#include <string>

namespace tavi::cli {

class SystemSettings {
  public:
    explicit SystemSettings(std::string root = "/") : root_(std::move(root)) {}

    // net.core.rmem_max: the largest receive buffer an unprivileged socket may ask for, in bytes.
    std::optional<int64_t> ReceiveBufferLimit() const;
    // The reverse-path filter in force on the adapter: the kernel applies the larger of the
    // adapter's value and the one for all adapters (0 off, 1 strict, 2 loose).
    std::optional<int> ReversePathFilter(const std::string& adapter) const;
    std::optional<int> Mtu(const std::string& adapter) const;
    // The IPv4 routing table in the /proc/net/route format; empty when it cannot be read.
    std::string RouteTable() const;

    const std::string& root() const { return root_; }

  private:
    std::optional<std::string> Read(const std::string& path) const;
    std::optional<int64_t> ReadNumber(const std::string& path) const;

    std::string root_;
};

}  // namespace tavi::cli
