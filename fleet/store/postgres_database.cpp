#include "database.h"

namespace vb::fleet {

std::unique_ptr<Database> openPostgres(const std::string& uri, bool, std::string* error) {
  *error = uri + ": this build has no PostgreSQL engine";
  return nullptr;
}

}  // namespace vb::fleet
