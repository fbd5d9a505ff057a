#include "store_copy.h"

#include <memory>
#include <optional>
#include <vector>

#include "database.h"
#include "schema.h"

namespace vb::fleet {

namespace {

// Rows read before they are loaded into the target: memory stays bounded
// whatever a table holds, and each load is large enough for COPY.
constexpr size_t kRowsPerLoad = 10000;

std::optional<uint64_t> countRows(Database& database, const std::string& table,
                                  std::string* error) {
  std::unique_ptr<Query> count = database.prepare("SELECT count(*) FROM " + table);
  if (!count || count->step() != Step::Row) {
    *error = "cannot count the rows of " + table + " in " + database.location() + ": " +
             database.lastError();
    return std::nullopt;
  }
  return static_cast<uint64_t>(count->integer(0));
}

// Copies the rows of one table; the number read.
std::optional<uint64_t> copyTable(Database& source, Database& target, const std::string& table,
                                  std::string* error) {
  std::unique_ptr<Query> select = source.prepare("SELECT * FROM " + table);
  if (!select) {
    *error = "cannot read " + table + ": " + source.lastError();
    return std::nullopt;
  }
  std::vector<std::string> columns;
  std::vector<std::vector<Value>> rows;
  uint64_t read = 0;
  auto load = [&]() {
    const std::optional<uint64_t> added = target.insertNew(
        table, columns, rows.size(),
        [&rows](size_t i, std::vector<Value>* row) { *row = rows[i]; }, error);
    if (!added) {
      *error = "cannot write " + table + ": " + *error;
      return false;
    }
    if (*added != rows.size()) {
      *error = table + ": " + std::to_string(rows.size() - *added) +
               " rows were in the copy already";
      return false;
    }
    rows.clear();
    return true;
  };
  Step status;
  while ((status = select->step()) == Step::Row) {
    if (columns.empty()) {
      for (int c = 0; c < select->columnCount(); ++c) columns.push_back(select->columnName(c));
    }
    std::vector<Value> row;
    row.reserve(columns.size());
    for (size_t c = 0; c < columns.size(); ++c) row.push_back(select->value(static_cast<int>(c)));
    rows.push_back(std::move(row));
    ++read;
    if (rows.size() == kRowsPerLoad && !load()) return std::nullopt;
  }
  if (status == Step::Failed) {
    *error = "cannot read " + table + ": " + source.lastError();
    return std::nullopt;
  }
  if (!rows.empty() && !load()) return std::nullopt;
  return read;
}

// Copies every table inside the transactions the caller opened.
bool copyTables(Database& source, Database& target,
                const std::function<void(const TableCopy&)>& copied, std::string* error) {
  for (const char* table : kStoreTables) {
    const std::optional<uint64_t> read = copyTable(source, target, table, error);
    if (!read) return false;
    const std::optional<uint64_t> inSource = countRows(source, table, error);
    const std::optional<uint64_t> inTarget = countRows(target, table, error);
    if (!inSource || !inTarget) return false;
    if (*inSource != *read || *inTarget != *read) {
      *error = table + std::string(": ") + std::to_string(*inSource) + " rows in " +
               source.location() + ", " + std::to_string(*read) + " read, " +
               std::to_string(*inTarget) + " in the copy";
      return false;
    }
    copied(TableCopy{table, *read});
  }
  return true;
}

}  // namespace

bool copyStore(const std::string& from, const std::string& to,
               const std::function<void(const TableCopy&)>& copied, std::string* error) {
  if (from == to) {
    *error = "a store cannot be copied onto itself";
    return false;
  }
  std::unique_ptr<Database> source = openDatabase(from, true, error);
  if (!source) return false;
  std::unique_ptr<Database> target = openDatabase(to, false, error);
  if (!target) return false;
  for (const char* table : kStoreTables) {
    const std::optional<uint64_t> rows = countRows(*target, table, error);
    if (!rows) return false;
    if (*rows > 0) {
      *error = to + " is not empty (" + table + " holds " + std::to_string(*rows) +
               " rows): a store is copied only into a new one";
      return false;
    }
  }
  if (!source->beginRead(error)) {
    *error = "cannot read " + from + ": " + *error;
    return false;
  }
  if (!target->beginWrite(error)) {
    *error = "cannot write " + to + ": " + *error;
    source->rollback();
    return false;
  }
  if (!copyTables(*source, *target, copied, error)) {
    target->rollback();
    source->rollback();
    return false;
  }
  if (!target->commit(error)) {
    *error = "cannot commit the copy into " + to + ": " + *error;
    target->rollback();
    source->rollback();
    return false;
  }
  source->rollback();
  return true;
}

}  // namespace vb::fleet
