#include "serve/db_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <utility>

namespace tracedx {
namespace {

// The pid written in a lock file; 0 when it holds none (its server is writing it).
long holder_pid(int fd) {
  char buf[32];
  ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return 0;
  long pid = 0;
  auto r = std::from_chars(buf, buf + n, pid);
  return r.ec == std::errc() && pid > 0 ? pid : 0;
}

}  // namespace

std::string DatabaseLock::lock_path(const std::string& path) {
  return path + ".lock";
}

Result<DatabaseLock> DatabaseLock::acquire(const std::string& path) {
  const std::string file = lock_path(path);
  int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return Error::os(errno, file);
  int rc;
  do {
    rc = flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int error = errno;
    std::string message = "the database " + path + " is in use by another tracedx serve";
    if (long pid = holder_pid(fd)) message += " (pid " + std::to_string(pid) + ")";
    close(fd);
    if (error != EWOULDBLOCK) return Error::os(error, file);
    return Error::message(std::move(message));
  }
  DatabaseLock lock(fd);
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0)
    return Error::os(errno, file);
  return lock;
}

DatabaseLock::DatabaseLock(DatabaseLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

DatabaseLock& DatabaseLock::operator=(DatabaseLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

DatabaseLock::~DatabaseLock() {
  release();
}

void DatabaseLock::release() {
  if (fd_ < 0) return;
  // Still held here: the pid is cleared before another server can take the lock. Left
  // when that fails, it is overwritten by the next one.
  if (ftruncate(fd_, 0) != 0) {
  }
  close(fd_);
  fd_ = -1;
}

}  // namespace tracedx
