#include "store_space.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace sensor_handler {

namespace {

// Room left beside a full VACUUM for every other writer of the same RAM.
constexpr std::uint64_t vacuum_margin_bytes = 1u << 20;

bool pragma_value(sqlite3 *db, const char *sql, std::uint64_t *value) {
  sqlite3_stmt *stmt = nullptr;
  bool read = false;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    sqlite3_int64 number = sqlite3_column_int64(stmt, 0);
    *value = number > 0 ? static_cast<std::uint64_t>(number) : 0;
    read = true;
  }
  sqlite3_finalize(stmt);
  return read;
}

bool available_bytes(const char *folder, std::uint64_t *bytes, dev_t *device) {
  struct statvfs fs{};
  struct stat info{};
  if (statvfs(folder, &fs) != 0 || stat(folder, &info) != 0) return false;
  *bytes = static_cast<std::uint64_t>(fs.f_bavail) * static_cast<std::uint64_t>(fs.f_frsize);
  *device = info.st_dev;
  return true;
}

// SQLite's own choice of folder for the VACUUM's temporary database, without
// an environment setting (the gateway has none). On the board /var is /tmp.
const char *temporary_folder() {
  for (const char *folder : {"/var/tmp", "/usr/tmp", "/tmp"}) {
    struct stat info{};
    if (stat(folder, &info) == 0 && S_ISDIR(info.st_mode) && access(folder, W_OK | X_OK) == 0) {
      return folder;
    }
  }
  return ".";
}

}  // namespace

bool read_store_space(sqlite3 *db, StoreSpace *space) {
  std::uint64_t pages = 0, mode = 0;
  if (db == nullptr || !pragma_value(db, "PRAGMA page_count", &pages) ||
      !pragma_value(db, "PRAGMA freelist_count", &space->free_pages) ||
      !pragma_value(db, "PRAGMA page_size", &space->page_size) ||
      !pragma_value(db, "PRAGMA auto_vacuum", &mode)) {
    return false;
  }
  const std::uint64_t used = pages > space->free_pages ? pages - space->free_pages : 0;
  space->live_bytes = used * space->page_size;
  space->incremental = mode == 2;
  return true;
}

int release_free_pages(sqlite3 *db, const StoreSpace &space, std::uint64_t step_bytes,
                       bool (*keep_going)()) {
  const std::uint64_t step_pages =
      space.page_size > 0 && step_bytes >= space.page_size ? step_bytes / space.page_size : 1;
  char sql[48] = {};
  std::snprintf(sql, sizeof sql, "PRAGMA incremental_vacuum(%llu)",
                static_cast<unsigned long long>(step_pages));
  // What an earlier release left in the log (a reader held it then) goes
  // back first, or nothing is added.
  int rc = sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  if (rc != SQLITE_OK) return rc;
  for (std::uint64_t left = space.free_pages; left > 0;) {
    rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return rc;
    // Each step's moved pages sit in the log until a checkpoint writes them
    // back; cutting the log after every step keeps it near one step's size.
    rc = sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    if (rc != SQLITE_OK) return rc;
    std::uint64_t free_now = 0;
    if (!pragma_value(db, "PRAGMA freelist_count", &free_now)) return SQLITE_ERROR;
    // A step that freed nothing would repeat for ever.
    if (free_now >= left) break;
    left = free_now;
    if (left > 0 && keep_going != nullptr && !keep_going()) break;
  }
  return SQLITE_OK;
}

bool store_busy(int result) {
  const int primary = result & 0xFF;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

bool full_vacuum_fits(const char *db_path, const StoreSpace &space, std::uint64_t *needed,
                      std::uint64_t *available) {
  // The file's folder: the path up to its last '/', or the working folder.
  char folder[256] = ".";
  const char *slash = std::strrchr(db_path, '/');
  if (slash != nullptr) {
    const std::size_t length = slash == db_path ? 1 : static_cast<std::size_t>(slash - db_path);
    if (length >= sizeof folder) return false;
    std::memcpy(folder, db_path, length);
    folder[length] = '\0';
  }
  std::uint64_t beside = 0, temporary = 0;
  dev_t beside_device = 0, temporary_device = 0;
  if (!available_bytes(folder, &beside, &beside_device) ||
      !available_bytes(temporary_folder(), &temporary, &temporary_device)) {
    *needed = space.live_bytes * 2 + vacuum_margin_bytes;
    *available = 0;
    return false;
  }
  if (beside_device == temporary_device) {
    *needed = space.live_bytes * 2 + vacuum_margin_bytes;
    *available = beside;
    return beside >= *needed;
  }
  *needed = space.live_bytes + vacuum_margin_bytes;
  *available = beside < temporary ? beside : temporary;
  return *available >= *needed;
}

void truncate_log(sqlite3 *db) {
  if (db != nullptr) {
    sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  }
}

}  // namespace sensor_handler
