# Writes a C++ source that holds files as byte arrays, with their names and
# content types, for vb::service::findWebAsset. Run as a script:
#   cmake -DOUTPUT=web_assets.cpp -DFILES="path|name|type;..." -P EmbedFiles.cmake
set(arrays "")
set(entries "")
set(index 0)
foreach(entry IN LISTS FILES)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 path)
  list(GET parts 1 name)
  list(GET parts 2 type)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" length)
  math(EXPR size "${length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)"
         "\\1\n" bytes "${bytes}")
  string(APPEND arrays "const unsigned char kAsset${index}[] = {\n${bytes}0};\n")
  string(APPEND entries "    {\"${name}\", \"${type}\", kAsset${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.new" "// Made at build time from the dashboard's files; not edited by hand.
#include \"web_assets.h\"

namespace vb::service {

namespace {

${arrays}
const WebAsset kAssets[] = {
${entries}};

}  // namespace

const WebAsset* findWebAsset(const std::string& name) {
  for (const WebAsset& asset : kAssets) {
    if (name == asset.name) return &asset;
  }
  return nullptr;
}

}  // namespace vb::service
")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
