// The flat functions on an open stream: capture, queue and receiver settings, and statistics. An
// empty slot (or a channel outside 0 to 2) gives -98, except where a function says otherwise.

#include "TaviSDK/FlatInterface.h"
#include "api/flat_guard.h"

using tavi::api::kNoCamera;
using tavi::api::kNoStream;
using tavi::api::OnStream;

namespace {

// Statistics outputs are written only where the caller gave a place for them.
void Store(unsigned int* output, unsigned int value) {
    if (output != nullptr) *output = value;
}

}  // namespace

extern "C" {

// ---- capture -------------------------------------------------------------------------------------
int Capture(int index, unsigned short channel, PhotoInfo* frame) {
    if (frame == nullptr) return kNoStream;
    return OnStream(__func__, index, channel, kNoStream, [&](GigeStream& s) { return s.Capture(frame); });
}
int TryCapture(int index, unsigned short channel, PhotoInfo* frame) {
    if (frame == nullptr) return kNoStream;
    return OnStream(__func__, index, channel, kNoStream, [&](GigeStream& s) { return s.TryCapture(frame); });
}
int TimeoutCapture(int index, unsigned short channel, PhotoInfo* frame, long long timeout_us) {
    if (frame == nullptr) return kNoStream;
    return OnStream(__func__, index, channel, kNoStream,
                    [&](GigeStream& s) { return s.TimeoutCapture(frame, timeout_us); });
}
void FlushBuffer(int index, unsigned short channel) {
    OnStream(__func__, index, channel, [](GigeStream& s) { s.FlushBuffer(); });
}

// ---- settings ------------------------------------------------------------------------------------
float GetBlockRate(int index, unsigned short channel) {
    return OnStream(__func__, index, channel, static_cast<float>(kNoStream),
                    [](GigeStream& s) { return s.GetBlockRate(); });
}
double GetPacketResendRatio(int index, unsigned short channel) {
    return OnStream(__func__, index, channel, static_cast<double>(kNoStream),
                    [](GigeStream& s) { return s.GetPacketResendRatio(); });
}
int GetMaxBufferLength(int index, unsigned short channel) {
    return OnStream(__func__, index, channel, kNoStream,
                    [](GigeStream& s) { return s.GetMaxBufferLength(); });
}
int GetNetSpeed(int index, unsigned short channel) {
    return OnStream(__func__, index, channel, kNoStream, [](GigeStream& s) { return s.GetNetSpeed(); });
}
int GetPacketTimeout(int index, unsigned short channel) {
    return OnStream(__func__, index, channel, kNoStream, [](GigeStream& s) { return s.GetPacketTimeout(); });
}
int GetSocketSelectTimeout(int index, unsigned short channel) {
    return OnStream(__func__, index, channel, kNoStream,
                    [](GigeStream& s) { return s.GetSocketSelectTimeout(); });
}
// Callers of this one have always seen the missing-camera code for an empty slot.
int GetBlockTimeout(int index, unsigned short channel) {
    return OnStream(__func__, index, channel, kNoCamera, [](GigeStream& s) { return s.GetBlockTimeout(); });
}
int SetBlockTimeout(int index, unsigned short channel, unsigned int timeout_us) {
    return OnStream(__func__, index, channel, kNoStream,
                    [&](GigeStream& s) { return s.SetBlockTimeout(timeout_us); });
}
int SetMaxBufferLength(int index, unsigned short channel, unsigned int length) {
    return OnStream(__func__, index, channel, kNoStream,
                    [&](GigeStream& s) { return s.SetMaxBufferLength(length); });
}
int SetPacketTimeout(int index, unsigned short channel, unsigned int timeout_us) {
    return OnStream(__func__, index, channel, kNoStream,
                    [&](GigeStream& s) { return s.SetPacketTimeout(timeout_us); });
}
int SetSocketSelectTimeout(int index, unsigned short channel, unsigned int timeout_us) {
    return OnStream(__func__, index, channel, kNoStream,
                    [&](GigeStream& s) { return s.SetSocketSelectTimeout(timeout_us); });
}
int SetPacketResendRatio(int index, unsigned short channel, double ratio) {
    return OnStream(__func__, index, channel, kNoStream,
                    [&](GigeStream& s) { return s.SetPacketResendRatio(ratio); });
}
int GetResendRequest(int index, int channel) {
    return OnStream(__func__, index, channel, kNoStream,
                    [](GigeStream& s) { return s.GetPacketResendFlag(); });
}
void SetResendRequest(int index, int channel, unsigned int on) {
    OnStream(__func__, index, channel, [&](GigeStream& s) { s.SetPacketResendFlag(on); });
}

// ---- statistics ----------------------------------------------------------------------------------
void GetBlockStatistics(int index, unsigned short channel, unsigned int* complete, unsigned int* incomplete,
                        unsigned int* timed_out, unsigned int* not_stored, unsigned int* flushed,
                        unsigned int* id_jumps, unsigned int* error_packet, unsigned int* truncated) {
    unsigned int counts[8] = {};
    OnStream(__func__, index, channel, [&](GigeStream& s) {
        s.GetBlockStatistics(&counts[0], &counts[1], &counts[2], &counts[3], &counts[4], &counts[5],
                             &counts[6], &counts[7]);
    });
    unsigned int* outputs[8] = {complete, incomplete, timed_out,    not_stored,
                                flushed,  id_jumps,   error_packet, truncated};
    for (int k = 0; k < 8; ++k) Store(outputs[k], counts[k]);
}

void GetPacketStatistics(int index, unsigned short channel, unsigned int* received, unsigned int* missing,
                         unsigned int* format_errors, unsigned int* unused, unsigned int* resend_requested,
                         unsigned int* resent_received, unsigned int* duplicates) {
    unsigned int counts[7] = {};
    OnStream(__func__, index, channel, [&](GigeStream& s) {
        s.GetPacketStatistics(&counts[0], &counts[1], &counts[2], &counts[3], &counts[4], &counts[5],
                              &counts[6]);
    });
    unsigned int* outputs[7] = {received,         missing,         format_errors, unused,
                                resend_requested, resent_received, duplicates};
    for (int k = 0; k < 7; ++k) Store(outputs[k], counts[k]);
}

void GetRecieveTimeStatistics(int index, unsigned short channel, StatisticsData* statistics) {
    if (statistics == nullptr) return;
    OnStream(__func__, index, channel, [&](GigeStream& s) { s.GetRecieveTimeStatistics(statistics); });
}

}  // extern "C"
