// The heartbeat thread, which keeps control of a connected camera and notices when it is gone, and
// the heartbeat time-out accessors.

#include <algorithm>
#include <chrono>

#include "TaviSDK/GigeCamera.h"
#include "net/gvcp_protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

// Short time-outs would give a period of zero or less; the thread still pauses this long.
constexpr int kMinimumPeriodMs = 100;

// The CCP is read three times per time-out, 500 ms early, to stay ahead of the camera's clock.
int HeartbeatPeriodMs(int timeout_ms) { return std::max(timeout_ms / 3 - 500, kMinimumPeriodMs); }

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

void GigeCamera::HeartbeatPause(int milliseconds) {
    std::unique_lock<std::mutex> pause(heartbeat_pause_lock);
    heartbeat_wake.wait_for(pause, std::chrono::milliseconds(milliseconds),
                            [this] { return connected.load() == 0; });
}

void GigeCamera::DeclareLost() {
    camera_lost = true;  // before the flag that callers look at
    connected = 0;
}

unsigned int GigeCamera::HeartBeat(void* argument) {
    auto* camera = static_cast<GigeCamera*>(argument);
    cameralog* log = &camera->log;
    Clock::time_point last_ok = Clock::now();
    int timeout = 0;
    const int code = camera->ReadRegister(tavi::gvcp::kRegHeartbeatTimeout, &timeout);
    if (code != 0) {
        TAVI_LOG_INFO(log, "[function:HeartBeat] Read the camera heart beat error. error code: %x.", code);
        return static_cast<unsigned int>(code);
    }
    camera->heartbeat_timeout = timeout;
    if (timeout < 0) {
        camera->DeclareLost();
        TAVI_LOG_INFO(log, "[function:HeartBeat] The camera heart beat timeout.");
        return 0;
    }
    int period = HeartbeatPeriodMs(timeout);
    while (camera->connected.load() != 0) {
        int ccp = 0;
        const int read = camera->ReadRegister(tavi::gvcp::kRegCcp, &ccp);
        if (read == TAVI_ERR_READ_REGISTER) {
            camera->DeclareLost();
            TAVI_LOG_INFO(log, "[function:HeartBeat] The PC does not receive camera data.");
            return 0;
        }
        const long long allowed = camera->heartbeat_timeout.load();
        if (read == 0 && ccp == static_cast<int>(tavi::gvcp::kCcpControlAccess)) {
            // `connected` is left alone: a disconnect may have cleared it meanwhile, and setting it
            // again would keep this thread alive for ever.
            last_ok = Clock::now();
        } else if (read == 0 && MillisecondsSince(last_ok) >= allowed) {
            camera->DeclareLost();
            TAVI_LOG_INFO(log, "[function:HeartBeat] The camera receive data heart beat timeout.");
            return 0;
        } else if (MillisecondsSince(last_ok) >= allowed) {
            camera->DeclareLost();
            TAVI_LOG_INFO(log, "[function:HeartBeat] The camera has timed out while receiving data.");
            return 0;
        }
        camera->HeartbeatPause(period);
        period = HeartbeatPeriodMs(camera->heartbeat_timeout.load());
    }
    TAVI_LOG_INFO(log, "[function:HeartBeat] The camera diconnect.");
    return 0;
}

int GigeCamera::GetHeartBeatTimeout() {
    if (connected.load() == 0) {
        TAVI_LOG_ERROR(&log, "[function:GetHeartBeatTimeout] The camera is disconnect.");
        return TAVI_ERR_NOT_CONNECTED;
    }
    int timeout = 0;
    const int code = ReadRegister(tavi::gvcp::kRegHeartbeatTimeout, &timeout);
    if (code != 0) {
        TAVI_LOG_ERROR(&log, "[function:GetHeartBeatTimeout] Failed to read register. error code: %x.", code);
        return code;
    }
    if (timeout > 0) return timeout;
    TAVI_LOG_ERROR(&log, "[function:GetHeartBeatTimeout] Failed to get the camera heartbeat timeout.");
    return TAVI_ERR_HEARTBEAT_READ;
}

int GigeCamera::SetHeartBeatTimeout(int timeout) {
    if (connected.load() == 0) {
        TAVI_LOG_ERROR(&log, "[function:SetHeartBeatTimeout] The camera is disconnect.");
        return TAVI_ERR_NOT_CONNECTED;
    }
    const int max = GetNodeMaxValue("GevHeartbeatTimeout");
    const int min = GetNodeMinValue("GevHeartbeatTimeout");
    if (max < 0 || min < 0) {
        TAVI_LOG_ERROR(
            &log,
            "[function:SetHeartBeatTimeout] Failed to set the camera heartbeat timeout due to the MAX or "
            "the MIN is invalid.");
        return TAVI_ERR_HEARTBEAT_LIMITS;
    }
    if (timeout < min || timeout > max) {
        TAVI_LOG_ERROR(
            &log,
            "[function:SetHeartBeatTimeout] Failed to set the camera heartbeat timeout due to parameter "
            "error.");
        return TAVI_ERR_INVALID_ARGUMENT;
    }
    const int code = WriteRegister(tavi::gvcp::kRegHeartbeatTimeout, timeout);
    if (code != 0) {
        TAVI_LOG_ERROR(
            &log,
            "[function:SetHeartBeatTimeout] Failed to set the camera heartbeat timeout due to write "
            "register error.");
        return code;
    }
    heartbeat_timeout = timeout;
    return 0;
}
