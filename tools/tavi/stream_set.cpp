#include "stream_set.h"

#include <cstdio>
#include <cstdlib>

#include "camera/feature_access.h"
#include "camera_session.h"
#include "exit_codes.h"

namespace tavi::cli {

StreamSet::~StreamSet() {
    if (acquiring_) camera_.AcquisitionStop();
    for (OpenChannel& channel : channels_) {
        camera_.StreamOff(static_cast<unsigned short>(channel.index), channel.stream);
        std::free(channel.frame.data);
    }
}

OpenChannel* StreamSet::Find(unsigned index) {
    for (OpenChannel& channel : channels_) {
        if (channel.index == index) return &channel;
    }
    return nullptr;
}

int StreamSet::Open(unsigned index) {
    int payload = 0;
    const int read = ReadFeature(camera_, {"PayloadSize", FeatureOffset::kChannel, index}, &payload);
    if (read != 0 || payload <= 0) {
        std::fprintf(stderr, "tavi: the payload size of channel %u could not be read (%s)\n", index,
                     read != 0 ? ResultText(read).c_str() : "it reads 0");
        return read == TAVI_ERR_FEATURE_NOT_FOUND ? kExitFeature : kExitCameraRefused;
    }
    OpenChannel channel;
    channel.index = index;
    channel.payload_size = static_cast<uint32_t>(payload);
    // Room for the frame's conversion to RGB8 in place: a YUV422_8 frame (2 bytes a pixel) grows by half.
    const uint64_t capacity = uint64_t{channel.payload_size} + channel.payload_size / 2;
    channel.frame.data = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(capacity)));
    if (channel.frame.data == nullptr) {
        std::fprintf(stderr, "tavi: no memory for a %u-byte frame of channel %u\n", channel.payload_size,
                     index);
        return kExitCameraRefused;
    }
    const int opened = camera_.StreamOn(static_cast<unsigned short>(index), &channel.stream);
    if (opened != 0) {
        std::free(channel.frame.data);
        std::fprintf(stderr, "tavi: channel %u could not be opened (%s); run `tavi doctor`\n", index,
                     ResultText(opened).c_str());
        return kExitCameraRefused;
    }
    channels_.push_back(channel);
    return kExitOk;
}

int StreamSet::Start(const std::vector<unsigned>& channels) {
    for (const unsigned index : channels) {
        const int code = Open(index);
        if (code != kExitOk) return code;
    }
    const int started = camera_.AcquisitionStart();
    if (started != 0) {
        std::fprintf(stderr, "tavi: the camera did not start the acquisition (%s)\n",
                     ResultText(started).c_str());
        return kExitCameraRefused;
    }
    acquiring_ = true;
    return kExitOk;
}

}  // namespace tavi::cli
