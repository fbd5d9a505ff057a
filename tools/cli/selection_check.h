// A --meter or --line that names nothing in the store is a typo, which a
// nightly script must not pass silently: the commands that read a store
// refuse it and say what the store holds.
#pragma once

#include <string>

#include "store.h"

namespace vb::cli {

// False (with *error) when the store cannot be read; else true, with
// *unknown saying what the selection names that the store does not hold
// (empty when it holds all).
bool checkSelection(fleet::Store& store, const fleet::MeterSelection& selection,
                    std::string* unknown, std::string* error);

}  // namespace vb::cli
