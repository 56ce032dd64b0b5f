// The GVCP register and memory transport: one command out, the first datagram back is its answer.

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "TaviSDK/GigeCamera.h"
#include "net/gvcp_ack.h"
#include "net/gvcp_protocol.h"
#include "net/udp_socket.h"

namespace {

constexpr int kAttempts = 3;
constexpr int kAckTimeoutMs = 500;
constexpr int kRegisterRetryPauseMs = 1000;
constexpr int kMemoryRetryPauseMs = 200;
constexpr size_t kDrainBufferSize = 576;

// The code a register read gives for a device status: the status in the upper half, and 0xFFFF
// below it for an error status so that the code is negative.
int ReadStatusCode(uint16_t status) {
    const uint32_t low = (status & 0x0080) != 0 ? 0xFFFFu : 0u;
    return static_cast<int>((static_cast<uint32_t>(status) << 16) | low);
}

}  // namespace

uint16_t GigeCamera::NextRequestId() {
    // Ids run 1 .. 65535 and wrap to 1: 0 is never sent. The heartbeat thread draws ids too.
    std::atomic_ref<uint16_t> counter(request_id);
    uint16_t current = counter.load();
    uint16_t next;
    do {
        next = static_cast<uint16_t>(current + 1);
        if (next == 0) next = 1;
    } while (!counter.compare_exchange_weak(current, next));
    return next;
}

void GigeCamera::flush_socket_buffer(int socket) {
    uint8_t scratch[kDrainBufferSize];
    while (tavi::net::WaitReadable(socket, 0)) {
        // A datagram larger than the scratch buffer is dropped by the receive all the same.
        receive_udp(socket, scratch, sizeof scratch);
    }
}

int GigeCamera::ExchangeCommand(const uint8_t* request, size_t request_size, uint8_t* ack,
                                size_t ack_capacity, size_t success_size, int retry_pause_ms) {
    using namespace tavi::gvcp;
    // Only the camera's own answer to this very request counts: from its address and GVCP port,
    // with the acknowledge code of the command and the request's id.
    ExpectedAck expected;
    expected.sources[0] = camera_ip;
    expected.ack_code = static_cast<uint16_t>(GetU16(request, request_size, kCmdCommand) + 1);
    expected.ack_id = GetU16(request, request_size, kCmdRequestId);
    // A camera the heartbeat declared lost is asked once: its teardown must not wait out retries.
    const int attempts = camera_lost.load() ? 1 : kAttempts;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        int received = -1;
        int ignored = 0;
        {
            std::lock_guard<std::mutex> exchange(command_lock);
            // No socket outside a connection: the attempt fails like an unanswered one.
            if (control_socket >= 0) {
                flush_socket_buffer(control_socket);
                send_udp(control_socket, camera_ip, kPort, request, static_cast<int>(request_size));
                received =
                    ReceiveExpectedAck(control_socket, ack, ack_capacity, expected, kAckTimeoutMs, &ignored);
            }
        }
        if (ignored > 0) {
            ignored_datagrams += ignored;
            TAVI_LOG_WARNING(
                &log,
                "[function:ExchangeCommand] Ignored %d datagrams that were not the camera's answer "
                "to request %u.",
                ignored, expected.ack_id);
        }
        if (received >= static_cast<int>(kAckHeaderSize)) {
            const uint16_t status = GetU16(ack, static_cast<size_t>(received), kAckStatus);
            // A success whose acknowledge lacks the value or data asked for would hand out bytes
            // the camera never sent.
            if (status != 0 || received >= static_cast<int>(success_size)) return received;
        }
        if (attempts > 1) std::this_thread::sleep_for(std::chrono::milliseconds(retry_pause_ms));
    }
    return -1;
}

int GigeCamera::ReadRegister(unsigned int address, int* value) {
    using namespace tavi::gvcp;
    int ignored;
    if (value == nullptr) value = &ignored;
    *value = -1;
    uint8_t request[kReadRegCmdSize] = {};
    PutCommandHeader(request, kFlagAckRequired, kReadRegCmd, kReadRegPayloadLength, NextRequestId());
    PutU32(request, kRegAddress, address);
    uint8_t ack[kRegAckSize] = {};
    const int received =
        ExchangeCommand(request, sizeof request, ack, sizeof ack, kRegAckSize, kRegisterRetryPauseMs);
    if (received < 0) {
        TAVI_LOG_ERROR(&log, "[function:ReadRegister] Failed to read register. the register:%x.", address);
        return TAVI_ERR_READ_REGISTER;
    }
    const uint16_t status = GetU16(ack, static_cast<size_t>(received), kAckStatus);
    const int code = status == 0 ? 0 : ReadStatusCode(status);
    if (status == 0) *value = static_cast<int>(GetU32(ack, static_cast<size_t>(received), kRegAckValue));
    TAVI_LOG_INFO(&log,
                  "[function:ReadRegister] get the status while reading register. the register:%x, the read "
                  "status: %x, the read data: %d",
                  address, code, status == 0 ? *value : 0);
    return code;
}

int GigeCamera::WriteRegister(unsigned int address, int value) {
    using namespace tavi::gvcp;
    uint8_t request[kWriteRegCmdSize] = {};
    PutCommandHeader(request, kFlagAckRequired, kWriteRegCmd, kWriteRegPayloadLength, NextRequestId());
    PutU32(request, kRegAddress, address);
    PutU32(request, kRegValue, static_cast<uint32_t>(value));
    uint8_t ack[kRegAckSize] = {};
    const int received =
        ExchangeCommand(request, sizeof request, ack, sizeof ack, kAckHeaderSize, kRegisterRetryPauseMs);
    if (received < 0) {
        TAVI_LOG_DEBUG(&log, "[function:WriteRegister] Write register error.");
        return TAVI_ERR_WRITE_REGISTER;
    }
    const uint16_t status = GetU16(ack, static_cast<size_t>(received), kAckStatus);
    TAVI_LOG_INFO(
        &log,
        "[function:WriteRegister] Write register.the regster addr:%x, the write data: %d, the write "
        "status: %x.",
        address, value, status);
    return status;
}

int GigeCamera::ReadMem(unsigned int address, unsigned short count, char* buffer) {
    using namespace tavi::gvcp;
    uint8_t request[kReadMemCmdSize] = {};
    PutCommandHeader(request, kFlagAckRequired, kReadMemCmd, kMemPayloadLength, NextRequestId());
    PutU32(request, kMemAddress, address);
    PutU16(request, kMemCount, count);
    auto* ack = reinterpret_cast<uint8_t*>(buffer);
    const int received = ExchangeCommand(request, sizeof request, ack, kMemAckMaxSize, kMemAckData + count,
                                         kMemoryRetryPauseMs);
    if (received < 0) {
        TAVI_LOG_ERROR(&log, "[function:ReadMem] Failed to read memory.");
        return TAVI_ERR_READ_MEMORY;
    }
    const uint16_t status = GetU16(ack, static_cast<size_t>(received), kAckStatus);
    TAVI_LOG_INFO(&log, "[function:ReadMem] Read memory with status code: %d.", status);
    return status;
}

int GigeCamera::WriteMem(unsigned int address, unsigned short count, unsigned int value) {
    using namespace tavi::gvcp;
    uint8_t request[kWriteMemCmdSize] = {};
    PutCommandHeader(request, kFlagAckRequired, kWriteMemCmd, kMemPayloadLength, NextRequestId());
    PutU32(request, kMemAddress, address);
    PutU16(request, kMemCount, count);
    PutU16(request, kWriteMemData, static_cast<uint16_t>(value));
    uint8_t ack[kRegAckSize] = {};
    const int received =
        ExchangeCommand(request, sizeof request, ack, sizeof ack, kAckHeaderSize, kMemoryRetryPauseMs);
    if (received < 0) {
        TAVI_LOG_ERROR(&log, "[function:WriteMem] Failed to write memory.");
        return TAVI_ERR_WRITE_MEMORY;
    }
    const uint16_t status = GetU16(ack, static_cast<size_t>(received), kAckStatus);
    TAVI_LOG_DEBUG(&log, "[function:WriteMem] Write memory with status code: %d.", status);
    return status;
}
