// Builds one JSON document member by member, in the order written, on
// nlohmann-json. Texts are taken as bytes: anything outside printable ASCII
// is written as the \u escape of its byte value; the meter's texts are
// bytes in no known character set. Texts of the host's own (names from a
// fleet file, which is UTF-8) are written as the characters they are.
// Floats are written with at most nine significant digits (non-finite ones
// become null).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vb::cli {

class JsonWriter {
 public:
  JsonWriter& beginObject();
  JsonWriter& endObject();
  JsonWriter& beginArray();
  JsonWriter& endArray();
  // The key of the next member of the current object.
  JsonWriter& key(const std::string& name);
  JsonWriter& value(const std::string& text);
  JsonWriter& value(const char* text) { return value(std::string(text)); }
  // A UTF-8 text of the host's; a byte that is not UTF-8 becomes U+FFFD.
  JsonWriter& utf8(const std::string& text);
  JsonWriter& value(int64_t number);
  JsonWriter& value(uint32_t number) { return value(static_cast<int64_t>(number)); }
  JsonWriter& value(int32_t number) { return value(static_cast<int64_t>(number)); }
  JsonWriter& value(double number);
  JsonWriter& value(bool flag);
  JsonWriter& null();

  // The complete document, followed by a line break.
  std::string text() const;

 private:
  // Places a value in the open container (or as the document) and returns it.
  nlohmann::ordered_json& add(nlohmann::ordered_json value);

  nlohmann::ordered_json document_;
  // The containers being filled, innermost last. Only the innermost one
  // grows, so the pointers to the others stay valid.
  std::vector<nlohmann::ordered_json*> open_;
  std::string key_;
};

// The JSON string literal of a text (with quotes): of meter bytes, and of a
// UTF-8 text of the host's.
std::string jsonQuoted(const std::string& text);
std::string jsonQuotedUtf8(const std::string& text);

}  // namespace vb::cli
