#pragma once
// Shared set-up of the engine tests: an engine without noise or pacing on loopback, aimed at a
// listener, and the calls that fetch one or more blocks from it.

#include <gtest/gtest.h>

#include "streaming/stream_engine.h"
#include "streaming_reader.h"

namespace vcam_test {

inline vcam::EngineOptions QuietOptions() {
    vcam::EngineOptions options;
    options.noise = 0;
    options.outlier_ratio = 0;
    options.bandwidth_bits_per_s = 0;
    options.bind_ip = kLoopback;
    return options;
}

inline vcam::ChannelSettings View(uint32_t sensor, uint32_t pixel_format, uint32_t width, uint32_t height,
                                  uint32_t offset_x = 0, uint32_t offset_y = 0, uint32_t packet_size = 9000) {
    vcam::ChannelSettings settings;
    settings.sensor = sensor;
    settings.pixel_format = pixel_format;
    settings.width = width;
    settings.height = height;
    settings.offset_x = offset_x;
    settings.offset_y = offset_y;
    settings.packet_size = packet_size;
    return settings;
}

// Aims a channel at the listener and starts it in trigger mode; false when the engine refuses.
inline bool StartTriggered(vcam::StreamEngine& engine, const Listener& listener, uint32_t channel,
                           vcam::ChannelSettings settings) {
    settings.dest_ip = kLoopback;
    settings.dest_port = listener.port();
    return engine.Configure(channel, settings) && engine.Start(channel, 10, true);
}

inline void Fire(vcam::StreamEngine& engine, uint32_t channel, size_t triggers) {
    for (size_t i = 0; i < triggers; ++i) engine.SoftwareTrigger(channel);
}

class EngineTest : public ::testing::Test {
  protected:
    explicit EngineTest(const vcam::EngineOptions& options = QuietOptions()) : engine_(options) {}

    void Aim(uint32_t channel, vcam::ChannelSettings settings) {
        settings.dest_ip = kLoopback;
        settings.dest_port = listener_.port();
        ASSERT_TRUE(engine_.Configure(channel, settings));
    }

    // Starts the channel in trigger mode and fires `count` software triggers.
    void Trigger(uint32_t channel, size_t count) {
        ASSERT_TRUE(engine_.Start(channel, 10, true));
        Fire(engine_, channel, count);
    }

    std::vector<Block> CaptureBlocks(uint32_t channel, size_t count) {
        Trigger(channel, count);
        return Assemble(listener_.ReceiveBlocks(count));
    }

    // One complete block of the channel as configured.
    Block CaptureOne(uint32_t channel, const vcam::ChannelSettings& settings) {
        Aim(channel, settings);
        std::vector<Block> blocks = CaptureBlocks(channel, 1);
        engine_.Stop(channel);
        if (blocks.size() != 1 || !blocks[0].complete()) {
            ADD_FAILURE() << "no complete block on channel " << channel;
            return {};
        }
        return blocks[0];
    }

    vcam::StreamEngine engine_;
    Listener listener_;
};

}  // namespace vcam_test
