// A PostgreSQL server for the tests and benchmarks, so that nothing beyond
// Debian's postgresql-15 package is needed: a private cluster made with
// initdb in a temporary folder, reached only through a Unix socket in that
// folder (no TCP), with a fresh database per test. Run as root (as CI does),
// initdb and the server run as the unprivileged user nobody, to whom the
// folder is handed. VANTBROOK_TEST_POSTGRES (a libpq connection string)
// points the tests at an existing server instead; the databases made there
// are dropped at the end.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"

namespace vb::test {

class PostgresServer {
 public:
  struct Settings {
    // Keep fsync and full page writes, as a production server does; tests
    // go faster without.
    bool durable = false;
  };

  // The server of this process: VANTBROOK_TEST_POSTGRES's, or a private
  // cluster started at the first call and stopped when the process ends.
  // Nothing, with *error, when it cannot be had. Call it first from the
  // main thread: should the process die, the server shuts down when the
  // thread that started it ends.
  static PostgresServer* shared(std::string* error);

  // A private cluster, stopped and removed when the object goes.
  static std::unique_ptr<PostgresServer> startCluster(const Settings& settings, std::string* error);

  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  // A new, empty database, as the postgresql:// address a store takes.
  std::optional<std::string> createDatabase(std::string* error);

  // Whether the server is this process's own cluster, which stop() and
  // start() can restart.
  bool ownCluster() const { return !folder_.empty(); }
  // Fast shutdown: every connection is ended at once.
  bool stop(std::string* error);
  // Starts the cluster again and waits until it takes connections.
  bool start(std::string* error);

  // Runs one or more statements on the database at `address`: the first
  // field of the last statement's first row ("" when it has none), or
  // nothing with *error when a statement failed.
  static std::optional<std::string> query(const std::string& address, const std::string& sql,
                                          std::string* error);

 private:
  PostgresServer() = default;
  bool makeCluster(std::string* error);
  // Starts a program of the server's, as nobody when this process is root.
  bool launch(platform::ChildProcess* child, const std::string& program,
              const std::vector<std::string>& arguments, const char* deathSignal,
              std::string* error);
  bool waitUntilReady(std::string* error);

  Settings settings_;
  std::string folder_;        // the cluster's folder; empty for an existing server
  std::string adminConninfo_;  // the server's maintenance database
  std::optional<platform::UserIds> runAs_;
  std::unique_ptr<platform::ChildProcess> server_;
  std::vector<std::string> databases_;  // made on an existing server
};

}  // namespace vb::test
