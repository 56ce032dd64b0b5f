// The heartbeat thread, which keeps control of a connected camera and notices when it is gone, and
// the heartbeat time-out accessors.

#include "camera/heartbeat.h"

#include <algorithm>

#include "TaviSDK/GigeCamera.h"
#include "net/gvcp_protocol.h"

namespace tavi {

namespace {

// Short time-outs would give a period of zero or less; the thread still pauses this long.
constexpr int kMinimumPeriodMs = 100;
// The time-out every GigE Vision camera starts with, for a camera that will not tell its own.
constexpr int kDefaultTimeoutMs = 3000;

}  // namespace

Heartbeat::Heartbeat(ReadRegisterFn read_register, std::atomic<int>& connected, std::atomic<int>& timeout,
                     cameralog* log)
    : read_register_(std::move(read_register)), connected_(connected), timeout_(timeout), log_(log) {}

// The CCP is read three times per time-out, 500 ms early, to stay ahead of the camera's clock.
int Heartbeat::PeriodMs(int timeout_ms) { return std::max(timeout_ms / 3 - 500, kMinimumPeriodMs); }

Heartbeat::Clock::time_point Heartbeat::Now() const { return time_.now ? time_.now() : Clock::now(); }

void Heartbeat::Pause(std::chrono::milliseconds period) {
    if (time_.pause) {
        time_.pause(period);
        return;
    }
    std::unique_lock<std::mutex> pause(pause_lock_);
    wake_.wait_for(pause, period, [this] { return connected_.load() == 0; });
}

void Heartbeat::Wake() {
    {
        // Taking the pause lock orders the cleared flag before the thread's next look at it.
        std::lock_guard<std::mutex> pause(pause_lock_);
    }
    wake_.notify_all();
}

void Heartbeat::Lose(const char* message) {
    // Those told of the loss hear of it before callers see `connected` cleared.
    if (on_lost_) on_lost_();
    connected_ = 0;
    TAVI_LOG_INFO(log_, "%s", message);
}

Heartbeat::Verdict Heartbeat::Beat(Clock::time_point* last_ok) {
    int ccp = 0;
    const int read = read_register_(gvcp::kRegCcp, &ccp);
    if (read == TAVI_ERR_READ_REGISTER) {
        Lose("[function:HeartBeat] The PC does not receive camera data.");
        return Verdict::kLost;
    }
    if (read == 0 && ccp == static_cast<int>(gvcp::kCcpControlAccess)) {
        // `connected` is left alone: a disconnect may have cleared it meanwhile, and setting it
        // again would keep this thread alive for ever.
        *last_ok = Now();
        return Verdict::kAlive;
    }
    const auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(Now() - *last_ok);
    if (silent.count() < static_cast<long long>(timeout_.load())) return Verdict::kAlive;
    // An answer without control, or a device status in place of one, for a whole time-out.
    Lose(read == 0 ? "[function:HeartBeat] The camera receive data heart beat timeout."
                   : "[function:HeartBeat] The camera has timed out while receiving data.");
    return Verdict::kLost;
}

unsigned int Heartbeat::Run() {
    Clock::time_point last_ok = Now();
    int timeout = 0;
    const int code = read_register_(gvcp::kRegHeartbeatTimeout, &timeout);
    if (code != 0) {
        TAVI_LOG_INFO(log_, "[function:HeartBeat] Read the camera heart beat error. error code: %x.", code);
        // Ending here would leave a connection that nobody keeps: the camera drops control after
        // its time-out while the caller still sees it connected. A camera that does not answer is
        // lost, as it would be at any beat; one that refuses the read is kept at the default.
        if (code == TAVI_ERR_READ_REGISTER) {
            Lose("[function:HeartBeat] The PC does not receive camera data.");
            return static_cast<unsigned int>(code);
        }
        timeout = kDefaultTimeoutMs;
    }
    timeout_ = timeout;
    if (timeout < 0) {
        Lose("[function:HeartBeat] The camera heart beat timeout.");
        return 0;
    }
    int period = PeriodMs(timeout);
    while (connected_.load() != 0) {
        if (Beat(&last_ok) == Verdict::kLost) return 0;
        Pause(std::chrono::milliseconds(period));
        period = PeriodMs(timeout_.load());
    }
    TAVI_LOG_INFO(log_, "[function:HeartBeat] The camera diconnect.");
    return 0;
}

}  // namespace tavi

unsigned int GigeCamera::HeartBeat(void* camera) {
    return static_cast<GigeCamera*>(camera)->heartbeat_->Run();
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
