#pragma once
// The library reports failures by codes, never by exceptions: an operation whose work can throw
// (memory running out while a container grows, a library below failing) runs through NoThrow,
// which turns any exception into the operation's failure result and one log line.

#include <exception>

#include "TaviSDK/CameraLog.h"

namespace tavi {

template <typename Result, typename Work>
Result NoThrow(cameralog* log, const char* function, Result on_failure, Work&& work) noexcept {
    try {
        return work();
    } catch (const std::exception& error) {
        TAVI_LOG_ERROR(log, "[function:%s] Failed: %.120s", function, error.what());
    } catch (...) {
        TAVI_LOG_ERROR(log, "[function:%s] Failed with an unknown error.", function);
    }
    return on_failure;
}

// The same for an operation without a result.
template <typename Work>
void NoThrow(cameralog* log, const char* function, Work&& work) noexcept {
    NoThrow(log, function, 0, [&] {
        work();
        return 0;
    });
}

}  // namespace tavi
