// Where unit records are kept for queries: an SQLite file (the report
// directory's results.db by default) or a PostgreSQL server a room of
// stations shares. One schema for both, brought up to date by the program
// itself; a record is stored once, whoever offers it how often.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zav::qc {

struct RecordDbError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

using SqlRow = std::vector<std::optional<std::string>>;
using SqlParams = std::vector<std::optional<std::string>>;

class SqlLink;

// A row while a scan is on it: its cells read in place, valid only during the
// call that gives it.
class SqlView {
 public:
  virtual ~SqlView() = default;
  virtual size_t Size() const = 0;
  virtual bool Null(size_t cell) const = 0;
  // A number's text is its shortest exact text.
  virtual std::string_view Text(size_t cell) const = 0;
  virtual double Number(size_t cell) const = 0;
};

class RecordDb {
 public:
  // "postgresql://USER@HOST[:PORT]/DB" (or "postgres://", or libpq's
  // "key=value" form) names a server; "sqlite:PATH" or a plain path an
  // SQLite file, made on first use. Connects and migrates; throws RecordDbError.
  explicit RecordDb(const std::string& url);
  ~RecordDb();
  RecordDb(const RecordDb&) = delete;
  RecordDb& operator=(const RecordDb&) = delete;

  // Stores one record given as its JSON; false when the record (by its id)
  // is there already. Throws RecordDbError, leaving nothing half stored.
  bool Store(const std::string& recordJson);
  // The schema version the database is at.
  int SchemaVersion();
  // A query's rows, each cell as text (null: nullopt); `?` marks a parameter.
  std::vector<SqlRow> Query(const std::string& sql, const SqlParams& params = {});
  // Before queries that read much of the database (a report).
  void PrepareForScans();
  // The same, a row at a time (a RecordDbError thrown by `row` ends it).
  void Each(const std::string& sql, const SqlParams& params, const std::function<void(const SqlRow&)>& row);
  // The same, each row read in place: no copy of a cell that is not read.
  void Scan(const std::string& sql, const SqlParams& params, const std::function<void(const SqlView&)>& row);
  // The schema version this program brings a database to.
  static int LatestSchema();

 private:
  std::unique_ptr<SqlLink> link_;
};

// The database of a report directory when none is named.
std::string DefaultDatabase(const std::string& reportDir);

// The spool: records that wait in the report directory for the database.
// Puts one in (written whole or not at all); throws std::runtime_error.
void SpoolRecord(const std::string& reportDir, const std::string& recordJson, const std::string& name);

struct SpoolOutcome {
  size_t Stored = 0, AlreadyThere = 0, Waiting = 0;
  std::string Problem;  // why some still wait
};
// Offers every spooled record to the database, oldest first; one that went
// in (or was there already) leaves the spool. Processes flushing one spool at
// once take turns.
SpoolOutcome FlushSpool(const std::string& reportDir, const std::string& url);

}  // namespace zav::qc
