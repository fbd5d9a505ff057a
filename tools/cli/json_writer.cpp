#include "json_writer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vb::cli {

namespace {

using Json = nlohmann::ordered_json;

// Meter texts are bytes, not UTF-8: each byte stands for the code point of
// its value, so every text is written whatever the meter sent.
Json byteText(const std::string& text) {
  std::string utf8;
  utf8.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return Json(std::move(utf8));
}

std::string serialised(const Json& json) {
  return json.dump(-1, ' ', true, Json::error_handler_t::replace);
}

// Whole numbers below this are written without a fraction or exponent.
constexpr double kWholeNumberLimit = 1e9;

}  // namespace

std::string jsonQuoted(const std::string& text) { return serialised(byteText(text)); }

std::string jsonQuotedUtf8(const std::string& text) { return serialised(Json(text)); }

Json& JsonWriter::add(Json value) {
  if (open_.empty()) {
    document_ = std::move(value);
    return document_;
  }
  Json& container = *open_.back();
  if (container.is_object()) return container[key_] = std::move(value);
  container.push_back(std::move(value));
  return container.back();
}

JsonWriter& JsonWriter::beginObject() {
  open_.push_back(&add(Json::object()));
  return *this;
}

JsonWriter& JsonWriter::endObject() {
  open_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::beginArray() {
  open_.push_back(&add(Json::array()));
  return *this;
}

JsonWriter& JsonWriter::endArray() {
  open_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::key(const std::string& name) {
  key_ = byteText(name).get<std::string>();
  return *this;
}

JsonWriter& JsonWriter::value(const std::string& text) {
  add(byteText(text));
  return *this;
}

JsonWriter& JsonWriter::utf8(const std::string& text) {
  add(Json(text));
  return *this;
}

JsonWriter& JsonWriter::value(int64_t number) {
  add(number);
  return *this;
}

JsonWriter& JsonWriter::value(double number) {
  if (!std::isfinite(number)) return null();
  // Nine significant digits hold every float; the shortest form of the
  // rounded double is then those digits.
  char digits[32];
  std::snprintf(digits, sizeof digits, "%.9g", number);
  const double rounded = std::strtod(digits, nullptr);
  if (rounded == std::trunc(rounded) && std::fabs(rounded) < kWholeNumberLimit) {
    add(static_cast<int64_t>(rounded));
  } else {
    add(rounded);
  }
  return *this;
}

JsonWriter& JsonWriter::value(bool flag) {
  add(flag);
  return *this;
}

JsonWriter& JsonWriter::null() {
  add(nullptr);
  return *this;
}

std::string JsonWriter::text() const { return serialised(document_) + "\n"; }

}  // namespace vb::cli
