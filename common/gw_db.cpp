#include "gw_db.h"

#include <cinttypes>
#include <cstdio>
#include <sqlite3.h>

#include "gw_output.h"

namespace gw {
namespace {

constexpr std::size_t sql_text_size = 100;

void print_delete_failure(const char *table, int sensor_number) {
  gw_printf("ZENTIB_ERROR : SENSOR%d : Cannot Delete values from %s Table\n\r", sensor_number,
            table != nullptr ? table : "");
}

int run_delete(sqlite3 *db, const char *sql, const char *table, int sensor_number) {
  if (db == nullptr) {
    print_delete_failure(table, sensor_number);
    return 1;
  }
  SqliteErrorText error;
  if (sqlite3_exec(db, sql, nullptr, nullptr, error.out()) != SQLITE_OK) {
    print_delete_failure(table, sensor_number);
    return 1;
  }
  return 0;
}

// A table name that does not fit the statement would delete from a cut
// name: refuse it instead.
bool format_fits(int length) {
  return length > 0 && static_cast<std::size_t>(length) < sql_text_size;
}

}  // namespace

SqliteErrorText::~SqliteErrorText() { sqlite3_free(text_); }

char **SqliteErrorText::out() {
  sqlite3_free(text_);
  text_ = nullptr;
  return &text_;
}

const char *SqliteErrorText::c_str() const { return text_ != nullptr ? text_ : ""; }

int delete_published_rows(sqlite3 *db, const char *table, std::uint64_t dbid,
                          int sensor_number) {
  char sql[sql_text_size] = {};
  int length = std::snprintf(sql, sizeof sql, "DELETE FROM %s WHERE DBID <= %" PRIu64,
                             table != nullptr ? table : "", dbid);
  if (table == nullptr || !format_fits(length)) {
    print_delete_failure(table, sensor_number);
    return 1;
  }
  return run_delete(db, sql, table, sensor_number);
}

int clear_table(sqlite3 *db, const char *table, int sensor_number) {
  char sql[sql_text_size] = {};
  int length = std::snprintf(sql, sizeof sql, "DELETE FROM %s", table != nullptr ? table : "");
  if (table == nullptr || !format_fits(length)) {
    print_delete_failure(table, sensor_number);
    return 1;
  }
  return run_delete(db, sql, table, sensor_number);
}

}  // namespace gw
