#pragma once
// The stream channels one command reads: each opened with a frame buffer of its payload size, the
// acquisition started once all are open, and everything stopped, closed and freed at the end.

#include <cstdint>
#include <vector>

#include "TaviSDK/GigeCamera.h"
#include "TaviSDK/GigeStream.h"

namespace tavi::cli {

struct OpenChannel {
    unsigned index = 0;
    GigeStream* stream = nullptr;
    PhotoInfo frame{};  // `frame.data` is a C-heap block the set frees (a Bayer conversion may replace it)
    uint32_t payload_size = 0;
};

class StreamSet {
  public:
    explicit StreamSet(GigeCamera& camera) : camera_(camera) {}
    ~StreamSet();
    StreamSet(const StreamSet&) = delete;
    StreamSet& operator=(const StreamSet&) = delete;

    // Opens every channel and starts the acquisition; on failure prints why and returns the exit code.
    int Start(const std::vector<unsigned>& channels);
    std::vector<OpenChannel>& channels() { return channels_; }
    OpenChannel* Find(unsigned index);

  private:
    int Open(unsigned index);

    GigeCamera& camera_;
    std::vector<OpenChannel> channels_;
    bool acquiring_ = false;
};

}  // namespace tavi::cli
