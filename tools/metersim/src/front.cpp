#include "front.h"

#include <algorithm>
#include <cctype>

namespace vb::metersim {
namespace {

// The meter straight on the line.
class DirectFront : public FrontEnd {
 public:
  void received(const uint8_t* bytes, size_t count, uint64_t, std::vector<uint8_t>* link) override {
    link->insert(link->end(), bytes, bytes + count);
  }
  void tick(uint64_t) override {}
  bool carrying() const override { return true; }
  void dropCall() override {}
};

}  // namespace

std::unique_ptr<FrontEnd> makeFront(const Options& options) {
  switch (options.front) {
    case Front::Pad:
      return makePadFront(options);
    case Front::Modem:
      return makeModemFront(options);
    case Front::Meter:
      break;
  }
  return std::make_unique<DirectFront>();
}

std::string upperCase(const std::string& text) {
  std::string upper = text;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper;
}

bool listed(const std::vector<std::string>& list, const std::string& entry) {
  return std::find(list.begin(), list.end(), entry) != list.end();
}

}  // namespace vb::metersim
