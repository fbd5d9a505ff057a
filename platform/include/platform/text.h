// Fixed-size text fields: bounded copies that clear the rest of the field, as
// every record of the system keeps its texts.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

namespace vb::platform {

// Copies at most size bytes of src into the field and fills the rest with
// NULs. A text that fills the field is not terminated (strncpy semantics).
inline void copyField(char* field, size_t size, const char* src) {
  size_t n = 0;
  if (src != nullptr) {
    while (n < size && src[n] != '\0') ++n;
    std::memcpy(field, src, n);
  }
  std::memset(field + n, 0, size - n);
}

// Copies at most size - 1 bytes and always terminates.
inline void copyTerminated(char* field, size_t size, const char* src) {
  if (size == 0) return;
  copyField(field, size - 1, src);
  field[size - 1] = '\0';
}

// Formats into the field, cut to size - 1 characters, rest cleared.
__attribute__((format(printf, 3, 4))) inline void formatField(char* field, size_t size,
                                                              const char* format, ...) {
  if (size == 0) return;
  std::memset(field, 0, size);
  va_list args;
  va_start(args, format);
  std::vsnprintf(field, size, format, args);
  va_end(args);
}

// A message from the library, a modem or a PAD as one readable line:
// leading and trailing line breaks and blanks go, inner runs of them become
// one space, a space before a colon goes, and any other control character
// is written as \xNN, so nothing that was said is lost.
inline std::string oneLine(const std::string& text) {
  std::string line;
  bool gap = false;
  for (unsigned char c : text) {
    if (c == '\r' || c == '\n' || c == '\t' || c == ' ') {
      gap = true;
      continue;
    }
    if (gap && !line.empty() && c != ':') line += ' ';
    gap = false;
    if (c < 0x20 || c == 0x7F) {
      static const char kHex[] = "0123456789ABCDEF";
      line += "\\x";
      line += kHex[c >> 4];
      line += kHex[c & 0xF];
    } else {
      line += static_cast<char>(c);
    }
  }
  return line;
}

}  // namespace vb::platform
