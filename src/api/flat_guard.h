#pragma once
// The one path of every flat function to its object: look the camera (or stream) up, answer the
// function's fixed result when it is missing, otherwise run the work so that no exception leaves
// the library (one would become the same fixed result and a line in the camera's log).

#include <type_traits>

#include "api/flat_state.h"
#include "common/no_throw.h"

namespace tavi::api {

// The result type is the work's; the missing result is converted to it.
template <typename Missing, typename Work, typename Result = std::invoke_result_t<Work, GigeCamera&>>
Result OnCamera(const char* function, int index, Missing missing, Work&& work) noexcept {
    GigeCamera* camera = CameraAt(index);
    if (camera == nullptr) return static_cast<Result>(missing);
    return NoThrow(&camera->log, function, static_cast<Result>(missing),
                   [&]() -> Result { return work(*camera); });
}

template <typename Work>
void OnCamera(const char* function, int index, Work&& work) noexcept {
    GigeCamera* camera = CameraAt(index);
    if (camera == nullptr) return;
    NoThrow(&camera->log, function, [&] { work(*camera); });
}

template <typename Missing, typename Work, typename Result = std::invoke_result_t<Work, GigeStream&>>
Result OnStream(const char* function, int index, int channel, Missing missing, Work&& work) noexcept {
    GigeStream* stream = StreamAt(index, channel);
    if (stream == nullptr) return static_cast<Result>(missing);
    return NoThrow(&CameraAt(index)->log, function, static_cast<Result>(missing),
                   [&]() -> Result { return work(*stream); });
}

template <typename Work>
void OnStream(const char* function, int index, int channel, Work&& work) noexcept {
    GigeStream* stream = StreamAt(index, channel);
    if (stream == nullptr) return;
    NoThrow(&CameraAt(index)->log, function, [&] { work(*stream); });
}

// Work on the process-wide state itself (the discovery list and the Discovery object).
template <typename Failure, typename Work, typename Result = std::invoke_result_t<Work, FlatState&>>
Result OnState(const char* function, Failure on_failure, Work&& work) noexcept {
    FlatState& state = State();
    return NoThrow(&state.discovery.log, function, static_cast<Result>(on_failure),
                   [&]() -> Result { return work(state); });
}

// The result code every flat function gives for a missing camera, and for a missing stream.
inline constexpr int kNoCamera = TAVI_ERR_FLAT_NO_CAMERA;
inline constexpr int kNoStream = TAVI_ERR_FLAT_NO_STREAM;

}  // namespace tavi::api
