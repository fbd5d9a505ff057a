// The store's schema version, which both engines write and check, and the
// tables every store has.
#pragma once

namespace vb::fleet {

// Schema version this build writes; older stores are migrated on open, a
// newer one is refused.
inline constexpr int kSchemaVersion = 3;

// Every table of a store, each after those its rows refer to.
inline constexpr const char* kStoreTables[] = {
    "runs",     "meters",  "identities", "versions", "loggers", "epochs", "attempts",
    "headers",  "pairs",   "totals",     "events",   "alarms",  "outbox", "leases",
    "publishers"};

}  // namespace vb::fleet
