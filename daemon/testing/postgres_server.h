// Test support: a real PostgreSQL server in a temporary folder, listening on
// 127.0.0.1 and a port it picked, with its socket folder inside the temporary
// folder. Run as the user "postgres" when the test runs as root (the server
// refuses to run as root). Built for speed: no fsync, trust authentication.
#pragma once

#include <filesystem>
#include <string>

namespace testing_support {

class PostgresServer {
 public:
  // Creates the cluster and starts the server; throws std::runtime_error
  // (with the tool's output) when either fails.
  PostgresServer();
  // Stops the server (if running) and removes the folder.
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  int port() const { return m_port; }
  const std::filesystem::path& folder() const { return m_folder; }
  // Superuser and database to connect to.
  static constexpr const char* kUser = "postgres";
  static constexpr const char* kDatabase = "postgres";

  void start();
  // Fast shutdown; the data stays for a later start().
  void stop();
  bool running() const { return m_running; }

  // Runs SQL through psql; returns its output in unaligned, tuples-only form
  // (fields separated by '|', one row per line). Throws on failure.
  std::string query(const std::string& sql) const;

 private:
  std::string asServerUser(const std::string& command) const;

  std::filesystem::path m_folder;
  int m_port = 0;
  bool m_running = false;
};

// The server programs' folder (initdb, pg_ctl, psql).
std::filesystem::path postgresBinDir();

}  // namespace testing_support
