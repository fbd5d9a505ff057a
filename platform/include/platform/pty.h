// Pseudo-terminal pairs: the far end of a serial line in tests, the demo and
// the meter simulator.
#pragma once

#include <string>

#include "platform/line_handle.h"

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
  LineHandle master() const { return lineFromField(master_); }
  LineHandle slave() const { return lineFromField(slave_); }
  const std::string& slavePath() const { return slavePath_; }
  // Gives up ownership of a side (returns it; None afterwards).
  LineHandle releaseMaster();
  LineHandle releaseSlave();
  // Closes the slave side (the master keeps the pair alive while it is open).
  void closeSlave();
  void close();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace vb::platform
