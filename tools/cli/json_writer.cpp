#include "json_writer.h"

#include <cmath>
#include <cstdio>

namespace vb::cli {

std::string jsonQuoted(const std::string& text) {
  std::string quoted = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\t':
        quoted += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          // Meter texts are bytes, not UTF-8: anything outside printable
          // ASCII is kept as its code point.
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          quoted += escape;
        } else {
          quoted += static_cast<char>(c);
        }
    }
  }
  return quoted + "\"";
}

void JsonWriter::separate() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!hasMember_.empty()) {
    if (hasMember_.back()) out_ += ",";
    hasMember_.back() = true;
  }
}

JsonWriter& JsonWriter::beginObject() {
  separate();
  out_ += "{";
  hasMember_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::endObject() {
  hasMember_.pop_back();
  out_ += "}";
  return *this;
}

JsonWriter& JsonWriter::beginArray() {
  separate();
  out_ += "[";
  hasMember_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::endArray() {
  hasMember_.pop_back();
  out_ += "]";
  return *this;
}

JsonWriter& JsonWriter::key(const std::string& name) {
  separate();
  out_ += jsonQuoted(name) + ":";
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::value(const std::string& text) {
  separate();
  out_ += jsonQuoted(text);
  return *this;
}

JsonWriter& JsonWriter::value(int64_t number) {
  separate();
  out_ += std::to_string(number);
  return *this;
}

JsonWriter& JsonWriter::value(double number) {
  if (!std::isfinite(number)) return null();
  separate();
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", number);
  out_ += text;
  return *this;
}

JsonWriter& JsonWriter::value(bool flag) {
  separate();
  out_ += flag ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::null() {
  separate();
  out_ += "null";
  return *this;
}

std::string JsonWriter::text() const { return hasMember_.empty() ? out_ + "\n" : out_; }

}  // namespace vb::cli
