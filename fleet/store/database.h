// The store's engines behind one small interface: a connection that
// prepares statements, runs transactions and loads many rows at once. The
// store's own logic (store.cpp) is written once over it in SQL both engines
// speak: parameters as ?1 ?2 ..., INSERT ... ON CONFLICT, RETURNING, whole
// seconds as integers. Each engine owns its schema, its migrations, the
// check that a file or database is a store, and the fastest way to load
// rows (a prepared insert in SQLite, COPY in PostgreSQL).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace vb::fleet {

enum class Engine { Sqlite, Postgres };

enum class Step { Row, Done, Failed };

// What a parameter or a column holds. PostgreSQL types every parameter,
// a null as well where the statement leaves its type open (?1 IS NULL OR
// x = ?1); Unknown lets the statement decide (an INSERT's column).
enum class ValueType { Unknown, Integer, Real, Text, Blob };

// Bytes, told apart from text.
struct Blob {
  std::string bytes;
};

// A value of a row loaded in bulk, or of a row read whole.
using Value = std::variant<std::monostate, int64_t, double, std::string, Blob>;

// One prepared statement. Columns and parameters count from 1 for
// parameters (?1) and from 0 for result columns.
class Query {
 public:
  virtual ~Query() = default;

  virtual Query& bind(int index, int64_t value) = 0;
  virtual Query& bind(int index, double value) = 0;
  virtual Query& bind(int index, const std::string& text) = 0;
  virtual Query& bindBlob(int index, const std::string& bytes) = 0;
  virtual Query& bindNull(int index, ValueType type) = 0;
  Query& bindNull(int index) { return bindNull(index, ValueType::Unknown); }
  template <typename T>
  Query& bindOptional(int index, const std::optional<T>& value) {
    if (value) return bind(index, *value);
    if constexpr (std::is_same_v<T, double>) return bindNull(index, ValueType::Real);
    if constexpr (std::is_same_v<T, std::string>) return bindNull(index, ValueType::Text);
    return bindNull(index, ValueType::Integer);
  }

  // The next row of the result; the statement runs at the first step.
  virtual Step step() = 0;
  // Runs a statement whose rows do not matter, then resets it; changed()
  // tells how many rows it inserted, updated or deleted.
  bool run() {
    const Step result = step();
    changed_ = result == Step::Failed ? 0 : rowsChanged();
    reset();
    return result != Step::Failed;
  }
  uint64_t changed() const { return changed_; }
  // Rows the statement changed, after its first step.
  virtual uint64_t rowsChanged() const = 0;
  // Ready to run again with new parameters.
  virtual void reset() = 0;

  virtual bool isNull(int column) const = 0;
  virtual int64_t integer(int column) const = 0;
  virtual double real(int column) const = 0;
  virtual std::string text(int column) const = 0;
  virtual std::string blob(int column) const = 0;
  std::optional<int64_t> optionalInteger(int column) const {
    return isNull(column) ? std::nullopt : std::optional<int64_t>(integer(column));
  }
  std::optional<double> optionalReal(int column) const {
    return isNull(column) ? std::nullopt : std::optional<double>(real(column));
  }
  // The current row's columns as the engine holds them, for copying rows
  // whole between engines.
  virtual int columnCount() const = 0;
  virtual std::string columnName(int column) const = 0;
  virtual Value value(int column) const = 0;

 private:
  uint64_t changed_ = 0;
};

class Database {
 public:
  virtual ~Database() = default;

  virtual Engine engine() const = 0;
  // Where the store is, as the user named it (a password never shown).
  virtual std::string location() const = 0;

  // Nothing when the statement does not prepare; lastError() says why.
  virtual std::unique_ptr<Query> prepare(const std::string& sql) = 0;
  // Runs one or more statements that return nothing.
  virtual bool execute(const std::string& sql, std::string* error) = 0;
  // A transaction that will write: it holds the right to write from its
  // start, so two writers never deadlock half-way.
  virtual bool beginWrite(std::string* error) = 0;
  // A transaction that only reads: every statement in it sees the store as
  // it was at its first read, whatever others commit meanwhile.
  virtual bool beginRead(std::string* error) = 0;
  virtual bool commit(std::string* error) = 0;
  virtual void rollback() = 0;
  // The engine's words for the last failure.
  virtual std::string lastError() const = 0;

  // Adds rows to a table, leaving out those whose key is taken already;
  // the number added. Runs inside the caller's transaction. Rows given with
  // their id keep it, and later rows get ids after theirs. `row` fills in
  // row i (its values in column order), and may be asked for a row again.
  virtual std::optional<uint64_t> insertNew(const std::string& table,
                                            const std::vector<std::string>& columns,
                                            size_t rows,
                                            const std::function<void(size_t, std::vector<Value>*)>& row,
                                            std::string* error) = 0;

  // Reads what the engine can read of its own structures and reports
  // damage with the engine's words.
  virtual bool checkIntegrity(std::string* error) = 0;

  // The connection to the engine was lost (a database server restarted or
  // out of reach); the next statement tries to connect again.
  virtual bool connectionLost() const { return false; }
};

// The SQLite engine: a file path.
struct SqliteOptions {
  uint32_t busyTimeoutMs = 10000;
  bool readOnly = false;
};
std::unique_ptr<Database> openSqlite(const std::string& path, const SqliteOptions& options,
                                     std::string* error);

// The PostgreSQL engine: a postgresql:// or postgres:// address (libpq's
// connection URI; the password from ~/.pgpass or PGPASSWORD: an address that
// carries one is refused). The store lives in the connection's current
// schema (public unless the address sets search_path).
//
// One connection. When the server drops it (a restart, a network fault), the
// next statement outside a transaction connects again and runs once more;
// a statement inside a transaction fails instead, as does every later one
// until rollback(): the server has undone the transaction, and the caller
// runs the whole of it again. A read-only connection cannot write at all.
std::unique_ptr<Database> openPostgres(const std::string& uri, bool readOnly, std::string* error);

// The engine a location names: a postgresql:// address or a file path.
std::unique_ptr<Database> openDatabase(const std::string& location, bool readOnly,
                                       std::string* error);

}  // namespace vb::fleet
