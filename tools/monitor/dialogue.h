// The call set-up dialogue before a link: the PAD's X.28 commands and service
// signals and the modem's AT commands and result codes, as readable text
// with the replies recognised.
#pragma once

#include <string>

#include "event.h"

namespace vb::monitor {

struct DialogueReading {
  std::string meaning;  // e.g. "modem dial 0123", "call refused: number busy"
  std::string signal;   // the recognised command or reply word, or ""
  bool failure = false;  // a reply that ends the call set-up
};

// Reads one line of dialogue text (without its line end). The PAD recall
// character DLE may lead a host line.
DialogueReading readDialogue(Direction direction, const std::string& line);

}  // namespace vb::monitor
