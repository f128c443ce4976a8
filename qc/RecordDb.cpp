#include "qc/RecordDb.h"

#include <dirent.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>

namespace zav::qc {

namespace {

// A cell of a row that is used again for the next one: its text keeps its room.
void Set(std::optional<std::string>& cell, const char* text, size_t size) {
  if (!cell) cell.emplace();
  cell->assign(text, size);
}

}  // namespace

// What the store needs of a database: statements with `?` parameters, and
// a write transaction that one writer at a time holds.
class SqlLink {
 public:
  virtual ~SqlLink() = default;
  std::vector<SqlRow> Exec(const std::string& sql, const SqlParams& params = {}) {
    std::vector<SqlRow> rows;
    Each(sql, params, [&](const SqlRow& row) { rows.push_back(row); });
    return rows;
  }
  // The rows one at a time, never all held at once.
  void Each(const std::string& sql, const SqlParams& params, const std::function<void(const SqlRow&)>& take) {
    SqlRow row;
    Scan(sql, params, [&](const SqlView& view) {
      row.resize(view.Size());
      for (size_t c = 0; c < row.size(); ++c) {
        if (view.Null(c)) {
          row[c].reset();
        } else {
          const std::string_view text = view.Text(c);
          Set(row[c], text.data(), text.size());
        }
      }
      take(row);
    });
  }
  // The rows in place, one at a time.
  virtual void Scan(const std::string& sql, const SqlParams& params, const std::function<void(const SqlView&)>& row) = 0;
  // Begins a write transaction; SQLite takes its write lock at once, so two
  // processes never both read and then both try to write.
  virtual void BeginWrite() = 0;
  // Within a write: makes concurrent schema upgrades take turns.
  virtual void LockSchema() {}
  // Before long reads of much of the database.
  virtual void PrepareForScans() {}
  void Commit() { Exec("COMMIT"); }
  void Rollback() noexcept {
    try {
      Exec("ROLLBACK");
    } catch (const RecordDbError&) {
    }
  }

};

namespace {

using nlohmann::json;

// A long wait for another writer's lock: stations that end units together
// queue up rather than fail.
constexpr int kBusyMs = 30000;

class SqliteLink : public SqlLink {
  // The statement's current row. Numbers read as text come as their shortest
  // exact text: faster than SQLite's own, and every digit a double holds.
  class View : public SqlView {
   public:
    explicit View(sqlite3_stmt* st) : st_(st), numbers_(size_t(sqlite3_column_count(st))) {}
    size_t Size() const override { return numbers_.size(); }
    bool Null(size_t c) const override { return sqlite3_column_type(st_, int(c)) == SQLITE_NULL; }
    double Number(size_t c) const override { return sqlite3_column_double(st_, int(c)); }
    std::string_view Text(size_t c) const override {
      char* buf = numbers_[c].data();
      switch (sqlite3_column_type(st_, int(c))) {
        case SQLITE_FLOAT:
          return {buf, size_t(std::to_chars(buf, buf + 32, sqlite3_column_double(st_, int(c))).ptr - buf)};
        case SQLITE_INTEGER:
          return {buf, size_t(std::to_chars(buf, buf + 32, sqlite3_column_int64(st_, int(c))).ptr - buf)};
        default: {
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st_, int(c)));
          return text ? std::string_view(text, size_t(sqlite3_column_bytes(st_, int(c)))) : std::string_view();
        }
      }
    }

   private:
    sqlite3_stmt* st_;
    mutable std::vector<std::array<char, 32>> numbers_;
  };

 public:
  explicit SqliteLink(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      throw RecordDbError("cannot open " + path + ": " + why);
    }
    try {
      Configure();
    } catch (...) {
      sqlite3_close(db_);
      throw;
    }
  }
  ~SqliteLink() override { sqlite3_close(db_); }

  void BeginWrite() override { Exec("BEGIN IMMEDIATE"); }
  // A larger cache of its own (64 MB).
  void PrepareForScans() override { Exec("PRAGMA cache_size = -65536"); }

  void Scan(const std::string& sql, const SqlParams& params, const std::function<void(const SqlView&)>& take) override {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), int(sql.size()), &st, nullptr) != SQLITE_OK) throw Error(sql);
    for (size_t i = 0; i < params.size(); ++i) {
      const int rc = params[i] ? sqlite3_bind_text(st, int(i + 1), params[i]->data(), int(params[i]->size()),
                                                   SQLITE_TRANSIENT)
                               : sqlite3_bind_null(st, int(i + 1));
      if (rc != SQLITE_OK) {
        sqlite3_finalize(st);
        throw Error(sql);
      }
    }
    try {
      View view(st);
      for (;;) {
        const int rc = sqlite3_step(st);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) throw Error(sql);
        take(view);
      }
    } catch (...) {
      sqlite3_finalize(st);
      throw;
    }
    sqlite3_finalize(st);
  }

 private:
  void Configure() {
    sqlite3_busy_timeout(db_, kBusyMs);
    // Readers (a report) never wait for a writer, nor a writer for them.
    // Switching a new file to WAL needs it alone, and SQLite does not wait
    // for that by itself: two stations opening it first at once take turns.
    for (int waited = 0;; waited += 10) {
      try {
        Exec("PRAGMA journal_mode=WAL");
        break;
      } catch (const RecordDbError&) {
        if ((busy_ != SQLITE_BUSY && busy_ != SQLITE_LOCKED) || waited >= kBusyMs) throw;
        usleep(10000);
      }
    }
    Exec("PRAGMA foreign_keys=ON");
  }

  RecordDbError Error(const std::string& sql) {
    busy_ = sqlite3_errcode(db_) & 0xFF;
    return RecordDbError(std::string(sqlite3_errmsg(db_)) + " (in \"" + sql.substr(0, 60) + "\")");
  }
  sqlite3* db_ = nullptr;
  int busy_ = 0;  // the primary code of the last error
};

class PgLink : public SqlLink {
  // A result of one row (the server sends numbers as their shortest exact text).
  class View : public SqlView {
   public:
    explicit View(PGresult* r) : r_(r) {}
    size_t Size() const override { return size_t(PQnfields(r_)); }
    bool Null(size_t c) const override { return PQgetisnull(r_, 0, int(c)) != 0; }
    std::string_view Text(size_t c) const override {
      return {PQgetvalue(r_, 0, int(c)), size_t(PQgetlength(r_, 0, int(c)))};
    }
    double Number(size_t c) const override { return std::strtod(PQgetvalue(r_, 0, int(c)), nullptr); }

   private:
    PGresult* r_;
  };

 public:
  explicit PgLink(const std::string& url) {
    // The URL's own settings win over these defaults (they come after).
    const char* keys[] = {"connect_timeout", "client_encoding", "application_name", "dbname", nullptr};
    const char* values[] = {"5", "UTF8", "zav-records", url.c_str(), nullptr};
    conn_ = PQconnectdbParams(keys, values, 1);
    if (PQstatus(conn_) != CONNECTION_OK) {
      const std::string why = Message(PQerrorMessage(conn_));
      PQfinish(conn_);
      throw RecordDbError("cannot connect to the database: " + why);
    }
    Exec("SET client_min_messages = warning");
  }
  ~PgLink() override { PQfinish(conn_); }

  void BeginWrite() override { Exec("BEGIN"); }
  // Any constant will do, as long as every station uses the same one.
  void LockSchema() override { Exec("SELECT pg_advisory_xact_lock(727100038)"); }

  void Scan(const std::string& sql, const SqlParams& params, const std::function<void(const SqlView&)>& take) override {
    // `?` becomes $1, $2, ...: our statements have no `?` of their own.
    std::string text;
    int n = 0;
    for (const char c : sql) text += c == '?' ? "$" + std::to_string(++n) : std::string(1, c);
    std::vector<const char*> values;
    for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
    if (!PQsendQueryParams(conn_, text.c_str(), int(values.size()), nullptr, values.data(), nullptr, nullptr, 0))
      throw RecordDbError(Message(PQerrorMessage(conn_)) + " (in \"" + sql.substr(0, 60) + "\")");
    PQsetSingleRowMode(conn_);  // rows as they come: a year of records is never held at once
    std::string failed;
    // Every result is taken, even after a failure, so the connection is ready for the next statement.
    while (PGresult* r = PQgetResult(conn_)) {
      const ExecStatusType status = PQresultStatus(r);
      if (status == PGRES_SINGLE_TUPLE && failed.empty()) {
        try {
          take(View(r));
        } catch (const std::exception& e) {
          failed = e.what();
        }
      } else if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && status != PGRES_SINGLE_TUPLE &&
                 failed.empty()) {
        failed = Message(PQresultErrorMessage(r)) + " (in \"" + sql.substr(0, 60) + "\")";
      }
      PQclear(r);
    }
    if (!failed.empty()) throw RecordDbError(failed);
  }

 private:
  static std::string Message(const char* text) {
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    std::replace(s.begin(), s.end(), '\n', ' ');
    return s.empty() ? "no reason given" : s;
  }
  PGconn* conn_ = nullptr;
};

// Each version's statements, in order; a database at version N gets those
// after N. Types both engines read the same way: TEXT, INTEGER, DOUBLE
// PRECISION; times are UTC ISO 8601 text, so they sort as they compare.
const std::vector<std::vector<const char*>> kMigrations = {
    {
        "CREATE TABLE units ("
        " record_id TEXT PRIMARY KEY, unit_id TEXT NOT NULL, station TEXT NOT NULL, operator TEXT NOT NULL,"
        " plan TEXT NOT NULL, plan_file TEXT NOT NULL, plan_sha256 TEXT NOT NULL,"
        " program TEXT NOT NULL, program_version TEXT NOT NULL, port TEXT NOT NULL, line TEXT NOT NULL,"
        " started TEXT NOT NULL, ended TEXT NOT NULL, seconds DOUBLE PRECISION NOT NULL,"
        " outcome TEXT NOT NULL, error TEXT NOT NULL, first_failure TEXT NOT NULL,"
        " junit TEXT NOT NULL, transcript TEXT NOT NULL, record TEXT NOT NULL)",
        "CREATE INDEX units_plan_started ON units (plan, started)",
        "CREATE INDEX units_unit_id ON units (unit_id)",
        "CREATE TABLE steps ("
        " record_id TEXT NOT NULL REFERENCES units (record_id), seq INTEGER NOT NULL, name TEXT NOT NULL,"
        " teardown INTEGER NOT NULL, outcome TEXT NOT NULL, tries INTEGER NOT NULL,"
        " seconds DOUBLE PRECISION NOT NULL, message TEXT NOT NULL, PRIMARY KEY (record_id, seq))",
        "CREATE TABLE measurements ("
        " record_id TEXT NOT NULL REFERENCES units (record_id), step_seq INTEGER NOT NULL, seq INTEGER NOT NULL,"
        " step TEXT NOT NULL, name TEXT NOT NULL, value DOUBLE PRECISION, text TEXT NOT NULL, unit TEXT NOT NULL,"
        " min DOUBLE PRECISION, max DOUBLE PRECISION, marginal_min DOUBLE PRECISION, marginal_max DOUBLE PRECISION,"
        " outcome TEXT NOT NULL, message TEXT NOT NULL, PRIMARY KEY (record_id, step_seq, seq))",
        "CREATE INDEX measurements_name ON measurements (name)",
        "CREATE TABLE variables ("
        " record_id TEXT NOT NULL REFERENCES units (record_id), name TEXT NOT NULL, value TEXT NOT NULL,"
        " PRIMARY KEY (record_id, name))",
        "CREATE TABLE files ("
        " record_id TEXT NOT NULL REFERENCES units (record_id), kind TEXT NOT NULL, path TEXT NOT NULL)",
    },
};

// Text a database takes: NUL (which no C client passes) shown as \x00.
std::string Text(const std::string& s) {
  if (s.find('\0') == std::string::npos) return s;
  std::string out;
  for (const char c : s) out += c == '\0' ? std::string("\\x00") : std::string(1, c);
  return out;
}

std::optional<std::string> Field(const json& j, const char* key) {
  const auto it = j.find(key);
  if (it == j.end() || it->is_null()) return std::nullopt;
  if (it->is_string()) return Text(it->get<std::string>());
  if (it->is_number_float()) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", it->get<double>());
    return std::string(buf);
  }
  if (it->is_boolean()) return std::string(it->get<bool>() ? "1" : "0");
  return it->dump();
}

std::string Need(const json& j, const char* key) {
  auto v = Field(j, key);
  return v ? *v : std::string();
}

bool IsServerUrl(const std::string& url) {
  return url.rfind("postgresql://", 0) == 0 || url.rfind("postgres://", 0) == 0 ||
         url.find('=') != std::string::npos;
}

}  // namespace

RecordDb::RecordDb(const std::string& url) {
  if (IsServerUrl(url))
    link_ = std::make_unique<PgLink>(url);
  else
    link_ = std::make_unique<SqliteLink>(url.rfind("sqlite:", 0) == 0 ? url.substr(7) : url);
  link_->BeginWrite();
  try {
    link_->LockSchema();
    link_->Exec("CREATE TABLE IF NOT EXISTS zav_schema (version INTEGER NOT NULL)");
    const auto rows = link_->Exec("SELECT MAX(version) FROM zav_schema");
    const int at = rows.empty() || !rows[0][0] ? 0 : std::stoi(*rows[0][0]);
    if (at > LatestSchema())
      throw RecordDbError("the database's schema is at version " + std::to_string(at) + ", newer than this program's " +
                          std::to_string(LatestSchema()) + ": update the program");
    for (int v = at; v < LatestSchema(); ++v) {
      for (const char* statement : kMigrations[size_t(v)]) link_->Exec(statement);
      link_->Exec("INSERT INTO zav_schema (version) VALUES (?)", {std::to_string(v + 1)});
    }
    link_->Commit();
  } catch (...) {
    link_->Rollback();
    throw;
  }
}

RecordDb::~RecordDb() = default;

int RecordDb::LatestSchema() { return int(kMigrations.size()); }

int RecordDb::SchemaVersion() {
  const auto rows = link_->Exec("SELECT MAX(version) FROM zav_schema");
  return rows.empty() || !rows[0][0] ? 0 : std::stoi(*rows[0][0]);
}

std::vector<SqlRow> RecordDb::Query(const std::string& sql, const SqlParams& params) {
  return link_->Exec(sql, params);
}

void RecordDb::PrepareForScans() { link_->PrepareForScans(); }

void RecordDb::Each(const std::string& sql, const SqlParams& params, const std::function<void(const SqlRow&)>& row) {
  link_->Each(sql, params, row);
}

void RecordDb::Scan(const std::string& sql, const SqlParams& params, const std::function<void(const SqlView&)>& row) {
  link_->Scan(sql, params, row);
}

bool RecordDb::Store(const std::string& recordJson) {
  json r;
  try {
    r = json::parse(recordJson);
  } catch (const json::exception& e) {
    throw RecordDbError(std::string("not a record: ") + e.what());
  }
  const std::string id = Need(r, "id");
  if (id.empty()) throw RecordDbError("not a record: it has no id");
  const json plan = r.value("plan", json::object()), program = r.value("program", json::object()),
             port = r.value("port", json::object()), files = r.value("files", json::object());
  link_->BeginWrite();
  try {
    const auto inserted = link_->Exec(
        "INSERT INTO units (record_id, unit_id, station, operator, plan, plan_file, plan_sha256, program,"
        " program_version, port, line, started, ended, seconds, outcome, error, first_failure, junit, transcript,"
        " record) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?) ON CONFLICT (record_id) DO NOTHING RETURNING record_id",
        {id, Need(r, "unit_id"), Need(r, "station"), Need(r, "operator"), Need(plan, "name"), Need(plan, "file"),
         Need(plan, "sha256"), Need(program, "name"), Need(program, "version"), Need(port, "name"), Need(port, "line"),
         Need(r, "started"), Need(r, "ended"), Field(r, "seconds").value_or("0"), Need(r, "outcome"), Need(r, "error"),
         Need(r, "first_failure"), Need(files, "junit"), Need(files, "transcript"), Text(recordJson)});
    if (inserted.empty()) {  // offered before: it went in then
      link_->Rollback();
      return false;
    }
    const json steps = r.value("steps", json::array()), variables = r.value("variables", json::object()),
               received = files.value("received", json::array());
    int seq = 0;
    for (const json& s : steps) {
      link_->Exec("INSERT INTO steps (record_id, seq, name, teardown, outcome, tries, seconds, message)"
                  " VALUES (?,?,?,?,?,?,?,?)",
                  {id, std::to_string(seq), Need(s, "name"), Field(s, "teardown").value_or("0"), Need(s, "outcome"),
                   Field(s, "tries").value_or("0"), Field(s, "seconds").value_or("0"), Need(s, "message")});
      int m = 0;
      const json measurements = s.value("measurements", json::array());
      for (const json& x : measurements)
        link_->Exec("INSERT INTO measurements (record_id, step_seq, seq, step, name, value, text, unit, min, max,"
                    " marginal_min, marginal_max, outcome, message) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                    {id, std::to_string(seq), std::to_string(m++), Need(s, "name"), Need(x, "name"), Field(x, "value"),
                     Need(x, "text"), Need(x, "unit"), Field(x, "min"), Field(x, "max"), Field(x, "marginal_min"),
                     Field(x, "marginal_max"), Need(x, "outcome"), Need(x, "message")});
      ++seq;
    }
    for (const auto& [name, value] : variables.items())
      link_->Exec("INSERT INTO variables (record_id, name, value) VALUES (?,?,?)",
                  {id, Text(name), Text(value.is_string() ? value.get<std::string>() : value.dump())});
    for (const char* kind : {"junit", "transcript"})
      if (!Need(files, kind).empty())
        link_->Exec("INSERT INTO files (record_id, kind, path) VALUES (?,?,?)", {id, kind, Need(files, kind)});
    for (const json& f : received)
      if (f.is_string()) link_->Exec("INSERT INTO files (record_id, kind, path) VALUES (?,?,?)", {id, "received", Text(f)});
    link_->Commit();
    return true;
  } catch (const json::exception& e) {
    link_->Rollback();
    throw RecordDbError(std::string("not a record: ") + e.what());
  } catch (...) {
    link_->Rollback();
    throw;
  }
}

std::string DefaultDatabase(const std::string& reportDir) { return reportDir + "/results.db"; }

namespace {

std::string SpoolDir(const std::string& reportDir) { return reportDir + "/spool"; }

void WriteWhole(const std::string& path, const std::string& data) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string why = std::strerror(n < 0 ? errno : ENOSPC);
      close(fd);
      unlink(path.c_str());
      throw std::runtime_error("cannot write " + path + ": " + why);
    }
    done += size_t(n);
  }
  // On disk before the rename makes it an entry: a crash leaves no half record.
  if (fsync(fd) != 0 || close(fd) != 0) {
    const std::string why = std::strerror(errno);
    unlink(path.c_str());
    throw std::runtime_error("cannot write " + path + ": " + why);
  }
}

}  // namespace

void SpoolRecord(const std::string& reportDir, const std::string& recordJson, const std::string& name) {
  const std::string dir = SpoolDir(reportDir);
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
    throw std::runtime_error("cannot make " + dir + ": " + std::strerror(errno));
  const std::string entry = dir + "/" + name + ".json", partial = dir + "/." + name + ".part";
  WriteWhole(partial, recordJson);
  if (rename(partial.c_str(), entry.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    unlink(partial.c_str());
    throw std::runtime_error("cannot write " + entry + ": " + why);
  }
}

SpoolOutcome FlushSpool(const std::string& reportDir, const std::string& url) {
  SpoolOutcome out;
  const std::string dir = SpoolDir(reportDir);
  DIR* d = opendir(dir.c_str());
  if (!d) {
    if (errno != ENOENT) out.Problem = "cannot read " + dir + ": " + std::strerror(errno);
    return out;
  }
  // One flusher at a time: the entry one offers is not offered by another.
  const std::string lockPath = dir + "/.lock";
  const int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) {
    closedir(d);
    if (lock >= 0) close(lock);
    out.Problem = "cannot lock " + lockPath + ": " + std::strerror(errno);
    return out;
  }
  std::vector<std::string> names;
  while (const dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n.size() > 5 && n[0] != '.' && n.compare(n.size() - 5, 5, ".json") == 0) names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());  // named by their start time: oldest first
  if (!names.empty()) {
    std::unique_ptr<RecordDb> db;
    try {
      db = std::make_unique<RecordDb>(url);
    } catch (const std::exception& e) {
      out.Waiting = names.size();
      out.Problem = e.what();
    }
    for (size_t i = 0; db && i < names.size(); ++i) {
      const std::string path = dir + "/" + names[i];
      std::ifstream in(path, std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      try {
        if (!in) throw RecordDbError("cannot read " + path);
        (db->Store(text.str()) ? out.Stored : out.AlreadyThere)++;
        unlink(path.c_str());
      } catch (const std::exception& e) {
        ++out.Waiting;
        if (out.Problem.empty()) out.Problem = names[i] + ": " + e.what();
      }
    }
  }
  flock(lock, LOCK_UN);
  close(lock);
  return out;
}

}  // namespace zav::qc
