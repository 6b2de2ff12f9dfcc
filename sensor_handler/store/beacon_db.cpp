#include "beacon_db.h"

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sqlite3.h>

#include "config/configuration.h"
#include "gw_db.h"
#include "gw_number.h"
#include "gw_output.h"
#include "gw_pacing.h"
#include "stop/stop_flags.h"
#include "store/store_files.h"
#include "store/store_space.h"

namespace sensor_handler {

std::atomic<std::uint64_t> highest_selected_dbid{0};
std::atomic<std::uint64_t> last_published_dbid{0};

BatchText raw_batch_text;
BatchText filtered_batch_text;
BatchText ext_batch_text;
std::int32_t raw_packet_count = 0;
std::int32_t filtered_packet_count = 0;
std::int32_t ext_packet_count = 0;
std::int32_t rows_selected = 0;

constinit BeaconDb beacon_db;

namespace {

// PAYLOAD3 last, where ALTER TABLE puts it in an older release's file, so
// both kinds of file have one column order.
constexpr char create_table_sql[] =
    "CREATE TABLE IF NOT EXISTS BLE(DT INT, PAYLOAD varchar NULL, PAYLOAD2 varchar NULL, "
    "DBID INTEGER PRIMARY KEY AUTOINCREMENT, PAYLOAD3 varchar NULL);";
constexpr char has_payload3_sql[] =
    "SELECT COUNT(*) FROM pragma_table_info('BLE') WHERE name='PAYLOAD3'";
constexpr char add_payload3_sql[] = "ALTER TABLE BLE ADD COLUMN PAYLOAD3 varchar NULL;";
// Columns named: a file whose columns stand in another order stores and
// reads back right.
constexpr char insert_sql[] = "INSERT INTO BLE(DT,PAYLOAD,PAYLOAD2,PAYLOAD3) VALUES (?,?,?,?)";
constexpr char wal_size_limit_sql[] = "PRAGMA journal_size_limit=1048576";
constexpr char sequence_sql[] = "SELECT seq FROM sqlite_sequence WHERE name='BLE'";
// The select with the longest table name the callers pass, a 20-digit
// cursor and the most negative limit takes 115 characters.
constexpr std::size_t select_text_size = 160;
// Short enough that the read phase's queue (about six seconds) never fills
// while an insert waits.
constexpr int busy_wait_ms = 1000;

// The room an item takes in a batch text: the text, ";" and a zero byte.
constexpr std::size_t item_overhead = 2;

int bind_payload(sqlite3_stmt *stmt, int index, const char *text) {
  if (text == nullptr) return sqlite3_bind_null(stmt, index);
  std::size_t length = std::strlen(text);
  if (length > static_cast<std::size_t>(INT_MAX)) return SQLITE_TOOBIG;
  // The text outlives the step: the caller holds it for the whole locked
  // unit, and the bindings are cleared before the lock is released.
  return sqlite3_bind_text(stmt, index, text, static_cast<int>(length), SQLITE_STATIC);
}

// The table's AUTOINCREMENT sequence: the highest DBID ever assigned in this
// file (0 when none was).
bool read_table_sequence(sqlite3 *db, std::uint64_t *sequence) {
  sqlite3_stmt *stmt = nullptr;
  if (sqlite3_prepare_v2(db, sequence_sql, -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return false;
  }
  bool read = true;
  *sequence = 0;
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) {
    sqlite3_int64 value = sqlite3_column_int64(stmt, 0);
    *sequence = value > 0 ? static_cast<std::uint64_t>(value) : 0;
  } else if (rc != SQLITE_DONE) {
    read = false;
  }
  sqlite3_finalize(stmt);
  return read;
}

// True when table BLE has its PAYLOAD3 column (false also when it cannot be
// told).
bool has_payload3(sqlite3 *db) {
  sqlite3_stmt *stmt = nullptr;
  bool found = sqlite3_prepare_v2(db, has_payload3_sql, -1, &stmt, nullptr) == SQLITE_OK &&
               sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_int(stmt, 0) > 0;
  sqlite3_finalize(stmt);
  return found;
}

bool batch_empty() {
  return raw_batch_text.empty() && filtered_batch_text.empty() && ext_batch_text.empty();
}

struct BatchCollector {
  std::atomic<std::uint64_t> *cursor;
  bool cut;
  std::uint64_t room;       // for the texts, the counts' digits and the extended keys
  std::uint64_t ext_keys;   // what the extended keys add once a batch has an extended row
  bool full;                // the next row would pass room
};

std::uint64_t decimal_digits(std::int32_t count) {
  std::uint64_t digits = 1;
  for (; count >= 10; count /= 10) ++digits;
  return digits;
}

void print_select_failure(const char *table, int sensor_number) {
  gw::gw_printf("ZENTIB_ERROR : SENSOR%d : MQTT - Cannot Select values from %s Table\n\r",
                sensor_number, table != nullptr ? table : "");
}

// The reclaim's two failure lines: the fixed one, then SQLite's reason (or
// ours).
void print_reclaim_failure(const char *reason) {
  gw::gw_printf("ZENTIB_ERROR : SENSOR5 : Cannot reclaim free space from database\n\r");
  gw::gw_printf("ZENTIB_ERROR : %s\n\r", reason);
}

void advance_cursor(std::atomic<std::uint64_t> *cursor, const char *dbid_text) {
  std::uint64_t dbid = 0;
  if (gw::gw_parse_number64(dbid_text, 0, &dbid) != 0) {
    gw::gw_printf("ZENTIB_ERROR : Invalid DBID Value\n\r");
    return;
  }
  // Rows arrive in DBID order; the guard keeps the cursor from ever moving
  // back on a foreign table's odd row.
  if (dbid > cursor->load(std::memory_order_relaxed)) {
    cursor->store(dbid, std::memory_order_relaxed);
  }
}

}  // namespace

// --- BatchText ---------------------------------------------------------------

BatchText::~BatchText() { free(); }

BatchText::BatchText(BatchText &&other) noexcept
    : text_(other.text_), length_(other.length_), capacity_(other.capacity_) {
  other.text_ = nullptr;
  other.length_ = 0;
  other.capacity_ = 0;
}

BatchText &BatchText::operator=(BatchText &&other) noexcept {
  if (this != &other) {
    free();
    text_ = other.text_;
    length_ = other.length_;
    capacity_ = other.capacity_;
    other.text_ = nullptr;
    other.length_ = 0;
    other.capacity_ = 0;
  }
  return *this;
}

bool BatchText::reserve_item(std::size_t item_length) {
  if (item_length > batch_text_limit - item_overhead ||
      length_ > batch_text_limit - item_overhead - item_length) {
    return false;
  }
  std::size_t needed = length_ + item_length + item_overhead;
  if (needed <= capacity_) return true;
  // Doubling keeps a batch of many rows from reallocating at every row.
  std::size_t wanted = capacity_ < 256 ? 256 : capacity_;
  while (wanted < needed) wanted = wanted > batch_text_limit / 2 ? batch_text_limit : wanted * 2;
  char *grown = static_cast<char *>(std::realloc(text_, wanted));
  if (grown == nullptr && wanted > needed) {
    wanted = needed;
    grown = static_cast<char *>(std::realloc(text_, wanted));
  }
  if (grown == nullptr) return false;
  if (text_ == nullptr) grown[0] = '\0';
  text_ = grown;
  capacity_ = wanted;
  return true;
}

void BatchText::append_item(const char *item, std::size_t item_length) {
  std::memcpy(text_ + length_, item, item_length);
  length_ += item_length;
  text_[length_++] = ';';
  text_[length_] = '\0';
}

void BatchText::clear() {
  length_ = 0;
  if (text_ != nullptr) text_[0] = '\0';
}

void BatchText::free() {
  std::free(text_);
  text_ = nullptr;
  length_ = 0;
  capacity_ = 0;
}

void free_batch_texts() {
  raw_batch_text.free();
  filtered_batch_text.free();
  ext_batch_text.free();
}

// --- BeaconDb ----------------------------------------------------------------

BeaconDb::~BeaconDb() {
  std::lock_guard<std::mutex> guard(lock_);
  release_locked();
}

void BeaconDb::release_locked() {
  if (insert_stmt_ != nullptr) {
    sqlite3_finalize(insert_stmt_);
    insert_stmt_ = nullptr;
  }
  if (db_handle_ != nullptr) {
    // Never fails on a valid handle: whatever still holds it is released
    // with its last statement.
    sqlite3_close_v2(db_handle_);
    db_handle_ = nullptr;
  }
}

void BeaconDb::restart_cursors_if_replaced_locked() {
  std::uint64_t sequence = 0;
  if (!read_table_sequence(db_handle_, &sequence)) return;
  if (sequence < highest_selected_dbid.load(std::memory_order_relaxed) ||
      sequence < last_published_dbid.load(std::memory_order_relaxed)) {
    highest_selected_dbid.store(0, std::memory_order_relaxed);
    last_published_dbid.store(0, std::memory_order_relaxed);
  }
}

int BeaconDb::open(const char *path, int sensor_number) {
  std::lock_guard<std::mutex> guard(lock_);
  return open_locked(path, sensor_number);
}

int BeaconDb::open_locked(const char *path, int sensor_number) {
  release_locked();

  // SQLite reads an empty name as a private temporary database that is
  // deleted at its close: every stored row would vanish unseen.
  int rc = SQLITE_CANTOPEN;
  if (path != nullptr && path[0] != '\0' && own_store_files(path, sensor_number)) {
    rc = sqlite3_open_v2(path, &db_handle_,
                         SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX |
                             SQLITE_OPEN_NOFOLLOW,
                         nullptr);
  }
  if (rc != SQLITE_OK) {
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Cannot open the BLE database\n\r", sensor_number);
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Status = %d\n\r", sensor_number, rc);
    return 1;
  }

  // Another program on the file (a local tool reading it, an administrator's
  // sqlite3) holds its locks for moments: an insert waits that out instead
  // of failing with "database is locked" and losing its row.
  sqlite3_busy_timeout(db_handle_, busy_wait_ms);

  // Rows are about a hundred bytes and each one is its own commit, which
  // writes whole pages into the log: 1 KiB pages write a quarter of the
  // bytes of the default 4 KiB. Only a new, empty file takes it; an existing
  // file keeps its page size.
  sqlite3_exec(db_handle_, "PRAGMA page_size=1024", nullptr, nullptr, nullptr);
  // A new file gives its free pages back in steps at the storage limit,
  // instead of a VACUUM that needs twice the rows' size beside it. An older
  // file keeps its mode until the next full VACUUM, which then applies this.
  sqlite3_exec(db_handle_, "PRAGMA auto_vacuum=INCREMENTAL", nullptr, nullptr, nullptr);
  gw::SqliteErrorText error;
  if (sqlite3_exec(db_handle_, "PRAGMA journal_mode=WAL", nullptr, nullptr, error.out()) !=
      SQLITE_OK) {
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Cannot set pragma mode %s\n", sensor_number,
                  error.c_str());
    return 1;
  }
  // On a RAM-backed /tmp a WAL file keeps the size of its largest burst
  // (a VACUUM, a trim of thousands of rows) until the last connection
  // closes; with this SQLite cuts it back to 1 MiB whenever it starts the
  // log over after a checkpoint. Best effort: a log left at its size costs
  // memory, not rows.
  sqlite3_exec(db_handle_, wal_size_limit_sql, nullptr, nullptr, nullptr);
  // In WAL mode NORMAL syncs at checkpoints only, not at every commit: a
  // power cut may lose the last rows, never the file's integrity. On flash
  // a sync per row costs more than the row.
  sqlite3_exec(db_handle_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  if (sqlite3_exec(db_handle_, create_table_sql, nullptr, nullptr, error.out()) != SQLITE_OK) {
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Cannot execture querry. Error = %s\n",
                  sensor_number, error.c_str());
    return 1;
  }
  // An older release's file: its rows keep PAYLOAD3 NULL.
  if (!has_payload3(db_handle_) &&
      sqlite3_exec(db_handle_, add_payload3_sql, nullptr, nullptr, error.out()) != SQLITE_OK) {
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Cannot execture querry. Error = %s\n",
                  sensor_number, error.c_str());
    return 1;
  }
  const char *tail = nullptr;
  rc = sqlite3_prepare_v2(db_handle_, insert_sql, sizeof insert_sql, &insert_stmt_, &tail);
  if (rc != SQLITE_OK) {
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Cannot prepare BLE statement\n\r", sensor_number);
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Status = %d\n\r", sensor_number, rc);
    sqlite3_finalize(insert_stmt_);
    insert_stmt_ = nullptr;
    return 1;
  }
  restart_cursors_if_replaced_locked();
  return 0;
}

int BeaconDb::insert_row(std::uint32_t dt, const char *payload, const char *payload2,
                         const char *payload3) {
  std::lock_guard<std::mutex> guard(lock_);
  if (insert_stmt_ == nullptr) return beacon_db_unavailable;

  // 64-bit bind of the unsigned time: after 2038 it stays positive.
  int rc = sqlite3_bind_int64(insert_stmt_, 1, static_cast<sqlite3_int64>(dt));
  if (rc == SQLITE_OK) rc = bind_payload(insert_stmt_, 2, payload);
  if (rc == SQLITE_OK) rc = bind_payload(insert_stmt_, 3, payload2);
  if (rc == SQLITE_OK) rc = bind_payload(insert_stmt_, 4, payload3);
  if (rc == SQLITE_OK) rc = sqlite3_step(insert_stmt_);
  // Also after a failure: an unreset statement refuses the next binds, and
  // its next step would insert this row again from texts that are gone.
  sqlite3_reset(insert_stmt_);
  sqlite3_clear_bindings(insert_stmt_);
  return rc;
}

int BeaconDb::finalize_insert() {
  std::lock_guard<std::mutex> guard(lock_);
  return finalize_insert_locked();
}

int BeaconDb::finalize_insert_locked() {
  if (insert_stmt_ == nullptr) return SQLITE_OK;
  // The statement is destroyed whatever the result (which only repeats the
  // last step's error).
  int rc = sqlite3_finalize(insert_stmt_);
  insert_stmt_ = nullptr;
  return rc;
}

int BeaconDb::close() {
  std::lock_guard<std::mutex> guard(lock_);
  return close_locked();
}

int BeaconDb::close_locked() {
  if (insert_stmt_ != nullptr) {
    sqlite3_finalize(insert_stmt_);
    insert_stmt_ = nullptr;
  }
  if (db_handle_ == nullptr) return SQLITE_OK;
  int rc = sqlite3_close(db_handle_);
  if (rc != SQLITE_OK) sqlite3_close_v2(db_handle_);
  db_handle_ = nullptr;
  return rc;
}

bool BeaconDb::is_open() const {
  std::lock_guard<std::mutex> guard(lock_);
  return db_handle_ != nullptr;
}

bool BeaconDb::has_insert_statement() const {
  std::lock_guard<std::mutex> guard(lock_);
  return insert_stmt_ != nullptr;
}

int BeaconDb::vacuum() {
  std::lock_guard<std::mutex> guard(lock_);
  return vacuum_locked();
}

int BeaconDb::vacuum_locked() {
  int rc = run_vacuum_locked();
  if (rc == SQLITE_OK) return 0;
  print_reclaim_failure(db_handle_ != nullptr ? sqlite3_errmsg(db_handle_) : sqlite3_errstr(rc));
  return 1;
}

int BeaconDb::run_vacuum_locked() {
  return db_handle_ != nullptr ? sqlite3_exec(db_handle_, "VACUUM;", nullptr, nullptr, nullptr)
                               : SQLITE_MISUSE;
}

int BeaconDb::delete_published(std::uint64_t dbid, int sensor_number) {
  std::lock_guard<std::mutex> guard(lock_);
  return gw::delete_published_rows(db_handle_, "BLE", dbid, sensor_number);
}

int BeaconDb::clear(int sensor_number) {
  std::lock_guard<std::mutex> guard(lock_);
  return gw::clear_table(db_handle_, "BLE", sensor_number);
}

int BeaconDb::exec(const char *sql, int (*callback)(void *, int, char **, char **),
                   void *context, char **error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (db_handle_ == nullptr) return beacon_db_unavailable;
  return sqlite3_exec(db_handle_, sql, callback, context, error);
}

bool BeaconDb::mark_batch_published() {
  std::lock_guard<std::mutex> guard(lock_);
  std::uint64_t selected = highest_selected_dbid.load(std::memory_order_relaxed);
  if (last_published_dbid.load(std::memory_order_relaxed) >= selected) return false;
  last_published_dbid.store(selected, std::memory_order_relaxed);
  return true;
}

// --- the process-wide database -----------------------------------------------

int open_beacon_db() {
  return beacon_db.open(service_config.db_path, service_config.sensor_number);
}

int insert_beacon_row(std::uint32_t dt, const char *payload, const char *payload2,
                      const char *payload3) {
  return beacon_db.insert_row(dt, payload, payload2, payload3);
}

int finalize_insert_statement() { return beacon_db.finalize_insert(); }

int close_beacon_db() { return beacon_db.close(); }

bool beacon_db_open() { return beacon_db.is_open(); }

int delete_published_beacon_rows(std::uint64_t dbid, int sensor_number) {
  return beacon_db.delete_published(dbid, sensor_number);
}

int clear_beacon_table(int sensor_number) { return beacon_db.clear(sensor_number); }

ReclaimResult reclaim_beacon_space(int sensor_number, bool report_deferral,
                                   bool (*reopen_pause)(void *context), void *context) {
  const std::uint64_t limit_bytes =
      static_cast<std::uint64_t>(static_cast<std::uint32_t>(service_config.max_storage_limit)) *
      1048576u;
  return beacon_db.reclaim(service_config.db_path, limit_bytes, report_deferral, sensor_number,
                           reopen_pause, context);
}

ReclaimResult BeaconDb::release_space_locked(int sensor_number, std::uint64_t limit_bytes,
                                            bool report_deferral, const char *path) {
  StoreSpace space;
  if (db_handle_ == nullptr || !read_store_space(db_handle_, &space)) {
    return vacuum_locked() == 0 ? ReclaimResult::reopened : ReclaimResult::vacuum_failed;
  }

  constexpr double mib = 1048576.0;
  if (space.live_bytes >= limit_bytes) {
    if (report_deferral) {
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Rows waiting for upload fill the storage limit "
                    "(%.1f of %.1f MiB), reading paused until they are uploaded\n\r",
                    sensor_number, static_cast<double>(space.live_bytes) / mib,
                    static_cast<double>(limit_bytes) / mib);
    }
    return ReclaimResult::deferred;
  }
  if (space.incremental) {
    constexpr std::uint64_t step_bytes = 1u << 20;
    int rc = release_free_pages(db_handle_, space, step_bytes, service_running);
    if (rc == SQLITE_OK) return ReclaimResult::reopened;
    if (store_busy(rc)) return ReclaimResult::busy;
    print_reclaim_failure(sqlite3_errmsg(db_handle_));
    truncate_log(db_handle_);
    return ReclaimResult::vacuum_failed;
  }
  std::uint64_t needed = 0, available = 0;
  if (!full_vacuum_fits(path != nullptr ? path : "", space, &needed, &available)) {
    if (report_deferral) {
      char reason[80] = {};
      std::snprintf(reason, sizeof reason, "Not enough free space: %.1f MiB needed, %.1f MiB free",
                    static_cast<double>(needed) / mib, static_cast<double>(available) / mib);
      print_reclaim_failure(reason);
    }
    return ReclaimResult::deferred;
  }
  // A VACUUM that finds the file locked has changed nothing.
  const int rc = run_vacuum_locked();
  if (store_busy(rc)) return ReclaimResult::busy;
  if (rc != SQLITE_OK) print_reclaim_failure(sqlite3_errmsg(db_handle_));
  // A VACUUM that ran out of room leaves its pages in the log, in RAM; one
  // that a reader keeps in the log is written back by the next reclaim's
  // first checkpoint (the VACUUM made the store incremental).
  truncate_log(db_handle_);
  return rc == SQLITE_OK ? ReclaimResult::reopened : ReclaimResult::vacuum_failed;
}

ReclaimResult BeaconDb::reclaim(const char *path, std::uint64_t limit_bytes, bool report_deferral,
                                int sensor_number, bool (*reopen_pause)(void *context),
                                void *context) {
  // A stopping service keeps its database for the last flush of the
  // smoothing window; the teardown closes it.
  if (!service_running()) return ReclaimResult::stopped;

  // Held from the reclaim to the reopen: an insert that comes meanwhile
  // waits for the new statement instead of being refused and lost.
  std::unique_lock<std::mutex> guard(lock_);
  const ReclaimResult released =
      release_space_locked(sensor_number, limit_bytes, report_deferral, path);
  if (released != ReclaimResult::reopened) return released;

  // A failed finalize or close is reported but does not end the reclaim:
  // the statement is destroyed either way, and only a reopen gives the
  // inserting threads a statement again.
  if (finalize_insert_locked() != SQLITE_OK) {
    gw::gw_printf("ZENTIB_ERROR : SENSOR5 : Cannot Finalize Sensor Statement\n\r");
  }
  int rc = close_locked();
  if (rc != SQLITE_OK) {
    gw::gw_printf("ZENTIB_ERROR : SENSOR5 : Cannot close Sensor Database\n\r");
    gw::gw_printf("ZENTIB_ERROR : SENSOR5 : Status = %d\n\r", rc);
  }

  for (;;) {
    if (open_locked(path, sensor_number) != 1) return ReclaimResult::reopened;
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Cannot create database sensor 1\n\r", sensor_number);
    rc = close_locked();
    if (rc != SQLITE_OK) {
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Database cannot be closed\n\r", sensor_number);
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Status = %d\n\r", sensor_number, rc);
    }
    // The pause is the only time the store is seen closed: the inserting
    // threads and the publisher are refused without touching SQLite then,
    // rather than held up for as long as the file stays unopenable.
    guard.unlock();
    if (reopen_pause != nullptr) {
      if (!reopen_pause(context)) return ReclaimResult::stopped;
    } else {
      // A file that cannot be opened now will not open a microsecond later.
      gw::pacing_sleep(1000);
    }
    if (!service_running()) return ReclaimResult::stopped;
    guard.lock();
  }
}

// --- batch select ------------------------------------------------------------

int collect_row(void *context, int column_count, char **values, char ** /*names*/) {
  auto *collector = static_cast<BatchCollector *>(context);
  if (column_count < 4 || values == nullptr) {
    ++rows_selected;
    return 0;
  }
  const char *payload = values[1];
  const char *payload2 = values[2];
  const char *payload3 = column_count > 4 ? values[4] : nullptr;
  std::size_t payload_length = payload != nullptr ? std::strlen(payload) : 0;
  std::size_t payload2_length = payload2 != nullptr ? std::strlen(payload2) : 0;
  std::size_t payload3_length = payload3 != nullptr ? std::strlen(payload3) : 0;

  // The message's bound first, then memory for the whole row, so a row is
  // either in the batch with its cursor advance or not at all.
  const std::int32_t ext_count = ext_packet_count + (payload3 != nullptr ? 1 : 0);
  const std::uint64_t wanted =
      raw_batch_text.length() + filtered_batch_text.length() + ext_batch_text.length() +
      (payload != nullptr ? payload_length + 1 : 0) +
      (payload2 != nullptr ? payload2_length + 1 : 0) +
      (payload3 != nullptr ? payload3_length + 1 : 0) +
      decimal_digits(raw_packet_count + (payload != nullptr ? 1 : 0)) +
      decimal_digits(filtered_packet_count + (payload2 != nullptr ? 1 : 0)) +
      (ext_count > 0 ? collector->ext_keys + decimal_digits(ext_count) : 0);
  if (wanted > collector->room) {
    collector->full = true;
    // A row no message can hold is passed over, or every batch would stop
    // here.
    if (batch_empty()) advance_cursor(collector->cursor, values[3]);
    return 1;
  }
  bool fits = (payload == nullptr || raw_batch_text.reserve_item(payload_length)) &&
              (payload2 == nullptr || filtered_batch_text.reserve_item(payload2_length)) &&
              (payload3 == nullptr || ext_batch_text.reserve_item(payload3_length));
  if (!fits) {
    collector->cut = true;
    // Nothing fits before it: pass over the row, or every batch would stop
    // here.
    if (batch_empty()) advance_cursor(collector->cursor, values[3]);
    return 1;
  }

  ++rows_selected;
  if (payload != nullptr) {
    advance_cursor(collector->cursor, values[3]);
    raw_batch_text.append_item(payload, payload_length);
    ++raw_packet_count;
  }
  if (payload2 != nullptr) {
    advance_cursor(collector->cursor, values[3]);
    filtered_batch_text.append_item(payload2, payload2_length);
    ++filtered_packet_count;
  }
  if (payload3 != nullptr) {
    advance_cursor(collector->cursor, values[3]);
    ext_batch_text.append_item(payload3, payload3_length);
    ++ext_packet_count;
  }
  return 0;
}

int select_batch(BeaconDb &db, const char *table, std::atomic<std::uint64_t> *cursor,
                 std::int32_t limit, int sensor_number, std::size_t text_room,
                 std::size_t ext_keys_length) {
  rows_selected = 0;
  raw_packet_count = 0;
  filtered_packet_count = 0;
  ext_packet_count = 0;
  raw_batch_text.clear();
  filtered_batch_text.clear();
  ext_batch_text.clear();

  if (table == nullptr || cursor == nullptr) {
    print_select_failure(table, sensor_number);
    return 1;
  }
  char sql[select_text_size] = {};
  int length = std::snprintf(sql, sizeof sql,
                             "SELECT DT,PAYLOAD,PAYLOAD2,DBID,PAYLOAD3 FROM %s WHERE DBID > %" PRIu64
                             " ORDER BY DBID LIMIT %d",
                             table, cursor->load(std::memory_order_relaxed),
                             static_cast<int>(limit));
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof sql) {
    print_select_failure(table, sensor_number);
    return 1;
  }

  BatchCollector collector{cursor, false, text_room, ext_keys_length, false};
  gw::SqliteErrorText error;
  int rc = db.exec(sql, collect_row, &collector, error.out());
  if (collector.cut) {
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Batch text cannot grow, batch cut at %d rows\n\r",
                  sensor_number, static_cast<int>(rows_selected));
  } else if (rc != SQLITE_OK && !collector.full) {
    print_select_failure(table, sensor_number);
    return 1;
  }
  return batch_empty() ? 1 : 0;
}

}  // namespace sensor_handler
