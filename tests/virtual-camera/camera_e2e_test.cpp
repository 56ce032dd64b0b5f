// The virtual camera seen from the network, through a GVCP client of the tests' own.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <thread>

#include "camera_fixture.h"
#include "description_walk.h"

namespace {

using namespace vcam_e2e;

std::string Text(const std::vector<uint8_t>& bytes, size_t offset, size_t width) {
    std::string text(reinterpret_cast<const char*>(bytes.data() + offset), width);
    return text.substr(0, text.find('\0'));
}

// ---- discovery and force IP ---------------------------------------------------------------------

TEST_F(VirtualCamera, DiscoveryAnswersWithTheFullStandardAcknowledge) {
    Client client(adapter);
    std::vector<testgvcp::Datagram> answers = client.Discover();
    ASSERT_EQ(answers.size(), 3u);
    const testgvcp::Datagram* answer = AnswerFrom(answers, ip[0]);
    ASSERT_NE(answer, nullptr);
    const std::vector<uint8_t>& b = answer->bytes;
    ASSERT_EQ(b.size(), 256u);
    EXPECT_EQ(answer->status(), kOk);
    EXPECT_EQ(answer->ack_code(), 0x0003);
    EXPECT_EQ(answer->length(), 248);
    EXPECT_EQ(answer->ack_id(), 1);
    EXPECT_EQ(Get16(b, 8), 2) << "GigE Vision 2.0";
    EXPECT_EQ(Get16(b, 18), 0x0200);
    EXPECT_EQ(Get32(b, 20), 0x00000010u);
    EXPECT_EQ(Get32(b, 60), Ip("255.255.0.0"));
    EXPECT_EQ(Get32(b, 76), 0u) << "no gateway";
    EXPECT_EQ(Text(b, 80, 32), "Tavi");
    EXPECT_EQ(Text(b, 112, 32), "Tavi Virtual 3D");
    EXPECT_EQ(Text(b, 144, 32), "1.0.0");
    EXPECT_EQ(Text(b, 224, 16), "VC0");
    EXPECT_EQ(Text(b, 240, 16), "lab-left");
    EXPECT_EQ(answer->to_ip, Ip("169.254.1.1")) << "a camera on the same subnet answers by unicast";
}

TEST_F(VirtualCamera, CameraOnAForeignSubnetAnswersByBroadcast) {
    Client client(adapter);
    std::vector<testgvcp::Datagram> answers = client.Discover();
    const testgvcp::Datagram* answer = AnswerFrom(answers, ip[2]);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->to_ip, 0xFFFFFFFFu);
    EXPECT_EQ(Text(answer->bytes, 224, 16), "VC2");
}

std::vector<uint8_t> ForceIpPayload(uint32_t mac_low, uint32_t new_ip, uint32_t mask) {
    std::vector<uint8_t> payload{0, 0, 0x02, 0x00};
    Put32(payload, mac_low);
    payload.resize(20, 0);
    Put32(payload, new_ip);
    payload.resize(36, 0);
    Put32(payload, mask);
    payload.resize(52, 0);
    Put32(payload, 0);
    return payload;
}

TEST_F(VirtualCamera, ForceIpMovesTheCameraAndALaterDiscoveryShowsIt) {
    Client client(adapter);
    uint32_t moved = Ip("169.254.1.12");
    auto ack =
        client.Exchange(0xFFFFFFFF, 0x0004, ForceIpPayload(0x12, moved, Ip("255.255.0.0")), 1000, 0x11);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->status(), kOk);
    EXPECT_EQ(ack->ack_code(), 0x0005);
    EXPECT_EQ(ack->bytes.size(), 8u);
    EXPECT_EQ(ack->from_ip, moved) << "answered from the new address";
    ASSERT_NE(AnswerFrom(client.Discover(), moved), nullptr);
    uint32_t current = 0;
    EXPECT_EQ(client.ReadReg(moved, 0x0024, &current), kOk);
    EXPECT_EQ(current, moved);

    // And back, by unicast now that it shares the subnet.
    ack = client.Exchange(moved, 0x0004, ForceIpPayload(0x12, ip[2], Ip("255.255.255.0")), 1000, 0x88);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->status(), kOk);
    EXPECT_EQ(ack->to_ip, 0xFFFFFFFFu) << "the application is on a foreign subnet again";
    EXPECT_NE(AnswerFrom(client.Discover(), ip[2]), nullptr);
}

TEST_F(VirtualCamera, ForceIpForAnotherMacOrWithAChosenStatusLeavesTheAddress) {
    Client client(adapter);
    EXPECT_FALSE(client
                     .Exchange(0xFFFFFFFF, 0x0004,
                               ForceIpPayload(0x99, Ip("169.254.1.99"), Ip("255.255.0.0")), 300, 0x11)
                     .has_value());
    ASSERT_TRUE(Control(0).Set("forceip-status", "0x8006"));
    auto ack = client.Exchange(ip[0], 0x0004, ForceIpPayload(0x10, Ip("169.254.1.98"), Ip("255.255.0.0")),
                               1000, 0x88);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->status(), kAccessDenied);
    EXPECT_NE(AnswerFrom(client.Discover(), ip[0]), nullptr);
}

TEST_F(VirtualCamera, DiscoveryFaultsDamageTheAcknowledgeAsAsked) {
    Client client(adapter);
    ASSERT_TRUE(Control(0).Set("discovery-wrong-size", "1"));
    std::vector<testgvcp::Datagram> answers = client.Discover();
    const testgvcp::Datagram* answer = AnswerFrom(answers, ip[0]);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->length(), 248);
    EXPECT_NE(answer->bytes.size(), 256u);
    ASSERT_TRUE(Control(0).Set("discovery-wrong-size", "0"));
    ASSERT_TRUE(Control(0).Set("discovery-oversize", "1"));
    answers = client.Discover();
    answer = AnswerFrom(answers, ip[0]);
    ASSERT_NE(answer, nullptr);
    EXPECT_GT(answer->bytes.size(), 256u);
    EXPECT_EQ(answer->length() + 8u, answer->bytes.size());
}

// ---- registers, memory and statuses ------------------------------------------------------------

TEST_F(VirtualCamera, ReadRegAnswersSeveralRegistersUpToTheFirstFailure) {
    Client client(adapter);
    std::vector<uint8_t> payload;
    for (uint32_t address : {0x0000u, 0x0904u, 0x0A00u}) Put32(payload, address);
    auto ack = client.Exchange(ip[0], 0x0080, payload);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->status(), kOk);
    EXPECT_EQ(ack->ack_code(), 0x0081);
    EXPECT_EQ(ack->length(), 12);
    EXPECT_EQ(Get32(ack->bytes, 8), 0x00020000u);
    EXPECT_EQ(Get32(ack->bytes, 12), 3u);
    EXPECT_EQ(Get32(ack->bytes, 16), 0u);

    payload.clear();
    for (uint32_t address : {0x0904u, 0x7000u, 0x0000u}) Put32(payload, address);
    ack = client.Exchange(ip[0], 0x0080, payload);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->status(), kInvalidAddress);
    EXPECT_EQ(ack->length(), 4);
    EXPECT_EQ(Get32(ack->bytes, 8), 3u);
}

TEST_F(VirtualCamera, ErrorStatusesFollowTheStandard) {
    Client client(adapter);
    EXPECT_EQ(client.ReadReg(ip[0], 0x0902), kBadAlignment);
    EXPECT_EQ(client.ReadReg(ip[0], 0x00FFFFF0), kInvalidAddress);
    EXPECT_EQ(client.WriteReg(ip[0], kHeartbeat, 4000), kAccessDenied) << "writes need control";
    ASSERT_EQ(client.WriteReg(ip[0], kCcp, 2), kOk);
    EXPECT_EQ(client.WriteReg(ip[0], 0x0904, 1), kWriteProtect);
    EXPECT_EQ(client.WriteReg(ip[0], 0x0038 + 0x1000, 1), kInvalidAddress);
    EXPECT_EQ(client.WriteReg(ip[0], kHeartbeat, 10), kInvalidParameter) << "below the heartbeat minimum";

    auto unknown = client.Exchange(ip[0], 0x0090, {});
    ASSERT_TRUE(unknown.has_value());
    EXPECT_EQ(unknown->status(), kNotImplemented);
    EXPECT_EQ(unknown->ack_code(), 0x0091);
    EXPECT_EQ(unknown->length(), 0);

    std::vector<uint8_t> pairs;
    for (uint32_t word : {kHeartbeat, 5000u, 0x0904u, 1u, kHeartbeat, 6000u}) Put32(pairs, word);
    auto written = client.Exchange(ip[0], 0x0082, pairs);
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->status(), kWriteProtect);
    EXPECT_EQ(written->length(), 4);
    EXPECT_EQ(Get16(written->bytes, 10), 1) << "index of the first register not written";
    uint32_t timeout = 0;
    EXPECT_EQ(client.ReadReg(ip[0], kHeartbeat, &timeout), kOk);
    EXPECT_EQ(timeout, 5000u);
    EXPECT_EQ(client.WriteReg(ip[0], kHeartbeat, 3000), kOk);
}

TEST_F(VirtualCamera, WriteMemChangesTheUserNameThatDiscoveryReports) {
    Client client(adapter);
    ASSERT_EQ(client.WriteReg(ip[0], kCcp, 2), kOk);
    std::vector<uint8_t> payload;
    Put32(payload, 0x00E8);  // user-defined name
    const char name[16] = "bench-3";
    payload.insert(payload.end(), name, name + 16);
    auto ack = client.Exchange(ip[0], 0x0086, payload);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->status(), kOk);
    EXPECT_EQ(ack->ack_code(), 0x0087);
    EXPECT_EQ(Get16(ack->bytes, 10), 16) << "bytes written";
    std::vector<testgvcp::Datagram> answers = client.Discover();
    const testgvcp::Datagram* answer = AnswerFrom(answers, ip[0]);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(Text(answer->bytes, 240, 16), "bench-3");

    payload.clear();
    Put32(payload, 0x00D8);  // serial number: read-only
    payload.insert(payload.end(), name, name + 16);
    ack = client.Exchange(ip[0], 0x0086, payload);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->status(), kWriteProtect);
    EXPECT_EQ(Get16(ack->bytes, 10), 0);

    const char original[16] = "lab-left";
    payload.clear();
    Put32(payload, 0x00E8);
    payload.insert(payload.end(), original, original + 16);
    EXPECT_EQ(client.Exchange(ip[0], 0x0086, payload)->status(), kOk);
}

TEST_F(VirtualCamera, AHeaderClaimingMoreThanTheDatagramHoldsIsRefused) {
    Client client(adapter);
    std::vector<uint8_t> bytes{0x42, 0x01, 0x00, 0x80, 0x00, 0x08, 0x12, 0x34, 0x00, 0x00, 0x09, 0x04};
    client.SendRaw(ip[0], bytes);
    auto ack = client.Receive(1000);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->status(), 0x800D);
    EXPECT_EQ(ack->ack_id(), 0x1234);
    bytes[0] = 0x43;  // not a GVCP command at all: no answer
    client.SendRaw(ip[0], bytes);
    EXPECT_FALSE(client.Receive(300).has_value());
}

TEST_F(VirtualCamera, AChosenRegisterAnswersWithAChosenStatus) {
    Client client(adapter);
    ASSERT_TRUE(Control(0).Set("register-error", "0x0938:0x8FFF"));
    EXPECT_EQ(client.ReadReg(ip[0], kHeartbeat), 0x8FFF);
    ASSERT_EQ(client.WriteReg(ip[0], kCcp, 2), kOk);
    EXPECT_EQ(client.WriteReg(ip[0], kHeartbeat, 4000), 0x8FFF);
    EXPECT_EQ(client.ReadReg(ip[0], 0x0904), kOk);
}

TEST_F(VirtualCamera, PacketResendHasNoAcknowledge) {
    Client client(adapter);
    std::vector<uint8_t> payload{0, 0, 0, 1};
    Put32(payload, 1);
    Put32(payload, 3);
    EXPECT_FALSE(client.Exchange(ip[0], 0x0040, payload, 300).has_value());
}

// ---- control channel privilege and heartbeat ----------------------------------------------------

TEST_F(VirtualCamera, ControlIsGrantedToOneApplicationAtATime) {
    Client first(adapter), second(adapter);
    uint32_t ccp = 7;
    ASSERT_EQ(first.ReadReg(ip[0], kCcp, &ccp), kOk);
    EXPECT_EQ(ccp, 0u);
    ASSERT_EQ(first.WriteReg(ip[0], kCcp, 2), kOk);
    EXPECT_EQ(second.ReadReg(ip[0], kCcp, &ccp), kOk) << "anyone may read while control is held";
    EXPECT_EQ(ccp, 2u);
    EXPECT_EQ(second.WriteReg(ip[0], kCcp, 2), kAccessDenied);
    EXPECT_EQ(second.WriteReg(ip[0], kHeartbeat, 4000), kAccessDenied);
    EXPECT_EQ(first.WriteReg(ip[0], kHeartbeat, 3000), kOk);
    ASSERT_EQ(first.WriteReg(ip[0], kCcp, 0), kOk);
    EXPECT_EQ(second.WriteReg(ip[0], kCcp, 2), kOk) << "free again once given back";
}

TEST_F(VirtualCamera, ControlLapsesAfterTheHeartbeatTimeoutAndClosesTheStreams) {
    Client first(adapter), second(adapter);
    ASSERT_EQ(first.WriteReg(ip[0], kCcp, 2), kOk);
    ASSERT_EQ(first.WriteReg(ip[0], kScda0, Ip("169.254.1.1")), kOk);
    ASSERT_EQ(first.WriteReg(ip[0], kScp0, 40000), kOk);
    ASSERT_EQ(first.WriteReg(ip[0], kHeartbeat, 500), kOk);
    // Reads by another application do not keep the controller's privilege alive.
    for (int i = 0; i < 8; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        second.ReadReg(ip[0], kCcp);
    }
    uint32_t value = 7;
    EXPECT_EQ(second.ReadReg(ip[0], kCcp, &value), kOk);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(second.ReadReg(ip[0], kScp0, &value), kOk);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(second.WriteReg(ip[0], kCcp, 2), kOk);
    EXPECT_EQ(second.WriteReg(ip[0], kHeartbeat, 3000), kOk);
}

TEST_F(VirtualCamera, ControlHeldByAnotherApplicationRefusesUs) {
    Client client(adapter);
    ASSERT_TRUE(Control(0).Set("control-held", "1"));
    uint32_t ccp = 0;
    EXPECT_EQ(client.ReadReg(ip[0], kCcp, &ccp), kOk);
    EXPECT_EQ(ccp, 2u);
    EXPECT_EQ(client.WriteReg(ip[0], kCcp, 2), kAccessDenied);
}

// ---- faults of the control channel ----------------------------------------------------------------

TEST_F(VirtualCamera, SilenceEndsWhenClearedOrWhenItsTimeIsOver) {
    Client client(adapter);
    ASSERT_TRUE(Control(0).Set("gvcp-silent", "1"));
    EXPECT_EQ(client.ReadReg(ip[0], 0x0904), kNoAnswer);
    EXPECT_TRUE(client.Discover(300).size() == 2u) << "a pulled cable hides the camera from discovery too";
    ASSERT_TRUE(Control(0).Set("gvcp-silent", "0"));
    EXPECT_EQ(client.ReadReg(ip[0], 0x0904), kOk);

    ASSERT_TRUE(Control(0).Set("gvcp-silent-ms", "400"));
    EXPECT_FALSE(client.Exchange(ip[0], 0x0080, {0, 0, 0x09, 0x04}, 200).has_value());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(client.ReadReg(ip[0], 0x0904), kOk);
}

TEST_F(VirtualCamera, SlowAcknowledgesArriveLate) {
    Client client(adapter);
    ASSERT_TRUE(Control(0).Set("ack-delay-ms", "400"));
    std::vector<uint8_t> payload{0, 0, 0x09, 0x04};
    client.Send(ip[0], 0x01, 0x0080, payload, 77);
    EXPECT_FALSE(client.Receive(150).has_value());
    auto late = client.Receive(2000);
    ASSERT_TRUE(late.has_value());
    EXPECT_EQ(late->ack_id(), 77);
}

TEST_F(VirtualCamera, ControlSocketRefusesUnknownKeysAndBadValues) {
    VirtualCameraControl control = Control(0);
    EXPECT_EQ(control.Command("ping"), "ok");
    EXPECT_FALSE(control.Set("no-such-fault", "1"));
    EXPECT_FALSE(control.Set("heartbeat-ms", "soon"));
    EXPECT_EQ(control.Get("serial"), "VC0");
    EXPECT_TRUE(control.Command("launch").rfind("error", 0) == 0);
}

// ---- device model -------------------------------------------------------------------------------

TEST_F(VirtualCamera, ZippedAndPlainDescriptionsAreTheSameFile) {
    Client client(adapter);
    auto zipped = client.FetchDescription(ip[0]);
    auto plain = client.FetchDescription(ip[1]);
    ASSERT_TRUE(zipped.has_value());
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(zipped->first.rfind("Local:TaviVirtual3D.zip;100000;", 0), 0u) << zipped->first;
    EXPECT_EQ(plain->first.rfind("Local:TaviVirtual3D.xml;100000;", 0), 0u) << plain->first;
    std::optional<std::string> unzipped = UnzipOnlyFile(zipped->second);
    ASSERT_TRUE(unzipped.has_value());
    EXPECT_EQ(*unzipped, std::string(plain->second.begin(), plain->second.end()));
}

TEST_F(VirtualCamera, EveryDescribedRegisterIsBackedByTheCamera) {
    Client client(adapter);
    auto plain = client.FetchDescription(ip[1]);
    ASSERT_TRUE(plain.has_value());
    DescriptionWalk walk;
    ASSERT_TRUE(walk.Load(std::string(plain->second.begin(), plain->second.end())));
    for (const std::string& name : RequiredNames()) {
        std::optional<uint32_t> address = walk.Address(name);
        ASSERT_TRUE(address.has_value()) << name;
        std::string length = walk.Child(name, "Length");
        uint16_t status;
        if (!length.empty() && std::stoi(length) > 4) {
            std::vector<uint8_t> data;
            status = client.ReadMem(ip[1], *address, static_cast<uint16_t>((std::stoi(length) + 3) / 4 * 4),
                                    &data);
        } else {
            status = client.ReadReg(ip[1], *address);
        }
        bool write_only = name == "AcquisitionStart" || name == "AcquisitionStop" || name == "DeviceReboot" ||
                          name == "GevTimestampControlLatch";
        EXPECT_EQ(status, write_only ? kAccessDenied : kOk) << name << " at " << std::hex << *address;
    }
}

TEST_F(VirtualCamera, SecondUrlServesTheDescriptionWhenTheFirstIsUnreadable) {
    Client client(adapter);
    ASSERT_TRUE(Control(0).Set("first-url-unreadable", "1"));
    std::vector<uint8_t> data;
    EXPECT_EQ(client.ReadMem(ip[0], 0x0200, 512, &data), kAccessDenied);
    auto second = client.FetchDescription(ip[0], 0x0400);
    ASSERT_TRUE(second.has_value());
    EXPECT_TRUE(UnzipOnlyFile(second->second).has_value());
}

TEST_F(VirtualCamera, DamagedDescriptionsAreServedAsAsked) {
    Client client(adapter);
    ASSERT_TRUE(Control(1).Set("description-fault", "malformed"));
    auto malformed = client.FetchDescription(ip[1]);
    ASSERT_TRUE(malformed.has_value());
    DescriptionWalk walk;
    EXPECT_FALSE(walk.Load(std::string(malformed->second.begin(), malformed->second.end())));
    ASSERT_TRUE(Control(0).Set("description-fault", "truncated"));
    auto truncated = client.FetchDescription(ip[0]);
    ASSERT_TRUE(truncated.has_value());
    EXPECT_FALSE(UnzipOnlyFile(truncated->second).has_value());
}

TEST_F(VirtualCamera, CalibrationBlocksHoldLittleEndianFloats) {
    Client client(adapter);
    for (uint32_t sensor = 0; sensor < 3; ++sensor) {
        std::vector<uint8_t> internal, external;
        ASSERT_EQ(client.ReadMem(ip[0], 0x20000 + 0x100 * sensor, 56, &internal), kOk);
        ASSERT_EQ(client.ReadMem(ip[0], 0x20800 + 0x100 * sensor, 48, &external), kOk);
        auto at = [](const std::vector<uint8_t>& b, size_t index) {
            uint32_t bits = 0;
            for (int i = 3; i >= 0; --i) bits = bits << 8 | b[4 * index + i];
            return std::bit_cast<float>(bits);
        };
        EXPECT_GT(at(internal, 5), 0.0f) << "fx";
        EXPECT_FLOAT_EQ(at(internal, 13), 1.0f) << "last entry of the camera matrix";
        float diagonal = at(external, 0) + at(external, 4) + at(external, 8);
        EXPECT_GT(diagonal, 2.5f) << "a rotation close to identity";
        if (sensor == 0) {
            EXPECT_FLOAT_EQ(at(external, 9), 0.0f) << "the depth sensor is the origin";
        }
    }
}

TEST_F(VirtualCamera, PayloadSizeFollowsRegionAndPixelFormat) {
    Client client(adapter);
    ASSERT_EQ(client.WriteReg(ip[0], kCcp, 2), kOk);
    uint32_t payload = 0;
    ASSERT_EQ(client.WriteReg(ip[0], 0x11008, 640), kOk);  // Width of sensor 0
    ASSERT_EQ(client.WriteReg(ip[0], 0x1100C, 480), kOk);  // Height of sensor 0
    EXPECT_EQ(client.ReadReg(ip[0], 0x12004, &payload), kOk);
    EXPECT_EQ(payload, 640u * 480u * 6u);
    EXPECT_EQ(client.WriteReg(ip[0], 0x11008, 644), kInvalidParameter) << "not a multiple of the increment";
    EXPECT_EQ(client.WriteReg(ip[0], 0x11008, 1288), kInvalidParameter) << "wider than the sensor";
    EXPECT_EQ(client.WriteReg(ip[0], 0x11010, 648), kInvalidParameter) << "offset pushing the region out";
    EXPECT_EQ(client.WriteReg(ip[0], 0x11010, 640), kOk);
    EXPECT_EQ(client.WriteReg(ip[0], 0x12008 + 0x40, 0x02100032), kOk);  // channel 1 as YUV422_8
    EXPECT_EQ(client.ReadReg(ip[0], 0x12004 + 0x40, &payload), kOk);
    EXPECT_EQ(payload, 1280u * 1024u * 2u);
    EXPECT_EQ(client.WriteReg(ip[0], 0x12008, 0x01080001), kInvalidParameter)
        << "the depth sensor gives no Mono8";
    for (uint32_t address : {0x11010u, 0x11008u, 0x1100Cu}) {
        client.WriteReg(ip[0], address, address == 0x11010u ? 0 : (address == 0x11008u ? 1280 : 1024));
    }
    client.WriteReg(ip[0], 0x12008 + 0x40, 0x01080009);
}

TEST_F(VirtualCamera, LatchedTimestampAdvancesAtTheTickFrequency) {
    Client client(adapter);
    ASSERT_EQ(client.WriteReg(ip[0], kCcp, 2), kOk);
    uint32_t high = 0, low = 0;
    ASSERT_EQ(client.ReadReg(ip[0], 0x093C, &high), kOk);
    ASSERT_EQ(client.ReadReg(ip[0], 0x0940, &low), kOk);
    EXPECT_EQ((uint64_t{high} << 32 | low), 1000000000u);
    auto latch = [&] {
        EXPECT_EQ(client.WriteReg(ip[0], 0x0944, 2), kOk);
        EXPECT_EQ(client.ReadReg(ip[0], 0x0948, &high), kOk);
        EXPECT_EQ(client.ReadReg(ip[0], 0x094C, &low), kOk);
        return uint64_t{high} << 32 | low;
    };
    uint64_t first = latch();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    uint64_t second = latch();
    EXPECT_GE(second - first, 50'000'000u);
    EXPECT_EQ(client.ReadReg(ip[0], 0x0944), kAccessDenied) << "the control register is write-only";
    uint32_t status = 0;
    EXPECT_EQ(client.ReadReg(ip[0], 0x1004C, &status), kOk);
    EXPECT_LE(status, 8u);
}

TEST_F(VirtualCamera, RebootSilencesTheCameraAndFreesControl) {
    Client client(adapter);
    ASSERT_EQ(client.WriteReg(ip[1], kCcp, 2), kOk);
    ASSERT_TRUE(Control(1).Set("firmware-version", "2.0.0"));
    ASSERT_EQ(client.WriteReg(ip[1], 0x10050, 1), kOk);       // FirmwareUpdate
    ASSERT_EQ(client.WriteReg(ip[1], 0x10054, 0x111F), kOk);  // DeviceReboot
    EXPECT_FALSE(client.Exchange(ip[1], 0x0080, {0, 0, 0x0A, 0x00}, 200).has_value());
    uint32_t ccp = 7;
    uint16_t status = kNoAnswer;
    for (int attempt = 0; attempt < 30 && status == kNoAnswer; ++attempt)
        status = client.ReadReg(ip[1], kCcp, &ccp);
    EXPECT_EQ(status, kOk);
    EXPECT_EQ(ccp, 0u);
    EXPECT_EQ(client.WriteReg(ip[1], kCcp, 2), kOk);
    std::vector<uint8_t> version;
    EXPECT_EQ(client.ReadMem(ip[1], 0x0088, 32, &version), kOk);
    EXPECT_EQ(Text(version, 0, 32), "2.0.0") << "the new firmware's version";
}

}  // namespace
