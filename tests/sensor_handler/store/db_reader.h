// A second connection to the beacon database for the store's tests: reads
// back what the store wrote and plays the other process that locks or
// replaces the file.
#pragma once

#include <cstdint>
#include <optional>
#include <sqlite3.h>
#include <string>
#include <vector>

namespace gwtest {

struct BeaconRow {
  std::int64_t dt = 0;
  std::string dt_type;  // SQLite's typeof(DT)
  std::optional<std::string> payload;
  std::optional<std::string> payload2;
  std::int64_t dbid = 0;
};

class DbReader {
 public:
  explicit DbReader(const std::string &path, int flags = SQLITE_OPEN_READWRITE) {
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      sqlite3_close(db_);
      db_ = nullptr;
    }
  }
  ~DbReader() { sqlite3_close(db_); }
  DbReader(const DbReader &) = delete;
  DbReader &operator=(const DbReader &) = delete;

  bool ok() const { return db_ != nullptr; }

  // The result code of sqlite3_exec.
  int exec(const std::string &sql) {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  }

  // First column of the first row as text ("" when there is none).
  std::string text(const std::string &sql) {
    std::string result;
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0) != nullptr) {
      result = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
    return result;
  }

  std::vector<BeaconRow> rows() {
    std::vector<BeaconRow> result;
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "SELECT DT, typeof(DT), PAYLOAD, PAYLOAD2, DBID FROM BLE ORDER BY DBID",
                           -1, &stmt, nullptr) != SQLITE_OK) {
      sqlite3_finalize(stmt);
      return result;
    }
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      BeaconRow row;
      row.dt = sqlite3_column_int64(stmt, 0);
      row.dt_type = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 1));
      if (sqlite3_column_type(stmt, 2) != SQLITE_NULL) {
        row.payload = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 2));
      }
      if (sqlite3_column_type(stmt, 3) != SQLITE_NULL) {
        row.payload2 = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 3));
      }
      row.dbid = sqlite3_column_int64(stmt, 4);
      result.push_back(row);
    }
    sqlite3_finalize(stmt);
    return result;
  }

 private:
  sqlite3 *db_ = nullptr;
};

}  // namespace gwtest
