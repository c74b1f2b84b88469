// One server per database: an exclusive flock(2) on FILE.lock beside the database FILE,
// taken when the server opens it and held for the process's life; the kernel drops it when
// the process ends however it ends (kill -9 too), so no stale lock outlives its server.
// The lock file, not the database: SQLite locks the database with fcntl locks, which on
// Linux are apart from flock locks on a local disk, but NFS clients implement flock with
// fcntl locks, where a flock on the database would block SQLite's own locks. The lock file
// holds the pid of its server, for the message of the one refused; it is left in place
// (deleting it could let a third server lock a new file while the second holds the old).
#pragma once

#include <string>

#include "base/error.h"

namespace tracedx {

class DatabaseLock {
 public:
  // Takes the lock of the database `path`. Fails when another process holds it ("the
  // database PATH is in use by another tracedx serve (pid N)"), or another DatabaseLock of
  // this process, or when the lock file cannot be made.
  static Result<DatabaseLock> acquire(const std::string& path);

  DatabaseLock(DatabaseLock&& other) noexcept;
  DatabaseLock& operator=(DatabaseLock&& other) noexcept;
  DatabaseLock(const DatabaseLock&) = delete;
  DatabaseLock& operator=(const DatabaseLock&) = delete;
  // Releases the lock.
  ~DatabaseLock();

  // The lock file: the database's path with ".lock" added.
  static std::string lock_path(const std::string& path);

 private:
  explicit DatabaseLock(int fd) : fd_(fd) {}
  void release();
  int fd_ = -1;
};

}  // namespace tracedx
