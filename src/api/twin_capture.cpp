// The managed-caller twins of the stream functions: captures into a flat header and a byte buffer,
// and the receive-time histogram as a header and a bucket array.

#include <algorithm>
#include <cstring>
#include <memory>

#include "TaviSDK/FlatInterface.h"
#include "api/flat_guard.h"
#include "api/stream_frame_size.h"
#include "api/twin_frame.h"

using tavi::api::kNoStream;
using tavi::api::OnStream;
using tavi::api::PrivateFrame;

namespace {

// Captures into a zeroed private frame large enough for any frame of the stream, then hands the
// header and the first `length` bytes to the caller. A failed capture hands over zeros, so a
// payload_size of 0 tells the caller that no frame came; the result is 0 either way.
template <typename Take>
int CaptureTwin(const char* function, int index, unsigned short channel, PhotoInfoCSharp* header,
                void* buffer, int length, Take&& take) {
    if (header == nullptr || !tavi::api::UsableOutput(buffer, length)) return kNoStream;
    return OnStream(function, index, channel, kNoStream, [&](GigeStream& stream) {
        const size_t wanted = static_cast<size_t>(length);
        PrivateFrame frame;
        if (!frame.Zeroed(std::max<size_t>(wanted, tavi::api::StreamFrameSize::Of(stream)))) {
            return static_cast<int>(TAVI_ERR_CAPTURE);
        }
        if (take(stream, &frame.frame()) != 0) {
            if (wanted > 0) std::memset(buffer, 0, wanted);
            *header = PhotoInfoCSharp{};
            return 0;
        }
        if (wanted > 0) std::memcpy(buffer, frame.frame().data, wanted);
        tavi::api::FrameToHeader(frame.frame(), header);
        return 0;
    });
}

}  // namespace

extern "C" {

int CaptureCSharp(int index, unsigned short channel, PhotoInfoCSharp* header, void* buffer, int length) {
    return CaptureTwin(__func__, index, channel, header, buffer, length,
                       [](GigeStream& s, PhotoInfo* frame) { return s.Capture(frame); });
}

int TryCaptureCSharp(int index, unsigned short channel, PhotoInfoCSharp* header, void* buffer, int length) {
    return CaptureTwin(__func__, index, channel, header, buffer, length,
                       [](GigeStream& s, PhotoInfo* frame) { return s.TryCapture(frame); });
}

int TimeoutCaptureCSharp(int index, unsigned short channel, PhotoInfoCSharp* header, void* buffer, int length,
                         long long timeout_us) {
    return CaptureTwin(__func__, index, channel, header, buffer, length,
                       [&](GigeStream& s, PhotoInfo* frame) { return s.TimeoutCapture(frame, timeout_us); });
}

void GetRecieveTimeStatisticsCSharp(int index, unsigned short channel, StatisticsHeaderCSharp* header,
                                    void* buckets) {
    if (header == nullptr) return;
    OnStream(__func__, index, channel, [&](GigeStream& stream) {
        auto statistics = std::make_unique<StatisticsData>();
        stream.GetRecieveTimeStatistics(statistics.get());
        header->range_start = statistics->range_start;
        header->bucket_width = statistics->bucket_width;
        header->bucket_count = statistics->bucket_count;
        header->max_time = statistics->max_time;
        header->min_time = statistics->min_time;
        header->sample_count = statistics->sample_count;
        header->above_count = statistics->above_count;
        header->below_count = statistics->below_count;
        const int count = std::clamp(statistics->bucket_count, 0, kStatisticsBucketSlots);
        if (buckets != nullptr) {
            std::memcpy(buckets, statistics->buckets,
                        static_cast<size_t>(count) * sizeof(statistics->buckets[0]));
        }
    });
}

}  // extern "C"
