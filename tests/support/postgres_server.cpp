#include "postgres_server.h"

#include <libpq-fe.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/clock.h"
#include "platform/error.h"

namespace vb::test {

namespace {

constexpr char kBinaries[] = "/usr/lib/postgresql/15/bin/";
constexpr char kSetpriv[] = "/usr/bin/setpriv";
constexpr char kUnprivilegedUser[] = "nobody";
constexpr char kSuperuser[] = "vantbrook";
constexpr char kPort[] = "5432";
constexpr char kLogFile[] = "server.log";
constexpr char kEnvironment[] = "VANTBROOK_TEST_POSTGRES";

// Generous: a loaded CI machine can take many seconds for either.
constexpr uint32_t kInitdbMs = 120000;
constexpr uint32_t kStartMs = 60000;
constexpr uint32_t kStopMs = 60000;
// Between two tries to connect to a server that is starting, spent waiting
// for it to end (so a failed start is seen at once).
constexpr uint32_t kPingPauseMs = 20;

struct ConnectionDeleter {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
using Connection = std::unique_ptr<PGconn, ConnectionDeleter>;

struct ResultDeleter {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

struct ConninfoDeleter {
  void operator()(PQconninfoOption* options) const { PQconninfoFree(options); }
};

std::string quotedValue(const std::string& value) {
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "'";
}

std::string percentEncoded(const std::string& value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : value) {
    if (std::isalnum(c) || std::strchr("-._~/", c) != nullptr) {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 0xF];
    }
  }
  return encoded;
}

// The postgresql:// address of `database` on the server a connection string
// reaches (its password, if any, left to PGPASSWORD or ~/.pgpass).
std::optional<std::string> addressOf(const std::string& conninfo, const std::string& database,
                                     std::string* error) {
  char* parseError = nullptr;
  std::unique_ptr<PQconninfoOption, ConninfoDeleter> options(
      PQconninfoParse(conninfo.c_str(), &parseError));
  if (!options) {
    *error = std::string("not a connection string: ") + (parseError ? parseError : conninfo);
    PQfreemem(parseError);
    return std::nullopt;
  }
  std::string query;
  for (const PQconninfoOption* option = options.get(); option->keyword != nullptr; ++option) {
    if (option->val == nullptr || *option->val == '\0') continue;
    const std::string keyword = option->keyword;
    if (keyword == "dbname" || keyword == "password") continue;
    query += (query.empty() ? "?" : "&") + keyword + "=" + percentEncoded(option->val);
  }
  return "postgresql:///" + percentEncoded(database) + query;
}

std::string oneLine(std::string text) {
  for (char& c : text) c = c == '\n' || c == '\t' ? ' ' : c;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string fileText(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// A folder of its own under the system's temporary folder, removed with
// everything in it.
std::string makeFolder(std::string* error) {
  std::error_code failure;
  const std::filesystem::path base = std::filesystem::temp_directory_path(failure);
  if (failure) {
    *error = "no temporary folder: " + failure.message();
    return std::string();
  }
  const std::string prefix =
      "vantbrook-pg-" + std::to_string(platform::currentProcessId()) + "-";
  for (int n = 0; n < 1000; ++n) {
    const std::filesystem::path folder = base / (prefix + std::to_string(n));
    if (std::filesystem::create_directory(folder, failure)) return folder.string();
    if (failure) {
      *error = "cannot make " + folder.string() + ": " + failure.message();
      return std::string();
    }
  }
  *error = "cannot make a folder under " + base.string();
  return std::string();
}

}  // namespace

PostgresServer* PostgresServer::shared(std::string* error) {
  static std::string failure;
  static std::unique_ptr<PostgresServer> server = [] {
    std::unique_ptr<PostgresServer> made;
    const char* existing = std::getenv(kEnvironment);
    if (existing != nullptr && *existing != '\0') {
      made.reset(new PostgresServer());
      made->adminConninfo_ = existing;
      Connection probe(PQconnectdb(existing));
      if (PQstatus(probe.get()) != CONNECTION_OK) {
        failure = std::string(kEnvironment) + ": " + oneLine(PQerrorMessage(probe.get()));
        made.reset();
      }
    } else {
      made = startCluster(Settings(), &failure);
    }
    return made;
  }();
  if (!server) *error = failure;
  return server.get();
}

std::unique_ptr<PostgresServer> PostgresServer::startCluster(const Settings& settings,
                                                             std::string* error) {
  std::unique_ptr<PostgresServer> server(new PostgresServer());
  server->settings_ = settings;
  if (!server->makeCluster(error) || !server->start(error)) return nullptr;
  return server;
}

PostgresServer::~PostgresServer() {
  std::string ignored;
  if (ownCluster()) {
    stop(&ignored);
    server_.reset();
    std::error_code failure;
    std::filesystem::remove_all(folder_, failure);
    return;
  }
  const std::optional<std::string> admin = addressOf(adminConninfo_, "postgres", &ignored);
  for (const std::string& database : databases_) {
    if (admin) query(*admin, "DROP DATABASE IF EXISTS \"" + database + "\" WITH (FORCE)", &ignored);
  }
}

bool PostgresServer::launch(platform::ChildProcess* child, const std::string& program,
                            const std::vector<std::string>& arguments, const char* deathSignal,
                            std::string* error) {
  // setpriv execs the program, so the child is the program itself; it is
  // sent deathSignal when this process dies without stopping it.
  std::vector<std::string> command;
  if (runAs_) {
    command = {"--reuid=" + std::to_string(runAs_->user),
               "--regid=" + std::to_string(runAs_->group), "--clear-groups"};
  }
  command.push_back(std::string("--pdeathsig=") + deathSignal);
  command.push_back(kBinaries + program);
  command.insert(command.end(), arguments.begin(), arguments.end());
  platform::ProcessOptions options;
  options.captureStandardError = true;
  if (!child->start(kSetpriv, command, options)) {
    *error = "cannot start " + program + ": " + platform::lastErrorText();
    return false;
  }
  return true;
}

bool PostgresServer::makeCluster(std::string* error) {
  folder_ = makeFolder(error);
  if (folder_.empty()) return false;
  // initdb and the server refuse to run as root.
  if (platform::runsAsSuperuser()) {
    runAs_ = platform::userIds(kUnprivilegedUser);
    if (!runAs_ || !platform::changeOwner(folder_, *runAs_)) {
      *error = std::string("cannot hand ") + folder_ + " to the user " + kUnprivilegedUser +
               (runAs_ ? ": " + platform::lastErrorText() : ": no such user");
      return false;
    }
  }
  platform::ChildProcess initdb;
  if (!launch(&initdb, "initdb",
              {"--pgdata=" + folder_ + "/data", "--username=" + std::string(kSuperuser),
               "--auth=trust", "--no-locale", "--encoding=UTF8", "--no-sync",
               "--no-instructions"},
              "KILL", error)) {
    return false;
  }
  if (!initdb.waitFor(kInitdbMs) || initdb.exitStatus() != 0) {
    *error = "initdb failed (exit " + std::to_string(initdb.exitStatus()) +
             "): " + oneLine(initdb.standardOutput() + initdb.standardError());
    return false;
  }
  adminConninfo_ = "host=" + quotedValue(folder_) + " port=" + kPort + " user=" + kSuperuser +
                   " dbname=postgres";
  return true;
}

bool PostgresServer::start(std::string* error) {
  if (!ownCluster()) {
    *error = "the server named by " + std::string(kEnvironment) + " is not this test's to start";
    return false;
  }
  std::vector<std::string> arguments = {
      "-D", folder_ + "/data", "-p", kPort,
      "-c", "listen_addresses=",
      "-c", "unix_socket_directories=" + folder_,
      "-c", "logging_collector=on",
      "-c", "log_directory=" + folder_,
      "-c", std::string("log_filename=") + kLogFile};
  if (!settings_.durable) {
    for (const char* setting : {"fsync=off", "synchronous_commit=off", "full_page_writes=off"}) {
      arguments.push_back("-c");
      arguments.push_back(setting);
    }
  }
  server_ = std::make_unique<platform::ChildProcess>();
  // SIGINT is the server's fast shutdown.
  return launch(server_.get(), "postgres", arguments, "INT", error) && waitUntilReady(error);
}

bool PostgresServer::waitUntilReady(std::string* error) {
  const uint64_t deadline = platform::nowMs() + kStartMs;
  for (;;) {
    if (PQping(adminConninfo_.c_str()) == PQPING_OK) return true;
    if (server_->waitFor(kPingPauseMs)) {
      *error = "postgres ended at its start (exit " + std::to_string(server_->exitStatus()) +
               "): " + oneLine(server_->standardError() + fileText(folder_ + "/" + kLogFile));
      return false;
    }
    if (platform::nowMs() >= deadline) {
      *error = "postgres took no connection within " + std::to_string(kStartMs / 1000) + " s";
      return false;
    }
  }
}

bool PostgresServer::stop(std::string* error) {
  if (!ownCluster()) {
    *error = "the server named by " + std::string(kEnvironment) + " is not this test's to stop";
    return false;
  }
  if (!server_ || !server_->running()) return true;
  if (!server_->interrupt() || !server_->waitFor(kStopMs)) {
    *error = "postgres did not stop within " + std::to_string(kStopMs / 1000) + " s";
    return false;
  }
  return true;
}

std::optional<std::string> PostgresServer::createDatabase(std::string* error) {
  static int made = 0;
  const std::string name = "vantbrook_test_" + std::to_string(platform::currentProcessId()) +
                           "_" + std::to_string(platform::nowMs()) + "_" +
                           std::to_string(++made);
  const std::optional<std::string> admin = addressOf(adminConninfo_, "postgres", error);
  if (!admin || !query(*admin, "CREATE DATABASE \"" + name + "\"", error)) return std::nullopt;
  if (!ownCluster()) databases_.push_back(name);
  return addressOf(adminConninfo_, name, error);
}

std::optional<std::string> PostgresServer::query(const std::string& address,
                                                 const std::string& sql, std::string* error) {
  Connection connection(PQconnectdb(address.c_str()));
  if (PQstatus(connection.get()) != CONNECTION_OK) {
    *error = oneLine(PQerrorMessage(connection.get()));
    return std::nullopt;
  }
  Result result(PQexec(connection.get(), sql.c_str()));
  const ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    *error = oneLine(PQresultErrorMessage(result.get()));
    return std::nullopt;
  }
  if (PQntuples(result.get()) == 0 || PQnfields(result.get()) == 0) return std::string();
  return std::string(PQgetvalue(result.get(), 0, 0));
}

}  // namespace vb::test
