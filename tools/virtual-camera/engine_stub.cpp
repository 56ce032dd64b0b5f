// Stand-in for the streaming engine when the camera is built without it: channels are accepted and
// reported, but nothing is sent. Lets the control side be built and tested on its own.
#include <mutex>

#include "streaming/stream_engine.h"

namespace vcam {

struct StreamEngine::Impl {
    EngineOptions options;
    std::mutex lock;
    ChannelSettings channels[kStreamChannelCount];
    bool running[kStreamChannelCount] = {};
};

StreamEngine::StreamEngine(const EngineOptions& options) : impl_(std::make_unique<Impl>()) {
    impl_->options = options;
}
StreamEngine::~StreamEngine() = default;
bool StreamEngine::Ok() const { return true; }
uint16_t StreamEngine::SourcePort(uint32_t channel) const {
    return channel < kStreamChannelCount ? static_cast<uint16_t>(20202 + channel) : 0;
}
bool StreamEngine::Configure(uint32_t channel, const ChannelSettings& settings) {
    if (channel >= kStreamChannelCount || !SupportsFormat(settings.sensor, settings.pixel_format))
        return false;
    std::lock_guard guard(impl_->lock);
    impl_->channels[channel] = settings;
    return true;
}
ChannelSettings StreamEngine::Settings(uint32_t channel) const {
    std::lock_guard guard(impl_->lock);
    return channel < kStreamChannelCount ? impl_->channels[channel] : ChannelSettings{};
}
bool StreamEngine::Start(uint32_t channel, double, bool) {
    if (channel >= kStreamChannelCount) return false;
    std::lock_guard guard(impl_->lock);
    impl_->running[channel] = true;
    return true;
}
void StreamEngine::Stop(uint32_t channel) {
    std::lock_guard guard(impl_->lock);
    if (channel < kStreamChannelCount) impl_->running[channel] = false;
}
bool StreamEngine::Running(uint32_t channel) const {
    std::lock_guard guard(impl_->lock);
    return channel < kStreamChannelCount && impl_->running[channel];
}
void StreamEngine::SoftwareTrigger(uint32_t) {}
void StreamEngine::Resend(uint32_t, uint16_t, uint32_t, uint32_t) {}
bool StreamEngine::SendTestPacket(uint32_t, uint32_t) { return false; }
bool StreamEngine::SetFault(const std::string&, const std::string&) { return false; }
FaultSettings StreamEngine::Faults() const { return {}; }
void StreamEngine::SetNextBlockId(uint32_t, uint16_t) {}
ChannelCounters StreamEngine::Counters(uint32_t) const { return {}; }
void StreamEngine::SetClock(std::function<uint64_t()>) {}
uint32_t StreamEngine::CloudUnit() const { return impl_->options.cloud_unit; }

uint32_t StreamEngine::PayloadSize(uint32_t sensor, uint32_t width, uint32_t height, uint32_t pixel_format) {
    if (!SupportsFormat(sensor, pixel_format)) return 0;
    uint32_t bytes = (pixel_format >> 16) & 0xFF;  // bits per pixel
    return width * height * (bytes / 8);
}

bool StreamEngine::SupportsFormat(uint32_t sensor, uint32_t pixel_format) {
    switch (sensor) {
        case kSensorDepth:
            return pixel_format == kPixelCoord3D_ABC16;
        case kSensorColour:
            return pixel_format == kPixelBayerRG8 || pixel_format == kPixelYUV422_8 ||
                   pixel_format == kPixelRGB8 || pixel_format == kPixelRGB565p;
        case kSensorGrey:
            return pixel_format == kPixelMono8;
        default:
            return false;
    }
}

CalibrationBlock StreamEngine::Calibration(uint32_t sensor) {
    CalibrationBlock block{};
    float fx = 1000.0f, cx = 640.0f, cy = 512.0f;
    float intrinsic[9] = {fx, 0, cx, 0, fx, cy, 0, 0, 1};
    float rotation[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    std::copy(intrinsic, intrinsic + 9, block.intrinsic);
    std::copy(rotation, rotation + 9, block.rotation);
    block.translation[0] = sensor == kSensorDepth ? 0.0f : 50.0f * static_cast<float>(sensor);
    return block;
}

}  // namespace vcam
