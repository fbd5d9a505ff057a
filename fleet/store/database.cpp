#include "database.h"

namespace vb::fleet {

namespace {

bool isPostgresAddress(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

}  // namespace

std::unique_ptr<Database> openDatabase(const std::string& location, bool readOnly,
                                       std::string* error) {
  if (isPostgresAddress(location)) return openPostgres(location, readOnly, error);
  SqliteOptions options;
  options.readOnly = readOnly;
  return openSqlite(location, options, error);
}

}  // namespace vb::fleet
