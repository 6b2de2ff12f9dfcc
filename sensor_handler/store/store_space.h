// What the beacon store takes of its file system, and the reclaim that gives
// free pages back without rewriting the file.
//
// On the board the store lives on /tmp, which is RAM shared with every other
// program (about 28 MiB on a 64 MiB board). A full VACUUM copies the live
// rows twice (a temporary database, then the log) and so needs about twice
// their size beside the file; at the storage limit that does not fit. New
// files are therefore made with incremental auto-vacuum: the free pages are
// given back a megabyte at a time, each step checkpointed and the log cut to
// nothing, so a reclaim takes little more than the file itself. Files made
// before (no auto-vacuum) still get a full VACUUM, but only when the free
// space shows it fits; that VACUUM turns them incremental for good.
//
// Every routine here runs on a connection the caller holds exclusively (the
// store's lock) and prints nothing.
#pragma once

#include <cstdint>

struct sqlite3;

namespace sensor_handler {

struct StoreSpace {
  std::uint64_t live_bytes = 0;  // pages in use (rows, indexes, schema)
  std::uint64_t free_pages = 0;
  std::uint64_t page_size = 0;
  bool incremental = false;      // auto_vacuum=INCREMENTAL: pages given back in steps
};

// Reads the page counts and the auto-vacuum mode. False when SQLite refused.
bool read_store_space(sqlite3 *db, StoreSpace *space);

// Gives every free page back to the file system, step_bytes at a time, each
// step followed by a checkpoint that truncates the log. keep_going is asked
// between steps (a stop leaves a consistent, partly shrunk file). Returns
// SQLite's result of the first failing step, or SQLITE_OK.
//
// The file only shrinks at a checkpoint, and a checkpoint needs every reader
// of the log gone (an administrator's sqlite3 holds one for seconds on a
// full store). The log is therefore checkpointed before the first step too:
// while a reader still holds what earlier steps released, no step adds to
// the log in RAM. Either checkpoint finding a reader, or a step finding the
// file locked, ends the release with a result for which store_busy() holds;
// the steps already taken stay released.
int release_free_pages(sqlite3 *db, const StoreSpace &space, std::uint64_t step_bytes,
                       bool (*keep_going)());

// True for a result that only says another connection holds the file
// (SQLITE_BUSY, SQLITE_LOCKED and their extended forms): not a failure of
// the store, the same call succeeds once that connection lets go.
bool store_busy(int result);

// Bytes a full VACUUM of a non-incremental store would need beside it, and
// whether the file systems it writes to have them now: the log beside the
// file and SQLite's temporary folder each take a copy of the live pages.
// *needed and *available receive the figures of the tighter file system.
bool full_vacuum_fits(const char *db_path, const StoreSpace &space, std::uint64_t *needed,
                      std::uint64_t *available);

// Checkpoints and truncates the log to nothing: what a failed reclaim left in
// it must not sit in RAM. Best effort.
void truncate_log(sqlite3 *db);

}  // namespace sensor_handler
