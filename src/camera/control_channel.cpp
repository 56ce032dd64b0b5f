// The GVCP register and memory transport: one command out, the camera's acknowledge of it back.

#include "camera/control_channel.h"

#include <atomic>
#include <thread>

#include "TaviSDK/Types.h"
#include "net/gvcp_ack.h"
#include "net/gvcp_protocol.h"
#include "net/udp_socket.h"

namespace tavi {

namespace {

constexpr int kAttempts = 3;
constexpr std::chrono::milliseconds kRegisterRetryPause{1000};
constexpr std::chrono::milliseconds kMemoryRetryPause{200};
constexpr size_t kDrainBufferSize = 576;

// The code a register read gives for a device status: the status in the upper half, and 0xFFFF
// below it for an error status so that the code is negative.
int ReadStatusCode(uint16_t status) {
    const uint32_t low = (status & 0x0080) != 0 ? 0xFFFFu : 0u;
    return static_cast<int>((static_cast<uint32_t>(status) << 16) | low);
}

uint16_t StatusOf(const uint8_t* ack, int received) {
    return gvcp::GetU16(ack, static_cast<size_t>(received), gvcp::kAckStatus);
}

void SleepFor(std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); }

}  // namespace

ControlChannel::ControlChannel(ControlEndpoint endpoint, cameralog* log)
    : endpoint_(endpoint), log_(log), retry_pause_(SleepFor) {}

int ControlChannel::Open(uint32_t pc_ip) {
    const int socket = open_udp_socket();
    if (socket < 0) return TAVI_ERR_SOCKET_CREATE;
    net::SetReceiveTimeout(socket, static_cast<int>(kReceiveTimeout.count()));
    if (bind_udp_socket(socket, pc_ip, 0) < 0) {
        net::close_udp_socket(socket);
        return TAVI_ERR_SOCKET_BIND;
    }
    endpoint_.socket = socket;
    lost_ = false;
    return 0;
}

void ControlChannel::Close() {
    if (endpoint_.socket >= 0) net::close_udp_socket(endpoint_.socket);
    endpoint_.socket = -1;
}

uint16_t ControlChannel::NextRequestId() {
    std::atomic_ref<uint16_t> counter(endpoint_.request_id);
    uint16_t current = counter.load();
    while (!counter.compare_exchange_weak(current, gvcp::NextRequestId(current))) {
    }
    return gvcp::NextRequestId(current);
}

void ControlChannel::Drain(int socket) {
    uint8_t scratch[kDrainBufferSize];
    while (net::WaitReadable(socket, 0)) {
        // A datagram larger than the scratch buffer is dropped by the receive all the same.
        receive_udp(socket, scratch, sizeof scratch);
    }
}

int ControlChannel::SendAndReceive(int socket, uint32_t camera_ip, const uint8_t* request,
                                   size_t request_size, uint8_t* ack, size_t ack_capacity, int* ignored,
                                   int timeout_ms) {
    gvcp::ExpectedAck expected;
    expected.sources[0] = camera_ip;
    expected.ack_code = static_cast<uint16_t>(gvcp::GetU16(request, request_size, gvcp::kCmdCommand) + 1);
    expected.ack_id = gvcp::GetU16(request, request_size, gvcp::kCmdRequestId);
    Drain(socket);
    send_udp(socket, camera_ip, gvcp::kPort, request, static_cast<int>(request_size));
    int strays = 0;
    const int received = gvcp::ReceiveExpectedAck(socket, ack, ack_capacity, expected, timeout_ms, &strays);
    if (ignored != nullptr) *ignored += strays;
    return received;
}

int ControlChannel::Exchange(const uint8_t* request, size_t request_size, uint8_t* ack, size_t ack_capacity,
                             size_t success_size, std::chrono::milliseconds retry_pause) {
    // A camera the heartbeat declared lost is asked once, without a pause after it.
    const int attempts = lost_.load() ? 1 : kAttempts;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        int received = -1;
        int strays = 0;
        {
            std::lock_guard<std::mutex> exchange(endpoint_.lock);
            // No socket outside a connection: the attempt fails like an unanswered one.
            if (endpoint_.socket >= 0) {
                received = SendAndReceive(endpoint_.socket, endpoint_.camera_ip, request, request_size, ack,
                                          ack_capacity, &strays, receive_timeout_ms_.load());
            }
        }
        if (strays > 0) {
            ignored_ += strays;
            TAVI_LOG_WARNING(
                log_,
                "[function:GvcpExchange] Ignored %d datagrams that were not the camera's answer to "
                "request %u.",
                strays, gvcp::GetU16(request, request_size, gvcp::kCmdRequestId));
        }
        if (received >= static_cast<int>(gvcp::kAckHeaderSize)) {
            // A success whose acknowledge lacks the value or data asked for would hand out bytes
            // the camera never sent.
            if (StatusOf(ack, received) != 0 || received >= static_cast<int>(success_size)) return received;
        }
        if (attempts > 1) retry_pause_(retry_pause);
    }
    return -1;
}

int ControlChannel::ReadRegister(uint32_t address, int* value) {
    using namespace gvcp;
    int ignored;
    if (value == nullptr) value = &ignored;
    *value = -1;
    uint8_t request[kReadRegCmdSize] = {};
    PutCommandHeader(request, kFlagAckRequired, kReadRegCmd, kReadRegPayloadLength, NextRequestId());
    PutU32(request, kRegAddress, address);
    uint8_t ack[kRegAckSize] = {};
    const int received = Exchange(request, sizeof request, ack, sizeof ack, kRegAckSize, kRegisterRetryPause);
    if (received < 0) {
        TAVI_LOG_ERROR(log_, "[function:ReadRegister] Failed to read register. the register:%x.", address);
        return TAVI_ERR_READ_REGISTER;
    }
    const uint16_t status = StatusOf(ack, received);
    const int code = status == 0 ? 0 : ReadStatusCode(status);
    if (status == 0) *value = static_cast<int>(GetU32(ack, static_cast<size_t>(received), kRegAckValue));
    TAVI_LOG_INFO(log_,
                  "[function:ReadRegister] get the status while reading register. the register:%x, the read "
                  "status: %x, the read data: %d",
                  address, code, status == 0 ? *value : 0);
    return code;
}

int ControlChannel::WriteRegister(uint32_t address, int value) {
    using namespace gvcp;
    uint8_t request[kWriteRegCmdSize] = {};
    PutCommandHeader(request, kFlagAckRequired, kWriteRegCmd, kWriteRegPayloadLength, NextRequestId());
    PutU32(request, kRegAddress, address);
    PutU32(request, kRegValue, static_cast<uint32_t>(value));
    uint8_t ack[kRegAckSize] = {};
    const int received =
        Exchange(request, sizeof request, ack, sizeof ack, kAckHeaderSize, kRegisterRetryPause);
    if (received < 0) {
        TAVI_LOG_DEBUG(log_, "[function:WriteRegister] Write register error.");
        return TAVI_ERR_WRITE_REGISTER;
    }
    const uint16_t status = StatusOf(ack, received);
    TAVI_LOG_INFO(
        log_,
        "[function:WriteRegister] Write register.the regster addr:%x, the write data: %d, the write "
        "status: %x.",
        address, value, status);
    return status;
}

int ControlChannel::ReadMem(uint32_t address, uint16_t count, char* buffer) {
    using namespace gvcp;
    uint8_t request[kReadMemCmdSize] = {};
    PutCommandHeader(request, kFlagAckRequired, kReadMemCmd, kMemPayloadLength, NextRequestId());
    PutU32(request, kMemAddress, address);
    PutU16(request, kMemCount, count);
    auto* ack = reinterpret_cast<uint8_t*>(buffer);
    const int received =
        Exchange(request, sizeof request, ack, kMemAckMaxSize, kMemAckData + count, kMemoryRetryPause);
    if (received < 0) {
        TAVI_LOG_ERROR(log_, "[function:ReadMem] Failed to read memory.");
        return TAVI_ERR_READ_MEMORY;
    }
    const uint16_t status = StatusOf(ack, received);
    TAVI_LOG_INFO(log_, "[function:ReadMem] Read memory with status code: %d.", status);
    return status;
}

int ControlChannel::WriteMem(uint32_t address, uint16_t count, uint32_t value) {
    using namespace gvcp;
    uint8_t request[kWriteMemCmdSize] = {};
    PutCommandHeader(request, kFlagAckRequired, kWriteMemCmd, kMemPayloadLength, NextRequestId());
    PutU32(request, kMemAddress, address);
    PutU16(request, kMemCount, count);
    PutU16(request, kWriteMemData, static_cast<uint16_t>(value));
    uint8_t ack[kRegAckSize] = {};
    const int received =
        Exchange(request, sizeof request, ack, sizeof ack, kAckHeaderSize, kMemoryRetryPause);
    if (received < 0) {
        TAVI_LOG_ERROR(log_, "[function:WriteMem] Failed to write memory.");
        return TAVI_ERR_WRITE_MEMORY;
    }
    const uint16_t status = StatusOf(ack, received);
    TAVI_LOG_DEBUG(log_, "[function:WriteMem] Write memory with status code: %d.", status);
    return status;
}

}  // namespace tavi
