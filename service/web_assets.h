// The dashboard's files, compiled into the program at build time: the
// service serves these and nothing else.
#pragma once

#include <cstddef>
#include <string>

namespace vb::service {

struct WebAsset {
  const char* name;  // as requested: "index.html", "app.js"
  const char* type;  // its content type
  const unsigned char* data;
  size_t size;
};

// The asset of that exact name; nullptr for any other.
const WebAsset* findWebAsset(const std::string& name);

}  // namespace vb::service
