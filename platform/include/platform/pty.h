// Pseudo-terminal pairs: the far end of a serial line in tests, the demo and
// the meter simulator.
#pragma once

#include <string>

namespace vb::platform {

// An open pseudo-terminal pair, both sides in raw mode. Owns both
// descriptors; either may be released to another owner.
class PseudoTerminal {
 public:
  PseudoTerminal() = default;
  ~PseudoTerminal();
  PseudoTerminal(PseudoTerminal&& other) noexcept;
  PseudoTerminal& operator=(PseudoTerminal&& other) noexcept;
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // Creates the pair. False with the OS error recorded on failure.
  bool open();
  int masterFd() const { return master_; }
  int slaveFd() const { return slave_; }
  const std::string& slavePath() const { return slavePath_; }
  // Gives up ownership of a side (returns the descriptor, -1 afterwards).
  int releaseMaster();
  int releaseSlave();
  // Closes the slave side (the master keeps the pair alive while it is open).
  void closeSlave();
  void close();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

// Closes a descriptor that some caller owns (an adopted or released line).
void closeDescriptor(int fd);

}  // namespace vb::platform
