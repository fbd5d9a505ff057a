// Writes the bash completion of metersim to the file named by its argument;
// the build installs it.
#include <cstdio>
#include <fstream>

#include "metersim/command_line.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: metersim_completion FILE\n", stderr);
    return 2;
  }
  std::ofstream script(argv[1], std::ios::binary);
  script << vb::metersim::bashCompletion();
  return script.flush() ? 0 : 1;
}
