// Figures a benchmark prints: one table row per figure, in the form bench/run
// gathers into its table ("| benchmark | figure | value | target |").
#pragma once

#include <string>
#include <vector>

namespace vb::bench {

double median(std::vector<double> values);

// Prints one row; target may be empty.
void printFigure(const std::string& benchmark, const std::string& figure, const std::string& value,
                 const std::string& target = std::string());

// Fixed-point text of a value.
std::string fixed(double value, int decimals);

}  // namespace vb::bench
