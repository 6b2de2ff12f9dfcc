// Row deletion on the beacon table, shared by both programs' library, and a
// small owner for the error texts SQLite hands back.
//
// The routines run on whichever thread owns the connection at that moment
// (the scan controller's table step, through the beacon store's lock); they
// keep no state of their own and are reentrant. A NULL connection (database
// closed or never opened) is refused with the routine's failure line and
// never reaches SQLite.
#pragma once

#include <cstdint>

struct sqlite3;

namespace gw {

// An error text from sqlite3_exec, released with sqlite3_free exactly once.
class SqliteErrorText {
 public:
  SqliteErrorText() = default;
  ~SqliteErrorText();
  SqliteErrorText(const SqliteErrorText &) = delete;
  SqliteErrorText &operator=(const SqliteErrorText &) = delete;

  // Where sqlite3_exec stores its text; a previous text is freed first.
  char **out();
  // The text, or "" when SQLite gave none (a NULL never reaches %s).
  const char *c_str() const;

 private:
  char *text_ = nullptr;
};

// Deletes every row of table whose DBID is at most dbid ("DELETE FROM %s
// WHERE DBID <= %llu"). Returns 0, or 1 after "ZENTIB_ERROR : SENSOR%d :
// Cannot Delete values from %s Table\n\r". A dbid of 0 deletes nothing.
int delete_published_rows(sqlite3 *db, const char *table, std::uint64_t dbid,
                          int sensor_number);

// Deletes every row of table. Returns 0, or 1 after the same line.
int clear_table(sqlite3 *db, const char *table, int sensor_number);

}  // namespace gw
