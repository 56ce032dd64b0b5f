// The stream receiver's per-datagram steps driven as the receive loop drives them, with datagrams
// split from the input: leaders, payloads and trailers whose ids, formats, sizes and statuses lie.
//
// Every delivered frame is checked as a consumer would size it: its geometry fits its payload.
//
// Input: a settings head, then records of [step][length: 2 bytes][datagram]. The step's low six
// bits advance the clock (its top two bits pick the unit: 1 us, 1 ms, 10 ms or 100 ms), or, when they
// are all set, let a caller capture every ready frame, hand its buffer back and set the pool's size
// to 1 + the top two bits.
// Frames are small (payload at most 8 KiB) so that one run stays fast.

#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "stream/block_assembler.h"
#include "stream/gvsp_protocol.h"
#include "stream/image_size.h"

namespace {

using namespace tavi::stream;
using tavi::fuzz::Expect;
using tavi::fuzz::FuzzInput;

constexpr uint32_t kMaxPayloadSize = 8192;
constexpr uint32_t kMaxPacketPayload = 9000;
constexpr uint16_t kMaxDatagram = 9100;
constexpr uint8_t kCaptureStep = 0x3F;
constexpr int64_t kStepUnitsUs[4] = {1, 1000, 10000, 100000};

AssemblerConfig ConfigFrom(FuzzInput& in, cameralog* log) {
    AssemblerConfig config;
    config.info.payload_size = in.U16() % (kMaxPayloadSize + 1);
    config.info.width = in.U16();
    config.info.height = in.U16();
    config.info.size_x = config.info.width;
    config.info.size_y = config.info.height;
    config.info.pixel_format = 0x023000B9;
    config.info.cloud_unit = in.U8();
    config.channel_index = in.U8() & 3;
    // The stream never runs with a packet payload of 0 (it falls back to a default).
    config.packet_payload_size = 1 + in.U16() % kMaxPacketPayload;
    config.tick_frequency = (in.U8() & 1) != 0 ? 1000000000 : 0;
    config.log = log;
    return config;
}

void SettingsFrom(FuzzInput& in, StreamSettings& settings) {
    const uint8_t bits = in.U8();
    settings.max_buffer_length = 1 + (bits & 3);
    settings.packet_resend_flag = (bits >> 2) & 1;
    settings.packet_resend_ratio = ((bits >> 3) & 7) * 0.25;
    settings.packet_timeout_us = 1000u * (1 + in.U8());
    settings.block_timeout_us = 1000u * (1 + in.U16() % 2000);
}

// What a capture checks of a delivered frame, and then gives the buffer back as Capture does.
void CaptureReadyFrames(StreamShared& shared, const AssemblerConfig& config, uint32_t* delivered) {
    while (FrameBuffer* buffer = shared.ready_queue.TryTake()) {
        const PhotoInfo& frame = buffer->frame;
        Expect(frame.data != nullptr, "a delivered frame has a pixel area");
        Expect(frame.payload_size == config.info.payload_size, "a frame keeps the stream's payload size");
        Expect(frame.channel_index == config.channel_index, "a frame names its channel");
        Expect(frame.reserved != kBlockInProgress, "a delivered frame is finished");
        Expect(ImageFitsPayload(frame.pixel_format, frame.size_x, frame.size_y, frame.payload_size) &&
                   ImageFitsPayload(frame.pixel_format, frame.width, frame.height, frame.payload_size),
               "a frame's geometry fits its payload");
        // The whole pixel area is the receiver's own allocation: reading it must be safe.
        volatile uint8_t sink = 0;
        for (uint32_t i = 0; i < frame.payload_size; i += 61) sink = sink + frame.data[i];
        ++*delivered;
        shared.free_queue.Put(buffer);
    }
}

void ExpectCountersAddUp(StreamShared& shared, uint32_t delivered) {
    const BlockCounters& blocks = shared.blocks;
    Expect(blocks.complete.Get() + blocks.incomplete.Get() + blocks.flushed.Get() == delivered,
           "every delivered frame is counted once");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    cameralog log;
    tavi::fuzz::LogEverythingTo(&log);
    auto shared = std::make_unique<StreamShared>();
    const AssemblerConfig config = ConfigFrom(in, &log);
    SettingsFrom(in, shared->settings);
    uint32_t delivered = 0;
    {
        BlockAssembler assembler(*shared, config);
        assembler.set_peers(StreamPeers{});  // no sockets: resend requests and firewall datagrams fail
        int64_t now = 1'000'000'000;
        while (!in.empty()) {
            const uint8_t step = in.U8();
            if ((step & 0x3F) == kCaptureStep) {
                CaptureReadyFrames(*shared, config, &delivered);
                // A caller may change the pool's size while the stream runs.
                shared->settings.max_buffer_length = 1 + (step >> 6);
                continue;
            }
            now += (step & 0x3F) * kStepUnitsUs[step >> 6];
            const size_t length = in.U16() % (kMaxDatagram + 1);
            const auto bytes = in.Take(length);
            // An exact copy, so that any read past the datagram's end is caught.
            std::vector<uint8_t> datagram(bytes.begin(), bytes.end());
            StreamBlock* block =
                assembler.process_packet(datagram.data(), static_cast<int>(datagram.size()), now);
            assembler.check_block_complete(block, now);
            Expect(assembler.open_blocks() <= assembler.buffer_count(), "every open block holds a buffer");
        }
        assembler.flush_blocks(now);
        Expect(assembler.open_blocks() == 0, "a flush delivers every open block");
        CaptureReadyFrames(*shared, config, &delivered);
        ExpectCountersAddUp(*shared, delivered);
        assembler.free_queued_buffers();
        Expect(assembler.buffer_count() == 0, "every buffer is freed");
    }
    return 0;
}
