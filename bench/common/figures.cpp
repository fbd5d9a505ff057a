#include "figures.h"

#include <algorithm>
#include <cstdio>

namespace vb::bench {

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void printFigure(const std::string& benchmark, const std::string& figure, const std::string& value,
                 const std::string& target) {
  std::printf("| %s | %s | %s | %s |\n", benchmark.c_str(), figure.c_str(), value.c_str(),
              target.c_str());
  std::fflush(stdout);
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace vb::bench
