#include "system_settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tavi::cli {
namespace {

// An adapter name is one path component: anything that could leave the directory is refused.
bool SafeAdapterName(const std::string& name) {
    return !name.empty() && name.size() < 64 && name != "." && name != ".." &&
           name.find('/') == std::string::npos;
}

}  // namespace

std::optional<std::string> SystemSettings::Read(const std::string& path) const {
    std::string full = root_;
    if (full.empty() || full.back() != '/') full += '/';
    full += path;
    std::ifstream file(full);
    if (!file) return std::nullopt;
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::optional<int64_t> SystemSettings::ReadNumber(const std::string& path) const {
    const std::optional<std::string> text = Read(path);
    if (!text) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text->c_str(), &end, 10);
    if (errno != 0 || end == text->c_str()) return std::nullopt;
    return value;
}

std::optional<int64_t> SystemSettings::ReceiveBufferLimit() const {
    return ReadNumber("proc/sys/net/core/rmem_max");
}

std::optional<int> SystemSettings::ReversePathFilter(const std::string& adapter) const {
    if (!SafeAdapterName(adapter)) return std::nullopt;
    const std::optional<int64_t> all = ReadNumber("proc/sys/net/ipv4/conf/all/rp_filter");
    const std::optional<int64_t> own = ReadNumber("proc/sys/net/ipv4/conf/" + adapter + "/rp_filter");
    if (!all && !own) return std::nullopt;
    return static_cast<int>(std::max(all.value_or(0), own.value_or(0)));
}

std::optional<int> SystemSettings::Mtu(const std::string& adapter) const {
    if (!SafeAdapterName(adapter)) return std::nullopt;
    const std::optional<int64_t> mtu = ReadNumber("sys/class/net/" + adapter + "/mtu");
    if (!mtu || *mtu <= 0 || *mtu > 65536) return std::nullopt;
    return static_cast<int>(*mtu);
}

std::string SystemSettings::RouteTable() const { return Read("proc/net/route").value_or(""); }

}  // namespace tavi::cli
