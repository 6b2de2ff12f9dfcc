// The beacon database: table BLE in the SQLite file at db_path, the one
// process-wide connection with its prepared insert, the batch select with its
// row collector and the two cursors that walk the table in DBID order.
//
// A row carries one of three texts: PAYLOAD (a raw report), PAYLOAD2 (a
// smoothed beacon) or PAYLOAD3 (an extended advertisement). An older
// release's file gains the PAYLOAD3 column at its first open; its rows keep
// it NULL.
//
// Who uses it:
//   main thread      open at the build, close on a failed build and at the
//                    teardown (close_beacon_db: 0 when nothing is open).
//   sensor_thread    table step (delete_published_beacon_rows /
//                    clear_beacon_table), space reclaim (reclaim_beacon_space).
//   thread_one/two   insert_beacon_row.
//   publish_thread   select_batch, the batch texts, mark_batch_published.
//
// Exclusion: BeaconDb's lock guards its connection and insert statement and
// every change of highest_selected_dbid / last_published_dbid made by the
// store. Each public routine below takes it for its whole SQLite sequence:
// one insert (bind, step, reset, clear) never interleaves with another, and
// no insert, select, delete or VACUUM runs while the statement is finalized
// or the connection is closed and reopened. The reclaim holds the lock from
// its VACUUM to a successful reopen, so an insert that comes meanwhile (a
// smoothing flush) waits and is stored; only the pauses between failed
// reopen attempts release it, and then the store is closed and inserts and
// selects are refused without touching SQLite. The connection is opened
// SQLITE_OPEN_FULLMUTEX as well, whatever the library's compile-time
// default.
//
// The statement stays prepared until the close (teardown or reclaim), which
// finalizes it itself: the rows of a smoothing window that a stop cuts short
// are still stored after sensor_thread has ended.
//
// The batch texts and counts belong to publish_thread alone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

struct sqlite3;
struct sqlite3_stmt;

namespace sensor_handler {

// insert_beacon_row's status when there is no statement to insert with
// (database closed, never opened, finalized at the stop, or a reclaim in
// progress). SQLite's own result codes are never negative.
constexpr int beacon_db_unavailable = -1;

// Select and publish cursors. DBIDs only grow (AUTOINCREMENT) and pass 2^31
// within days at high rates, hence 64 bits. Both start at 0 with the process
// and survive service runs; an open that finds the table's sequence below
// either of them (the file was replaced or db_path changed) restarts both at
// 0, so the new file's rows are sent instead of deleted as published.
//   highest_selected_dbid: the DBID of the last row with a payload that a
//     select returned; written by select_batch (publish_thread) and by an
//     open, both under the store's lock.
//   last_published_dbid: the select cursor's value when the last batch was
//     handed to the broker; owned by the batch publisher, which moves it with
//     mark_batch_published; read by sensor_thread for the table step.
// Relaxed: every write happens under the store's lock, and a reader outside
// it needs only a whole value (no other data hangs on it).
extern std::atomic<std::uint64_t> highest_selected_dbid;
extern std::atomic<std::uint64_t> last_published_dbid;

// A batch text: payload texts each followed by ";", grown from what is
// appended (lengths checked against overflow; a failed growth leaves the
// text as it was). Move-only, freed once.
class BatchText {
 public:
  BatchText() = default;
  ~BatchText();
  BatchText(BatchText &&other) noexcept;
  BatchText &operator=(BatchText &&other) noexcept;
  BatchText(const BatchText &) = delete;
  BatchText &operator=(const BatchText &) = delete;

  // Never NULL: "" when empty or freed.
  const char *c_str() const { return text_ != nullptr ? text_ : ""; }
  std::size_t length() const { return length_; }
  bool empty() const { return length_ == 0; }

  // Makes room for one more item of item_length characters (its ";" and the
  // terminating zero included). False when memory is short.
  bool reserve_item(std::size_t item_length);
  // Appends item and ";"; the room must have been reserved.
  void append_item(const char *item, std::size_t item_length);
  void clear();  // empty text, storage kept
  void free();   // storage released

 private:
  char *text_ = nullptr;
  std::size_t length_ = 0;
  std::size_t capacity_ = 0;
};

// The current batch (publish_thread only): PAYLOAD, PAYLOAD2 and PAYLOAD3
// texts of the rows the last select_batch returned, their counts, and every
// row it saw.
//
// Memory: the select keeps the three texts, with their counts' digits and
// the extended keys, within the room the publisher gives it (the message
// budget, max_message_bytes, less the template's fixed part), and each text
// at most doubles its storage as it grows. So the texts hold at most twice
// the budget plus 768 bytes (about 240 KiB at the shipped 120 KiB, 2 MiB at
// the 1 MiB most), and the message built from them one budget more.
extern BatchText raw_batch_text;
extern BatchText filtered_batch_text;
extern BatchText ext_batch_text;
extern std::int32_t raw_packet_count;
extern std::int32_t filtered_packet_count;
extern std::int32_t ext_packet_count;
extern std::int32_t rows_selected;

// Releases the three batch texts (the publisher's "free both texts").
void free_batch_texts();

// What reclaim_beacon_space leaves behind. None of them touches the radio:
// store work is not an interface failure.
enum class ReclaimResult {
  reopened,       // new connection and statement; go on with the table step
  vacuum_failed,  // lines printed, database untouched and still in use; go
                  // on with the table step so that published rows are
                  // trimmed and the file can shrink. A store failure for the
                  // caller to count and pace
  deferred,       // nothing rewritten: the rows still to upload fill the
                  // limit on their own (no reclaim can help), or a full
                  // VACUUM would not fit in the free space. The database
                  // stays in use; the table step follows, so uploads make
                  // room for a later reclaim
  busy,           // another program holds the file (a reader keeps the log
                  // from being written back): not yet, and no failure. What
                  // was released stays released, nothing is printed, the
                  // database stays in use; the table step follows and the
                  // next period carries on
  stopped,        // a stop flag, or reopen_pause giving up, ended the reclaim:
                  // the cycle ends without a table step. The database is
                  // closed, unless the stop came before the VACUUM (then
                  // nothing was touched).
};

// The connection and its insert statement, with the state the teardown
// trusts: open means a connection is held; it is closed exactly once.
// Every member takes the lock; none may be called from an SQLite callback.
// The process has one instance, beacon_db; tests may make their own.
class BeaconDb {
 public:
  constexpr BeaconDb() = default;
  ~BeaconDb();  // finalizes and closes what is still held, silently
  BeaconDb(const BeaconDb &) = delete;
  BeaconDb &operator=(const BeaconDb &) = delete;

  // open_beacon_db on the given path. A connection still held is released
  // first. After a failure the connection (if SQLite made one) stays held,
  // without a statement, until close().
  int open(const char *path, int sensor_number);
  int insert_row(std::uint32_t dt, const char *payload, const char *payload2,
                 const char *payload3 = nullptr);
  int finalize_insert();
  int close();
  bool is_open() const;
  bool has_insert_statement() const;

  // VACUUM with its two failure lines. Returns 0, or 1 (also when closed).
  int vacuum();
  // reclaim_beacon_space on this store, reopening path (read afresh at each
  // attempt), against a limit of limit_bytes.
  ReclaimResult reclaim(const char *path, std::uint64_t limit_bytes, bool report_deferral,
                        int sensor_number, bool (*reopen_pause)(void *context), void *context);
  int delete_published(std::uint64_t dbid, int sensor_number);
  int clear(int sensor_number);

  // Runs one SQL text with sqlite3_exec and callback under the lock.
  // Returns SQLite's result, or beacon_db_unavailable when closed (nothing
  // is called then). *error receives SQLite's error text for sqlite3_free.
  int exec(const char *sql, int (*callback)(void *, int, char **, char **),
           void *context, char **error);

  // Moves last_published_dbid up to highest_selected_dbid under the lock, so
  // a cursor restart by a concurrent reopen is never overwritten by a value
  // from the old file. True when it moved (a batch is due).
  bool mark_batch_published();

 private:
  int open_locked(const char *path, int sensor_number);
  int finalize_insert_locked();
  int close_locked();
  int vacuum_locked();
  int run_vacuum_locked();  // SQLite's result, nothing printed
  // Gives the free pages back. reopened when the reclaim goes on to the
  // reopen; otherwise its outcome.
  ReclaimResult release_space_locked(int sensor_number, std::uint64_t limit_bytes,
                                     bool report_deferral, const char *path);
  void release_locked();
  void restart_cursors_if_replaced_locked();

  mutable std::mutex lock_;             // guards the two members below
  sqlite3 *db_handle_ = nullptr;        // held connection, or NULL
  sqlite3_stmt *insert_stmt_ = nullptr; // the insert, its columns named
};

extern BeaconDb beacon_db;

// Opens service_config.db_path: WAL journal mode, table BLE (PAYLOAD3 added
// once to an older file), the prepared insert. Returns 0, or 1 after its
// lines ("ZENTIB_ERROR : SENSOR%d : Cannot open the BLE database\n\r" and the
// status, the pragma, the CREATE TABLE or ALTER TABLE, or the prepare line);
// close_beacon_db() then releases what was made.
int open_beacon_db();

// One insert as one locked unit: DT bound as the unsigned 32-bit time through
// a 64-bit bind (2038-proof), PAYLOAD, PAYLOAD2 and PAYLOAD3 as their texts
// (nullptr binds NULL; the texts need only live for the call; a row of this
// system carries exactly one), DBID left to SQLite.
// Returns the step's result (SQLITE_DONE, 101, on success), a bind's failing
// result, or beacon_db_unavailable without touching SQLite. The statement is
// reset and its bindings cleared before the lock is released, whatever the
// outcome. Prints nothing: the callers print their own lines.
int insert_beacon_row(std::uint32_t dt, const char *payload, const char *payload2,
                      const char *payload3 = nullptr);

// sqlite3_finalize of the insert statement; SQLITE_OK (0) when there is
// none. The statement is gone afterwards whatever the result.
int finalize_insert_statement();

// Finalizes a statement still prepared, then sqlite3_close. Returns the
// close's result (0 when nothing was open). On a failed close the handle is
// still released (sqlite3_close_v2) and the store counts as closed, so
// nothing is closed twice and nothing leaks.
int close_beacon_db();

bool beacon_db_open();

// The table step on "BLE" under the lock (gw::delete_published_rows,
// gw::clear_table); a closed database gets the routine's failure line.
int delete_published_beacon_rows(std::uint64_t dbid, int sensor_number);
int clear_beacon_table(int sensor_number);

// Space reclaim when the file reached its limit (max_storage_limit MiB):
// give the free pages back; finalize; close; reopen until it succeeds, a stop
// flag is set or reopen_pause gives up. Every step prints its lines; the
// store's lock is held throughout except in the pauses between reopen
// attempts.
//
// Giving pages back costs the board's RAM as little as it can (see
// store/store_space.h): an incremental store releases them a megabyte at a
// time; an older store gets a full VACUUM only when the free space holds two
// copies of its live pages. Nothing is rewritten when the live pages alone
// reach the limit (only uploads can help then) or the VACUUM would not fit:
// ReclaimResult::deferred, with one line when report_deferral is set ("...
// Rows waiting for upload fill the storage limit ..." or the VACUUM's two
// failure lines with the space needed and free). Another program holding the
// file (a reader in the way of the checkpoint, a writer's lock) is
// ReclaimResult::busy, silent: the caller tries again next period. A failed
// VACUUM or release prints its two lines, truncates the log and leaves the
// database in use (vacuum_failed). A failed finalize
// or close is reported and the reclaim goes on: the statement is gone either
// way, and only the reopen gives the inserting threads a statement again.
// Between reopen attempts: "Cannot create database sensor 1", the close
// (with its lines on failure), then reopen_pause(context) with the store
// unlocked: it waits before the next attempt, false to give up (nullptr: a
// one-second wait); a stop cuts the wait short. A stop already set when it
// is called leaves everything as it is.
ReclaimResult reclaim_beacon_space(int sensor_number, bool report_deferral,
                                   bool (*reopen_pause)(void *context), void *context);

// Longest batch text. A batch that would grow past it (or past the memory
// left) ends at the last row that fit, and the rest follows in the next
// batch; a single row that fits no batch is passed over, so it cannot hold
// up the table for ever.
constexpr std::size_t batch_text_limit = 8u * 1024u * 1024u;

// Selects up to limit rows with DBID above *cursor, in DBID order, into the
// three batch texts and counts (all reset first). A limit of 0 selects nothing;
// a negative one (a setting of 2^31 or more reads back negative) is SQLite's
// "no limit", so the batch ends at batch_text_limit. Returns 0 when the
// select succeeded and a text is non-empty; 1 when the select failed (after
// "ZENTIB_ERROR : SENSOR%d : MQTT - Cannot Select values from %s Table\n\r";
// a closed database gets the same line without a call into SQLite) or both
// three texts are empty. Rows collected before a failure stay in the texts and
// keep the cursor's advance. A batch cut short prints "ZENTIB_ERROR :
// SENSOR%d : Batch text cannot grow, batch cut at %d rows\n\r" and keeps
// what it collected; the cursor stays at its last row. Whatever the limit,
// the select also stops, silently, before the row that would make the three
// texts, the decimal digits of the counts and, once the batch has an
// extended row, ext_keys_length (what the extended keys add to the message
// besides their text and count) pass text_room (the batch message's budget
// less its fixed part); the rest follows in the next batch, and a first row
// that passes it alone is passed over.
int select_batch(BeaconDb &db, const char *table, std::atomic<std::uint64_t> *cursor,
                 std::int32_t limit, int sensor_number,
                 std::size_t text_room = SIZE_MAX, std::size_t ext_keys_length = 0);

// select_batch's row callback (sqlite3_exec form; context is select_batch's
// own collector). Returns 0, or 1 to end the select when the texts cannot
// grow.
int collect_row(void *context, int column_count, char **values, char **names);

}  // namespace sensor_handler
