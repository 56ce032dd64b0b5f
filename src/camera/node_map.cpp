#include "camera/node_map.h"

#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <pugixml.hpp>
#include <sstream>

namespace tavi {

namespace {

struct KindInterface {
    const char* kind;
    NodeInterface interface_type;
};

constexpr KindInterface kKindInterfaces[] = {
    {"Category", NodeInterface::kCategory},
    {"Integer", NodeInterface::kInteger},
    {"IntReg", NodeInterface::kInteger},
    {"MaskedIntReg", NodeInterface::kInteger},
    {"StructEntry", NodeInterface::kInteger},
    {"IntSwissKnife", NodeInterface::kInteger},
    {"IntConverter", NodeInterface::kInteger},
    {"Float", NodeInterface::kFloat},
    {"FloatReg", NodeInterface::kFloat},
    {"SwissKnife", NodeInterface::kFloat},
    {"Converter", NodeInterface::kFloat},
    {"Boolean", NodeInterface::kBoolean},
    {"Command", NodeInterface::kCommand},
    {"Enumeration", NodeInterface::kEnumeration},
    {"EnumEntry", NodeInterface::kEnumEntry},
    {"String", NodeInterface::kString},
    {"StringReg", NodeInterface::kString},
    {"Register", NodeInterface::kRegister},
    {"Port", NodeInterface::kPort},
    {"ConfRom", NodeInterface::kInteger},
    {"TextDesc", NodeInterface::kString},
    {"IntKey", NodeInterface::kInteger},
    {"AdvFeatureLock", NodeInterface::kInteger},
    {"SmartFeature", NodeInterface::kInteger},
};

NodeInterface InterfaceOfKind(std::string_view kind) {
    for (const KindInterface& entry : kKindInterfaces) {
        if (kind == entry.kind) return entry.interface_type;
    }
    return NodeInterface::kBase;
}

constexpr int kMaxGroupDepth = 64;

// Elements that are nodes of their own although they sit inside another node.
bool IsNestedNode(std::string_view kind) { return kind == "StructEntry" || kind == "EnumEntry"; }

std::string_view Trim(std::string_view text) {
    const auto is_space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

void AddProperty(DescriptionNode* node, const std::string& property, const std::string& value) {
    if (value.empty()) return;
    std::string& joined = node->properties[property];
    if (!joined.empty()) joined += ' ';
    joined += value;
}

// The properties a node states itself: its child elements that carry a value. A pIndex also states
// its step in an attribute, kept as the property "pIndex.Offset" or "pIndex.pOffset".
void CollectOwnProperties(const pugi::xml_node& element, DescriptionNode* node) {
    for (const pugi::xml_node& child : element.children()) {
        if (child.type() != pugi::node_element || IsNestedNode(child.name())) continue;
        AddProperty(node, child.name(), NormalisePropertyText(child.child_value()));
        if (std::string_view(child.name()) == "pIndex") {
            for (const char* step : {"Offset", "pOffset"}) {
                AddProperty(node, std::string("pIndex.") + step,
                            NormalisePropertyText(child.attribute(step).value()));
            }
        }
    }
}

DescriptionNode MakeNode(const pugi::xml_node& element, std::string name) {
    DescriptionNode node;
    node.name = std::move(name);
    node.kind = element.name();
    node.interface_type = InterfaceOfKind(node.kind);
    CollectOwnProperties(element, &node);
    return node;
}

// What a node costs beyond its texts: the node itself, its slot in the name index, and the hash
// nodes of its properties.
constexpr size_t kNodeOverhead = sizeof(DescriptionNode) + 64;
constexpr size_t kPropertyOverhead = 64;

size_t CostOf(const PropertyMap& properties) {
    size_t cost = 0;
    for (const auto& [property, value] : properties)
        cost += kPropertyOverhead + property.size() + value.size();
    return cost;
}

size_t CostOf(const DescriptionNode& node) {
    return kNodeOverhead + 2 * node.name.size() + node.kind.size() + CostOf(node.properties);
}

class NodeCollector {
  public:
    explicit NodeCollector(std::vector<DescriptionNode>* nodes) : nodes_(nodes) {}

    // Nodes are the named elements of the description and of its groups, at any depth a real file
    // uses. False for groups nested deeper, or nodes beyond the map's budget, which only a hostile
    // file holds.
    bool CollectFrom(const pugi::xml_node& parent, int depth = 0) {
        if (depth > kMaxGroupDepth) return Refuse("groups nested too deep");
        for (const pugi::xml_node& element : parent.children()) {
            if (element.type() != pugi::node_element) continue;
            if (std::string_view(element.name()) == "Group") {
                if (!CollectFrom(element, depth + 1)) return false;
                continue;
            }
            // A StructReg has no name of its own (only a Comment), but its entries are nodes.
            const char* name = element.attribute("Name").value();
            if (!CollectNested(element, MakeNode(element, name))) return false;
        }
        return true;
    }

    const char* refusal() const { return refusal_; }

  private:
    bool Refuse(const char* why) {
        refusal_ = why;
        return false;
    }

    bool Add(DescriptionNode node) {
        spent_ += CostOf(node);
        if (spent_ > NodeMap::kMaxMapBytes) return Refuse("the description needs more memory than allowed");
        nodes_->push_back(std::move(node));
        return true;
    }

    // The owner first (when it has a name), then its entries: a StructReg's entries share what they
    // do not state (Address, Length, ...) with the StructReg; an enumeration's entries are named
    // after it.
    bool CollectNested(const pugi::xml_node& element, DescriptionNode owner) {
        std::shared_ptr<const PropertyMap> shared;
        const std::string owner_name = owner.name;
        if (!owner_name.empty() && !Add(owner)) return false;
        for (const pugi::xml_node& child : element.children()) {
            const std::string_view kind = child.name();
            const char* name = child.attribute("Name").value();
            if (!IsNestedNode(kind) || *name == '\0') continue;
            if (kind == "StructEntry") {
                if (!shared) {
                    spent_ += CostOf(owner.properties);  // held once, by all entries together
                    shared = std::make_shared<const PropertyMap>(std::move(owner.properties));
                }
                DescriptionNode entry = MakeNode(child, name);
                entry.inherited = shared;
                if (!Add(std::move(entry))) return false;
            } else if (!Add(MakeNode(child, "EnumEntry_" + owner_name + "_" + name))) {
                return false;
            }
        }
        return true;
    }

    std::vector<DescriptionNode>* nodes_;
    size_t spent_ = 0;
    const char* refusal_ = "";
};

// Elements and attributes a parser would make of the text, counted without parsing it.
size_t MarkupCount(const char* text, size_t size) {
    size_t count = 0;
    for (size_t i = 0; i < size; ++i) count += static_cast<size_t>(text[i] == '<' || text[i] == '=');
    return count;
}

std::vector<std::string> SplitAtSpaces(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream stream(text);
    for (std::string word; stream >> word;) words.push_back(word);
    return words;
}

}  // namespace

const std::string* DescriptionNode::Property(std::string_view property) const {
    const std::string key(property);
    for (const PropertyMap* map : {&properties, inherited.get()}) {
        if (map == nullptr) continue;
        const auto found = map->find(key);
        if (found != map->end() && !found->second.empty()) return &found->second;
    }
    return nullptr;
}

std::string NormalisePropertyText(std::string_view text) {
    text = Trim(text);
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        const std::string digits(text.substr(2));
        char* end = nullptr;
        errno = 0;
        const unsigned long long value = std::strtoull(digits.c_str(), &end, 16);
        if (errno == 0 && end != nullptr && *end == '\0' &&
            std::isxdigit(static_cast<unsigned char>(digits[0]))) {
            return std::to_string(value);
        }
    }
    return std::string(text);
}

namespace {
// Chains deeper than this are taken for a loop in a hostile description.
constexpr int kMaxAddressChainDepth = 32;
}  // namespace

bool NodeMap::StaticValue(std::string_view name, uint32_t* value) const {
    std::string current(name);
    for (int depth = 0; depth <= kMaxAddressChainDepth; ++depth) {
        const DescriptionNode* node = GetNode(current);
        if (node == nullptr) return false;
        if (const std::string* text = node->Property("Value")) {
            *value = static_cast<uint32_t>(PropertyTextToInt(*text));
            return true;
        }
        const std::string* next = node->Property("pValue");
        if (next == nullptr) return false;
        current = *next;
    }
    return false;
}

bool NodeMap::IndexedOffset(const DescriptionNode& node, uint32_t* offset) const {
    *offset = 0;
    const std::string* index_name = node.Property("pIndex");
    if (index_name == nullptr) return true;
    // The library reaches each sensor and channel through its own fixed offsets (0x100 per sensor,
    // 0x40 per channel) and never writes a selector to the camera. An index that is a constant of
    // the description counts; one held in a register (the selector itself) is taken at its first
    // entry, index 0, where those offsets start.
    uint32_t index = 0;
    if (!StaticValue(*index_name, &index) || index == 0) return true;
    uint32_t step = 0;
    if (const std::string* text = node.Property("pIndex.Offset")) {
        step = static_cast<uint32_t>(PropertyTextToInt(*text));
    } else if (const std::string* step_name = node.Property("pIndex.pOffset")) {
        // A step held in a register cannot be known without the camera: no address then.
        if (!StaticValue(*step_name, &step)) return false;
    }
    *offset = index * step;  // unsigned: wraps like the rest of the address arithmetic
    return true;
}

bool NodeMap::RegisterAddress(std::string_view name, uint32_t* address) const {
    std::string current(name);
    uint32_t indexed = 0;  // what the pIndex of the nodes passed adds
    for (int depth = 0; depth <= kMaxAddressChainDepth; ++depth) {
        const DescriptionNode* node = GetNode(current);
        if (node == nullptr) return false;
        const std::string* next = nullptr;
        uint32_t offset = 0;
        if (!IndexedOffset(*node, &offset)) return false;
        indexed += offset;
        if (const std::string* text = node->Property("Address")) {
            *address = static_cast<uint32_t>(PropertyTextToInt(*text)) + indexed;
            return true;
        }
        if (const std::string* names = node->Property("pAddress")) {
            std::istringstream words(*names);
            std::string first;
            words >> first;
            current = first;
            continue;
        }
        if (const std::string* text = node->Property("Value")) {
            *address = static_cast<uint32_t>(PropertyTextToInt(*text)) + indexed;
            return true;
        }
        next = node->Property("pValue");
        if (next == nullptr) {
            *address = indexed;
            return true;
        }
        current = *next;
    }
    return false;
}

int PropertyTextToInt(const std::string& text) {
    return static_cast<int>(static_cast<uint32_t>(std::strtoll(text.c_str(), nullptr, 10)));
}

bool UnzipDescription(const unsigned char* data, size_t size, size_t max_size, std::string* xml,
                      std::string* error) {
    zip_error_t zip_error;
    zip_error_init(&zip_error);
    zip_source_t* source = zip_source_buffer_create(data, size, 0, &zip_error);
    zip_t* archive = source != nullptr ? zip_open_from_source(source, ZIP_RDONLY, &zip_error) : nullptr;
    if (archive == nullptr) {
        *error = std::string("not a zip file: ") + zip_error_strerror(&zip_error);
        if (source != nullptr) zip_source_free(source);
        zip_error_fini(&zip_error);
        return false;
    }
    zip_error_fini(&zip_error);
    zip_int64_t xml_index = -1;
    const zip_int64_t entries = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < entries; ++i) {
        const char* entry_name = zip_get_name(archive, static_cast<zip_uint64_t>(i), 0);
        const std::string_view name = entry_name != nullptr ? entry_name : "";
        if (name.size() < 4) continue;
        std::string extension(name.substr(name.size() - 4));
        for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (extension != ".xml") continue;
        if (xml_index >= 0) {
            *error = "the zip holds more than one .xml file";
            zip_discard(archive);
            return false;
        }
        xml_index = i;
    }
    zip_stat_t stat;
    zip_stat_init(&stat);
    bool ok = false;
    if (xml_index < 0) {
        *error = "the zip holds no .xml file";
    } else if (zip_stat_index(archive, static_cast<zip_uint64_t>(xml_index), 0, &stat) != 0 ||
               (stat.valid & ZIP_STAT_SIZE) == 0 || stat.size > max_size) {
        *error = "the zipped .xml file is missing its size or too large";
    } else if (zip_file_t* file = zip_fopen_index(archive, static_cast<zip_uint64_t>(xml_index), 0)) {
        xml->assign(static_cast<size_t>(stat.size), '\0');
        ok = zip_fread(file, xml->data(), stat.size) == static_cast<zip_int64_t>(stat.size);
        if (!ok) *error = "the zipped .xml file could not be read";
        zip_fclose(file);
    } else {
        *error = "the zipped .xml file could not be opened";
    }
    zip_discard(archive);
    return ok;
}

bool NodeMap::Build(const unsigned char* data, size_t size, bool zipped, std::string* error) {
    Release();
    try {
        if (BuildFrom(data, size, zipped, error)) return true;
    } catch (const std::exception&) {
        // Out of memory, or a container's own limit: too expensive a description for this PC.
        Release();
        *error = "the description could not be held in memory";
    }
    Release();
    return false;
}

bool NodeMap::BuildFrom(const unsigned char* data, size_t size, bool zipped, std::string* error) {
    if (data == nullptr || size == 0 || size > kMaxDescriptionSize) {
        *error = "the description is empty or too large";
        return false;
    }
    std::string unzipped;
    const char* text = reinterpret_cast<const char*>(data);
    if (zipped) {
        if (!UnzipDescription(data, size, kMaxDescriptionSize, &unzipped, error)) return false;
        text = unzipped.data();
        size = unzipped.size();
    }
    if (MarkupCount(text, size) > kMaxMarkupCount) {
        *error = "the description holds more elements than allowed";
        return false;
    }
    pugi::xml_document document;
    // The unzipped copy is parsed where it lies; plain text is copied once by the parser.
    const pugi::xml_parse_result parsed =
        zipped ? document.load_buffer_inplace(unzipped.data(), size) : document.load_buffer(text, size);
    if (!parsed) {
        *error = std::string("malformed XML: ") + parsed.description();
        return false;
    }
    const pugi::xml_node root = document.document_element();
    if (std::string_view(root.name()) != "RegisterDescription") {
        *error = "the XML is not a register description";
        return false;
    }
    NodeCollector collector(&nodes_);
    if (!collector.CollectFrom(root)) {
        *error = collector.refusal();
        return false;
    }
    if (nodes_.empty()) {
        *error = "the description holds no node";
        return false;
    }
    // The first node of a name wins, as a look-up by name can only find one.
    for (size_t i = 0; i < nodes_.size(); ++i) index_.try_emplace(nodes_[i].name, i);
    MarkFeatures();
    return true;
}

// Features: every node reachable from the category Root through pFeature, through categories.
void NodeMap::MarkFeatures() {
    std::deque<std::string> pending{"Root"};
    while (!pending.empty()) {
        const auto found = index_.find(pending.front());
        pending.pop_front();
        if (found == index_.end() || nodes_[found->second].is_feature) continue;
        DescriptionNode& node = nodes_[found->second];
        node.is_feature = true;
        if (node.interface_type != NodeInterface::kCategory) continue;
        if (const std::string* features = node.Property("pFeature")) {
            for (std::string& name : SplitAtSpaces(*features)) pending.push_back(std::move(name));
        }
    }
}

void NodeMap::Release() {
    // Swapped out rather than cleared, so that a refused description gives its memory back.
    std::vector<DescriptionNode>().swap(nodes_);
    std::unordered_map<std::string, size_t>().swap(index_);
}

const DescriptionNode* NodeMap::GetNode(std::string_view name) const {
    const auto found = index_.find(std::string(name));
    return found == index_.end() ? nullptr : &nodes_[found->second];
}

}  // namespace tavi
