// The device description as the camera hands it over, plain XML or a zip, built into the node map,
// then every question the library asks of the map: register addresses through pValue / pAddress
// chains, limits, string-register lengths and the feature list.
//
// Input: one flag byte (bit 0: the description is zipped), then the description's bytes, up to
// 1 MiB: enough for descriptions that would amplify (entries that copy their owner's properties,
// names multiplied by their entries). Building one never costs more than a fixed memory ceiling.

#include <string>
#include <vector>

#include "TaviSDK/GigeCamera.h"
#include "camera/node_map.h"
#include "fuzz_input.h"
#include "support/peak_memory.h"

namespace {

using tavi::DescriptionNode;
using tavi::fuzz::Expect;

constexpr size_t kMaxNodesAsked = 256;
// The map's budget, the parsed document and the copies around them, with room for the sanitizers'
// own bookkeeping.
constexpr size_t kMemoryCeiling = 384u << 20;
const char* const kReferenceProperties[] = {"pValue", "pAddress", "pFeature", "pMin", "pMax", "pInc"};

void ExpectLookupsAgree(const tavi::NodeMap& map) {
    for (const DescriptionNode& node : map.GetNodes()) {
        const DescriptionNode* found = map.GetNode(node.name);
        Expect(found != nullptr && found->name == node.name, "every node is found by its name");
        Expect(!node.name.empty(), "a node has a name");
    }
    Expect(map.GetNode("") == nullptr || !map.GetNode("")->name.empty(), "no node without a name");
}

// A limit whose value sits in another node is read from the camera's registers, which takes a
// transport; without one each read waits out its retries, so those queries are left out.
bool AnswersWithoutRegisters(const DescriptionNode& node, const char* property) {
    return node.Property(property) != nullptr || node.Property(std::string("p") + property) == nullptr;
}

// The questions go by name, so they meet the first node of a name, as the camera's callers do.
void AskAbout(GigeCamera& camera, const std::string& name) {
    const DescriptionNode& node = *camera.node_map->GetNode(name);
    camera.GetRegisterAddr(node.name.c_str());
    if (AnswersWithoutRegisters(node, "Min")) camera.GetNodeMinValue(node.name.c_str());
    if (AnswersWithoutRegisters(node, "Max")) camera.GetNodeMaxValue(node.name.c_str());
    if (AnswersWithoutRegisters(node, "Inc")) {
        Expect(camera.GetNodeIncValue(node.name.c_str()) != 0, "an increment is never 0");
    }
    const std::string* length = node.Property("Length");
    if (length == nullptr || tavi::PropertyTextToInt(*length) <= 0) {
        char ignored[1] = {};
        camera.ReadStringRegister(node.name.c_str(), ignored);  // no length: nothing is read
    }
    // Names the node refers to, whether or not they exist.
    for (const char* property : kReferenceProperties) {
        if (const std::string* target = node.Property(property)) camera.GetRegisterAddr(target->c_str());
    }
}

void ExpectFeatureNames(GigeCamera& camera) {
    std::vector<std::string> names;
    camera.GetCameraXMLNodeNames(&names);
    for (const std::string& name : names) {
        const DescriptionNode* node = camera.node_map->GetNode(name);
        Expect(node != nullptr && node->is_feature, "a feature name is a feature node");
        Expect(node->interface_type != tavi::NodeInterface::kCategory, "a category is no feature name");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tavi::fuzz::FuzzInput in(data, size);
    const bool zipped = (in.U8() & 1) != 0;
    const auto description = in.Rest();
    // An exact copy, so that any read past the description's end is caught.
    const std::vector<unsigned char> bytes(description.begin(), description.end());

    auto map = std::make_unique<tavi::NodeMap>();
    std::string error;
    tavi::test::PeakMemory memory;
    const bool measured = memory.Start();
    const bool built = map->Build(bytes.data(), bytes.size(), zipped, &error);
    Expect(!measured || memory.Rise() < kMemoryCeiling, "a description costs no more than the ceiling");
    Expect(built == map->HasNodeMap(), "a map is either built or empty");
    Expect(built || !error.empty(), "a refused description says why");
    if (!built) return 0;
    ExpectLookupsAgree(*map);

    GigeCamera camera;
    tavi::fuzz::LogEverythingTo(&camera.log);
    camera.node_map = std::move(map);
    camera.connected = 1;  // the node questions need a connection, never its socket
    camera.GetRegisterAddr(nullptr);
    camera.GetRegisterAddr("Root");
    size_t asked = 0;
    for (const DescriptionNode& node : camera.node_map->GetNodes()) {
        if (++asked > kMaxNodesAsked) break;
        AskAbout(camera, node.name);
    }
    ExpectFeatureNames(camera);
    camera.connected = 0;  // nothing to disconnect
    return 0;
}
