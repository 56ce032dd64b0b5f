// The discovery broadcast: one GVCP DISCOVERY from every local IPv4 address, one record per answer.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>

#include "TaviSDK/Discovery.h"
#include "discovery/address_text.h"
#include "net/adapter_source.h"
#include "net/gvcp_protocol.h"
#include "net/udp_socket.h"

namespace {

constexpr int kDiscoveryTimeoutMs = 500;
// A flood of answers (a broken or hostile device) must not hold the caller or fill its memory: an
// adapter listens this long in all over the broadcasts of its local addresses (each address beyond
// that time still listens for one normal silence), and gives at most this many records. Real cameras answer
// within the first 500 ms, and a network of more cameras than this is far beyond what one adapter serves.
constexpr int kMaxAdapterListenMs = 3000;
constexpr int kMaxRecordsPerAdapter = 1024;
constexpr int kMinimumMtu = static_cast<int>(tavi::gvcp::kDefaultPacketSize);
constexpr uint32_t kLimitedBroadcast = 0xFFFFFFFFu;

// One local address being searched, with the adapter facts that go into each record.
struct SearchedAddress {
    const tavi::net::Adapter* adapter;
    uint32_t local_ip;
    const tavi::net::AdapterAddress* entry;
    int mtu;
};

using Clock = std::chrono::steady_clock;

long long MillisecondsUntil(Clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
}

void BuildDiscoveryCommand(uint8_t (&command)[tavi::gvcp::kHeaderSize], uint16_t request_id) {
    tavi::gvcp::PutCommandHeader(command, tavi::gvcp::kFlagsDiscovery, tavi::gvcp::kDiscoveryCmd, 0,
                                 request_id);
}

// The camera half of a record, from an acknowledge already checked to be well sized.
void FillCameraHalf(const uint8_t (&ack)[tavi::gvcp::kDiscoveryAckSize], size_t size, DiscoveryInfo* record) {
    using namespace tavi::gvcp;
    record->mac_high = GetU16(ack, size, kDiscMacHigh);
    record->mac_low = GetU32(ack, size, kDiscMacLow);
    record->camera_ip = GetU32(ack, size, kDiscCurrentIp);
    record->camera_mask = GetU32(ack, size, kDiscCurrentMask);
    record->camera_gateway = GetU32(ack, size, kDiscGateway);
    // The six texts lie back to back in both layouts and are copied as one raw block; the receive
    // buffer is zeroed to its full size, so a short acknowledge gives empty texts.
    static_assert(offsetof(DiscoveryInfo, user_name) + sizeof record->user_name -
                      offsetof(DiscoveryInfo, manufacturer_name) ==
                  kDiscTextBlockSize);
    std::memcpy(reinterpret_cast<char*>(record) + offsetof(DiscoveryInfo, manufacturer_name),
                ack + kDiscTextBlock, kDiscTextBlockSize);
}

// One record per well-sized answer, until 500 ms pass without one, `room` records were taken, or
// the adapter's listening time is up at `deadline`. Returns the number of records appended.
int ListenForAnswers(cameralog* log, int socket, const SearchedAddress& searched, int room,
                     Clock::time_point deadline, std::vector<DiscoveryInfo>* list) {
    int taken = 0;
    while (true) {
        if (taken >= room) {
            TAVI_LOG_WARNING(log,
                             "[function:DiscoverCameraWin32] The adapter %.32s gave %d answers; the rest are "
                             "ignored.",
                             searched.adapter->name.c_str(), kMaxRecordsPerAdapter);
            return taken;
        }
        // The loop ends normally after 500 ms without an answer; when the listening time runs out
        // before such a silence, the answers were still coming.
        const long long remaining = MillisecondsUntil(deadline);
        const int wait_ms = static_cast<int>(std::clamp<long long>(remaining, 0, kDiscoveryTimeoutMs));
        if (!tavi::net::WaitReadable(socket, wait_ms)) {
            if (wait_ms < kDiscoveryTimeoutMs) {
                TAVI_LOG_WARNING(log,
                                 "[function:DiscoverCameraWin32] Answers to %.16s kept coming until the "
                                 "adapter %.32s had listened for %d ms; listening stopped.",
                                 searched.entry->address.c_str(), searched.adapter->name.c_str(),
                                 kMaxAdapterListenMs);
            }
            return taken;
        }
        uint8_t ack[tavi::gvcp::kDiscoveryAckSize] = {};
        const int size = receive_udp(socket, ack, sizeof ack);
        if (size < 0) return taken;
        const size_t ack_size = static_cast<size_t>(size);
        if (ack_size < tavi::gvcp::kHeaderSize ||
            ack_size - tavi::gvcp::kHeaderSize != tavi::gvcp::GetU16(ack, ack_size, tavi::gvcp::kAckLength)) {
            continue;
        }
        DiscoveryInfo record{};
        FillCameraHalf(ack, ack_size, &record);
        record.pc_ip = tavi::ParseIpText(log, searched.entry->address.c_str());
        record.pc_mask = tavi::ParseIpText(log, searched.entry->mask.c_str());
        record.pc_gateway = tavi::ParseIpText(log, searched.adapter->gateway.c_str());
        record.mtu = searched.mtu;
        std::strncpy(record.adapter_name, searched.adapter->name.c_str(), sizeof record.adapter_name - 1);
        list->push_back(record);
        ++taken;
    }
}

}  // namespace

int Discovery::DiscoverCameraWin32(std::vector<DiscoveryInfo>** list) {
    request_id = 1;
    std::vector<tavi::net::Adapter> adapters;
    // A PC without any usable adapter cannot search at all: that is a failure, not "no camera".
    if (!tavi::net::ListAdapters(&adapters) || adapters.empty()) {
        TAVI_LOG_ERROR(&log,
                       "[function:DiscoverCameraWin32] The memory space for storing network card information "
                       "has not been applied for, error code: %d",
                       TAVI_ERR_NO_ADAPTER_LIST);
        return TAVI_ERR_NO_ADAPTER_LIST;
    }
    bool socket_failure_reported = false;
    int found = 0;
    for (const tavi::net::Adapter& adapter : adapters) {
        const int mtu = tavi::net::AdapterMtu(adapter.name);
        if (mtu > 0) TAVI_LOG_INFO(&log, "[function:DiscoverCameraWin32] Get the mtu. the mtu: %d.", mtu);
        if (mtu < kMinimumMtu) {
            TAVI_LOG_ERROR(&log,
                           "[function:DiscoverCameraWin32] Get the mtu error. the mtu: %d, error code: %d",
                           mtu, TAVI_ERR_MTU);
        }
        int adapter_records = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kMaxAdapterListenMs);
        for (const tavi::net::AdapterAddress& entry : adapter.addresses) {
            if (adapter_records >= kMaxRecordsPerAdapter) break;
            const uint32_t local_ip = tavi::ParseIpText(&log, entry.address.c_str());
            if (local_ip == 0) continue;

            const int socket = open_udp_socket();
            if (socket < 0) {
                if (!socket_failure_reported) {
                    TAVI_LOG_WARNING(&log, "[function:DiscoverCameraWin32] Init the socket error.");
                    socket_failure_reported = true;
                }
                TAVI_LOG_ERROR(&log,
                               "[function:DiscoverCameraWin32] Failed to initialize socket, error code: %d",
                               TAVI_ERR_SOCKET_CREATE);
                continue;  // the next address may still get a socket
            }
            tavi::net::SetReceiveTimeout(socket, kDiscoveryTimeoutMs);
            tavi::net::EnableBroadcast(socket);
            // A camera on a foreign subnet answers by broadcast, which a socket bound to a unicast
            // address never hears: bind to any address, but only on this adapter, and send with
            // this address as source through this adapter.
            tavi::net::BindSocketToInterface(socket, adapter.name.c_str());
            if (bind_udp_socket(socket, 0, 0) < 0) {
                TAVI_LOG_WARNING(&log, "[function:DiscoverCameraWin32] bind socket error.");
                tavi::net::close_udp_socket(socket);
                continue;
            }
            uint8_t command[tavi::gvcp::kHeaderSize];
            BuildDiscoveryCommand(command, request_id);
            if (tavi::net::SendUdpThroughInterface(socket, adapter.index, local_ip, kLimitedBroadcast,
                                                   tavi::gvcp::kPort, command, sizeof command) < 0) {
                TAVI_LOG_WARNING(&log,
                                 "[function:DiscoverCameraWin32] the ack of the send request is error.");
                tavi::net::close_udp_socket(socket);
                continue;
            }
            const SearchedAddress searched{&adapter, local_ip, &entry, mtu};
            // Every address is searched: once the adapter's time is spent, each further one still
            // gets the silence that ends a normal search.
            const auto address_deadline =
                std::max(deadline, Clock::now() + std::chrono::milliseconds(kDiscoveryTimeoutMs));
            const int heard = ListenForAnswers(
                &log, socket, searched, kMaxRecordsPerAdapter - adapter_records, address_deadline, *list);
            found += heard;
            adapter_records += heard;
            tavi::net::close_udp_socket(socket);
        }
    }
    return found;
}
