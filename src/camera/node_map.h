#pragma once
// The camera's parsed device description: a dictionary of its nodes by name with their properties.
// It is never connected to the camera; callers take register addresses and limits from it and do
// their register traffic themselves.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavi {

// GenICam interface types of a node (the numbering of the GenICam reference library).
enum class NodeInterface : int {
    kValue = 0,
    kBase = 1,
    kInteger = 2,
    kBoolean = 3,
    kCommand = 4,
    kFloat = 5,
    kString = 6,
    kRegister = 7,
    kCategory = 8,
    kEnumeration = 9,
    kEnumEntry = 10,
    kPort = 11,
};

// Property name -> value text; numbers written in hex come out as decimal text, several elements of
// one name are joined with a space.
using PropertyMap = std::unordered_map<std::string, std::string>;

struct DescriptionNode {
    std::string name;  // without name space
    std::string kind;  // element name: Integer, IntReg, Category, ...
    NodeInterface interface_type = NodeInterface::kBase;
    bool is_feature = false;  // reachable from the category Root through pFeature
    PropertyMap properties;   // the ones the node states itself
    // What a StructEntry takes from its StructReg when it does not state it (Address, Length, ...):
    // shared by all entries of the StructReg, never copied, so that thousands of entries cost no
    // more than their owner.
    std::shared_ptr<const PropertyMap> inherited;

    // The property's value text when the node carries it with a non-empty value, else null.
    const std::string* Property(std::string_view property) const;
};

class NodeMap {
  public:
    // What a description may cost, so that a hostile one cannot exhaust the PC's memory. Real
    // descriptions stay far below each bound (the largest known are a few MB of XML with some
    // 100,000 elements and a node map of a few MB).
    // Largest description (unzipped) the map accepts.
    static constexpr size_t kMaxDescriptionSize = 16u << 20;
    // Most elements and attributes (counted as '<' and '=' characters), which bound the memory of the
    // parsed XML document.
    static constexpr size_t kMaxMarkupCount = 1u << 20;
    // Most bytes the nodes may take: their names and property texts, plus a fixed cost per node and
    // per property for the containers that hold them.
    static constexpr size_t kMaxMapBytes = 32u << 20;

    // Builds the map from a description, plain XML text or a zip holding one .xml file. False (with a
    // reason in `error`) for a malformed description or one beyond the bounds above; the map is then
    // left empty. Never throws: running out of memory is a refused description too.
    bool Build(const unsigned char* data, size_t size, bool zipped, std::string* error);
    void Release();
    bool HasNodeMap() const { return !nodes_.empty(); }

    // The node of that name, null when there is none.
    const DescriptionNode* GetNode(std::string_view name) const;
    // The register address behind a node: its Address, or the address of the node its first pAddress
    // names, or its Value, or the address of the node its pValue names, followed to a bounded depth.
    // A node with none of them lies at 0. A pIndex on the way adds index × Offset (or × the value
    // of pOffset) when the index is a constant; an index held in a register counts as 0. False for
    // an unknown name, a chain that does not end, or a constant index whose step is held in a
    // register.
    bool RegisterAddress(std::string_view name, uint32_t* address) const;

    // Every node in the order of the description file.
    const std::vector<DescriptionNode>& GetNodes() const { return nodes_; }

  private:
    // The constant behind a node: its Value, or that of the node its pValue names. False when the
    // chain ends anywhere else (a register, say) or does not end.
    bool StaticValue(std::string_view name, uint32_t* value) const;
    // What `node`'s pIndex adds to its address (0 without one); false when it cannot be known.
    bool IndexedOffset(const DescriptionNode& node, uint32_t* offset) const;
    bool BuildFrom(const unsigned char* data, size_t size, bool zipped, std::string* error);
    void MarkFeatures();

    std::vector<DescriptionNode> nodes_;
    std::unordered_map<std::string, size_t> index_;
};

// The single .xml file of a zipped description. False (with a reason) for a broken zip, none or
// several .xml entries, or an entry larger than `max_size`.
bool UnzipDescription(const unsigned char* data, size_t size, size_t max_size, std::string* xml,
                      std::string* error);

// A property value as the description writes it, normalised: surrounding white space removed and
// an integer in hex (0x...) turned into decimal text. Anything else is kept as written.
std::string NormalisePropertyText(std::string_view text);

// The leading base-10 integer of a property text (0 when there is none), wrapped to 32 bits so that
// an address above 0x7FFFFFFF survives the trip through an int.
int PropertyTextToInt(const std::string& text);

}  // namespace tavi
