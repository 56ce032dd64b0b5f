#pragma once
// The process's peak resident memory, measured around one piece of work: the kernel's high-water
// mark (VmHWM) is reset to the current resident size by writing 5 to /proc/self/clear_refs.

#include <cstddef>
#include <fstream>
#include <string>

namespace tavi::test {

class PeakMemory {
  public:
    // Starts a measurement; false when the kernel does not let the mark be reset.
    bool Start() {
        std::ofstream clear("/proc/self/clear_refs");
        clear << "5" << std::flush;
        if (!clear) return false;
        baseline_ = Field("VmRSS:");
        return baseline_ > 0;
    }
    // How far the resident memory rose above its size at Start, in bytes.
    size_t Rise() const {
        const size_t peak = Field("VmHWM:");
        return peak > baseline_ ? peak - baseline_ : 0;
    }

  private:
    static size_t Field(const std::string& name) {
        std::ifstream status("/proc/self/status");
        for (std::string word; status >> word;) {
            if (word == name) {
                size_t kilobytes = 0;
                status >> kilobytes;
                return kilobytes * 1024;
            }
        }
        return 0;
    }

    size_t baseline_ = 0;
};

}  // namespace tavi::test
