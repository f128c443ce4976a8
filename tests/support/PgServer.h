// A real PostgreSQL server of the test's own: made with initdb in a scratch
// directory, listening on a free port of 127.0.0.1, stopped and removed when
// the object goes. Run as the "postgres" user when the tests run as root (the
// server refuses root).
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace zav::test {

class ScratchDir;

class PgServer {
 public:
  // Makes the cluster and starts it; throws std::runtime_error with the tool's
  // own words when that fails.
  PgServer();
  ~PgServer();
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  // Both wait for the server (pg_ctl -w): started means it takes connections.
  void Start();
  void Stop();
  // The URL a station is given: the same before and after a restart.
  std::string Url() const;
  // Why no server can be made here (no binaries), or empty.
  static std::string Missing();

 private:
  void Run(const std::vector<std::string>& argv, const std::string& what);
  std::unique_ptr<ScratchDir> dir_;
  std::string bin_, data_, log_;
  int port_ = 0;
  bool running_ = false;
};

}  // namespace zav::test
