#pragma once
// A small JSON writer for the tool's --json output: objects and arrays are opened and closed in
// order, commas and escapes are its business, never the caller's.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavi::cli {

class JsonWriter {
  public:
    JsonWriter& BeginObject(std::string_view key = {});
    JsonWriter& EndObject();
    JsonWriter& BeginArray(std::string_view key = {});
    JsonWriter& EndArray();
    // A member of the current object (with a key) or an element of the current array (key empty).
    JsonWriter& String(std::string_view key, std::string_view value);
    JsonWriter& Integer(std::string_view key, int64_t value);
    JsonWriter& Unsigned(std::string_view key, uint64_t value);
    JsonWriter& Number(std::string_view key, double value);
    JsonWriter& Bool(std::string_view key, bool value);
    JsonWriter& Null(std::string_view key);

    const std::string& Text() const { return text_; }

  private:
    void Open(std::string_view key, char bracket);
    void Close(char bracket);
    void Key(std::string_view key);
    void Quoted(std::string_view text);

    std::string text_;
    std::vector<bool> first_;  // per open container: no member written yet
};

}  // namespace tavi::cli
