// The store's files on a file system other programs share: before SQLite
// opens the database, every file it will open beside it (the database, its
// log, its shared memory, a rollback journal) must be the gateway's own.
//
// /tmp is writable by every user of the router. Whatever another user puts
// at one of these paths before the gateway (a link to a file of root's, a
// database with a trigger that rewrites rows, a directory, a FIFO, a hard
// link to a system file) would otherwise be opened, read or written by root.
// A path that holds anything but a regular file of this process's user,
// with one link, is set aside under the same name with ".not-ours" appended
// (renamed, never followed), with an error line; the store then starts
// afresh. The database, log and shared memory are created empty and
// private (0600) when missing, so nothing can be planted between this check
// and SQLite's open, and an own file another mode left readable is made
// private: rows hold the addresses of people's phones.
//
// Threads: the caller holds the store's lock (the build's open, the
// reclaim's reopen).
#pragma once

namespace sensor_handler {

// True when every file at path is the gateway's own (or was just made so);
// false after its line when one could not be set aside or created.
bool own_store_files(const char *path, int sensor_number);

}  // namespace sensor_handler
