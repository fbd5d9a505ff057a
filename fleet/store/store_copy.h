// Moving a store between engines (a SQLite file to PostgreSQL and back):
// every table with its ids, into an empty store in one transaction, each
// table's rows counted on both sides before the copy is committed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace vb::fleet {

struct TableCopy {
  std::string table;
  uint64_t rows = 0;
};

// Copies the store at `from` (read in one snapshot, so collectors may go on
// writing to it) into the store at `to`, which must hold no rows (a new file
// or an empty database gets the schema first). `copied` hears of each table
// once it is copied. False with *error, naming the table where one is at
// fault, when anything failed or a count differs; the copy then holds no
// rows.
bool copyStore(const std::string& from, const std::string& to,
               const std::function<void(const TableCopy&)>& copied, std::string* error);

}  // namespace vb::fleet
