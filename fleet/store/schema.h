// The store's schema version, which both engines write and check.
#pragma once

namespace vb::fleet {

// Schema version this build writes; older stores are migrated on open, a
// newer one is refused.
inline constexpr int kSchemaVersion = 2;

}  // namespace vb::fleet
