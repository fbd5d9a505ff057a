// A small streaming JSON writer: objects, arrays, strings with every control
// character escaped, integers and floats (non-finite floats become null).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
  JsonWriter& value(int64_t number);
  JsonWriter& value(uint32_t number) { return value(static_cast<int64_t>(number)); }
  JsonWriter& value(int32_t number) { return value(static_cast<int64_t>(number)); }
  JsonWriter& value(double number);
  JsonWriter& value(bool flag);
  JsonWriter& null();

  // The document so far, followed by a line break once complete.
  std::string text() const;

 private:
  void separate();

  std::string out_;
  // Per open container: whether it has a member yet.
  std::vector<bool> hasMember_;
  bool afterKey_ = false;
};

// The JSON string literal of a text (with quotes).
std::string jsonQuoted(const std::string& text);

}  // namespace vb::cli
