#include "selection_check.h"

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

namespace vb::cli {

namespace {

constexpr size_t kNamed = 10;

// "'a', 'b' and 'c' (3 meters)", or that the store holds none yet.
std::string listing(const std::set<std::string>& names, const char* what) {
  if (names.empty()) return std::string("no ") + what + "s yet";
  std::string text;
  size_t count = 0;
  for (const std::string& name : names) {
    if (count == kNamed) {
      text += ", ...";
      break;
    }
    text += (count++ == 0 ? "'" : ", '") + name + "'";
  }
  return text + " (" + std::to_string(names.size()) + " " + what +
         (names.size() == 1 ? ")" : "s)");
}

}  // namespace

bool checkSelection(fleet::Store& store, const fleet::MeterSelection& selection,
                    std::string* unknown, std::string* error) {
  unknown->clear();
  if (selection.all()) return true;
  std::vector<std::pair<std::string, std::string>> held;
  if (!store.meterIds(&held, error)) return false;
  std::set<std::string> meters, lines;
  for (const auto& [meter, line] : held) {
    meters.insert(meter);
    lines.insert(line);
  }
  for (const std::string& meter : selection.meters) {
    if (meters.count(meter) == 0) {
      *unknown = "the store holds no meter '" + meter + "'; it holds " + listing(meters, "meter");
      return true;
    }
  }
  for (const std::string& line : selection.lines) {
    if (lines.count(line) == 0) {
      *unknown = "the store holds no line '" + line + "'; it holds " + listing(lines, "line");
      return true;
    }
  }
  return true;
}

}  // namespace vb::cli
