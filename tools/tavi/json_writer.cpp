#include "json_writer.h"

#include <cmath>
#include <cstdio>

namespace tavi::cli {

void JsonWriter::Key(std::string_view key) {
    if (!first_.empty()) {
        if (!first_.back()) text_ += ',';
        first_.back() = false;
    }
    if (!key.empty()) {
        Quoted(key);
        text_ += ':';
    }
}

void JsonWriter::Quoted(std::string_view text) {
    text_ += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            text_ += '\\';
            text_ += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            text_ += escaped;
        } else if (byte >= 0x80) {
            // Camera texts are raw bytes, not necessarily UTF-8: anything beyond ASCII is replaced so
            // that the output always parses.
            text_ += "\\ufffd";
        } else {
            text_ += c;
        }
    }
    text_ += '"';
}

void JsonWriter::Open(std::string_view key, char bracket) {
    Key(key);
    text_ += bracket;
    first_.push_back(true);
}

void JsonWriter::Close(char bracket) {
    if (!first_.empty()) first_.pop_back();
    text_ += bracket;
}

JsonWriter& JsonWriter::BeginObject(std::string_view key) { return Open(key, '{'), *this; }
JsonWriter& JsonWriter::EndObject() { return Close('}'), *this; }
JsonWriter& JsonWriter::BeginArray(std::string_view key) { return Open(key, '['), *this; }
JsonWriter& JsonWriter::EndArray() { return Close(']'), *this; }

JsonWriter& JsonWriter::String(std::string_view key, std::string_view value) {
    Key(key);
    Quoted(value);
    return *this;
}

JsonWriter& JsonWriter::Integer(std::string_view key, int64_t value) {
    Key(key);
    text_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Unsigned(std::string_view key, uint64_t value) {
    Key(key);
    text_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Number(std::string_view key, double value) {
    Key(key);
    if (!std::isfinite(value)) {
        text_ += "null";  // JSON has no infinities
        return *this;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    text_ += text;
    return *this;
}

JsonWriter& JsonWriter::Bool(std::string_view key, bool value) {
    Key(key);
    text_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null(std::string_view key) {
    Key(key);
    text_ += "null";
    return *this;
}

}  // namespace tavi::cli
