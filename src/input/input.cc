#include "input/input.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace tracedx {
namespace {

constexpr size_t kChunk = size_t{1} << 20;

Error too_big(const std::string& name, size_t limit) {
  return Error::message(display_path(name) + ": more than " + std::to_string(limit >> 20) +
                        " MiB in one record of a stream");
}

ssize_t read_retrying(int fd, char* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

ssize_t pread_retrying(int fd, char* buffer, size_t size, uint64_t offset) {
  for (;;) {
    ssize_t n = ::pread(fd, buffer, size, static_cast<off_t>(offset));
    if (n >= 0 || errno != EINTR) return n;
  }
}

// Writes all of `data`; false with errno set on a failure.
bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The length of the valid UTF-8 sequence at `s` (1 to 4), or 0 when it is not one.
size_t utf8_length(std::string_view s) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const auto cont = [&](size_t i) { return i < s.size() && (b(i) & 0xC0) == 0x80; };
  unsigned char c = b(0);
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    if (c == 0xE0 && b(1) < 0xA0) return 0;   // overlong
    if (c == 0xED && b(1) >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (c == 0xF0 && b(1) < 0x90) return 0;   // overlong
    if (c == 0xF4 && b(1) >= 0x90) return 0;  // beyond U+10FFFF
    return 4;
  }
  return 0;
}

// The permissions a file created with 0644 gets under the process's umask.
mode_t created_file_mode() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0644 & ~mask;
}

}  // namespace

Result<Input> Input::open(const std::string& path) {
  Input in;
  in.name_ = path;
  if (path == "-") {
    in.fd_ = 0;
  } else {
    in.fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in.fd_ < 0) return Error::os(errno, path);
    in.owns_fd_ = true;
  }
  struct stat st {};
  if (::fstat(in.fd_, &st) == 0 && S_ISREG(st.st_mode)) {
    in.regular_ = in.seekable_ = true;
    if (path == "-") {
      // Standard input redirected from a file: read from where it stands.
      off_t at = ::lseek(0, 0, SEEK_CUR);
      in.base_ = at > 0 ? static_cast<uint64_t>(at) : 0;
    }
  }
  return in;
}

Input Input::of_bytes(std::string_view bytes, std::string name) {
  Input in;
  in.bytes_ = bytes;
  in.in_memory_ = in.seekable_ = true;
  in.name_ = std::move(name);
  return in;
}

Input::Input(Input&& other) noexcept {
  *this = std::move(other);
}

Input& Input::operator=(Input&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    owns_fd_ = std::exchange(other.owns_fd_, false);
    seekable_ = other.seekable_;
    regular_ = other.regular_;
    bytes_ = other.bytes_;
    in_memory_ = other.in_memory_;
    stream_at_ = other.stream_at_;
    base_ = other.base_;
    held_ = std::move(other.held_);
    held_done_ = other.held_done_;
    name_ = std::move(other.name_);
  }
  return *this;
}

Input::~Input() {
  close();
}

void Input::close() {
  if (owns_fd_ && fd_ >= 0) ::close(fd_);
  fd_ = -1;
  owns_fd_ = false;
}

Result<size_t> Input::read_at(uint64_t offset, char* buffer, size_t size) {
  if (in_memory_) {
    if (offset >= bytes_.size()) return size_t{0};
    size_t n = std::min<uint64_t>(size, bytes_.size() - offset);
    std::memcpy(buffer, bytes_.data() + offset, n);
    return n;
  }
  if (seekable_) {
    ssize_t n = pread_retrying(fd_, buffer, size, base_ + offset);
    if (n < 0) return Error::os(errno, name_);
    return static_cast<size_t>(n);
  }
  if (offset != stream_at_)
    return Error::message(display_path(name_) + ": a stream cannot be read twice");
  if (stream_at_ < held_.size()) {  // the head read ahead by head()
    size_t n = std::min<uint64_t>(size, held_.size() - stream_at_);
    std::memcpy(buffer, held_.data() + stream_at_, n);
    stream_at_ += n;
    return n;
  }
  ssize_t n = read_retrying(fd_, buffer, size);
  if (n < 0) return Error::os(errno, name_);
  stream_at_ += static_cast<uint64_t>(n);
  return static_cast<size_t>(n);
}

Result<std::string_view> Input::head(size_t size) {
  if (in_memory_) return bytes_.substr(0, std::min(size, bytes_.size()));
  if (!seekable_ && stream_at_ != 0)
    return Error::message(display_path(name_) + ": a stream cannot be read twice");
  if (held_.size() >= size || held_done_) return std::string_view(held_).substr(0, size);
  // A stream's head is read once and kept, and served again to the reads that follow.
  size_t got = held_.size();
  held_.resize(size);
  while (got < size) {
    ssize_t n = seekable_ ? pread_retrying(fd_, held_.data() + got, size - got, base_ + got)
                          : read_retrying(fd_, held_.data() + got, size - got);
    if (n < 0) {
      held_.resize(got);
      return Error::os(errno, name_);
    }
    if (n == 0) {
      held_done_ = true;
      break;
    }
    got += static_cast<size_t>(n);
  }
  held_.resize(got);
  return std::string_view(held_);
}

Status Input::spool() {
  if (seekable_) return Ok{};
  if (stream_at_ != 0)
    return Error::message(display_path(name_) + ": a stream cannot be read twice");
  const char* dir = std::getenv("TMPDIR");
  std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/tracedx-spool-XXXXXX";
  int tmp = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (tmp < 0) return Error::os(errno, pattern);
  ::unlink(pattern.c_str());
  std::string chunk(kChunk, '\0');
  // A stream of one endless line (a device) is cut at the line bound, not spooled forever.
  size_t line = 0;
  for (;;) {
    auto n = read_at(stream_at_, chunk.data(), chunk.size());
    if (!n) {
      ::close(tmp);
      return std::move(n).error();
    }
    if (*n == 0) break;
    std::string_view got(chunk.data(), *n);
    size_t lf = got.rfind('\n');
    line = lf == std::string_view::npos ? line + got.size() : got.size() - lf - 1;
    if (line > kMaxRecordBytes) {
      ::close(tmp);
      return line_too_long(display_path(name_));
    }
    if (!write_all(tmp, got.data(), got.size())) {
      int code = errno;
      ::close(tmp);
      return Error::os(code, pattern);
    }
  }
  close();
  fd_ = tmp;
  owns_fd_ = true;
  seekable_ = regular_ = true;
  base_ = 0;
  return Ok{};
}

Result<std::string> Input::read_all(size_t limit) {
  if (in_memory_) return std::string(bytes_);
  std::string bytes;
  if (regular_) {
    struct stat st {};
    // Room for the read that finds the end of the file as well, so that the buffer is
    // never grown (copied) once the file is in it; the slack left over is what lets the
    // fixture loader parse the bytes where they are.
    if (::fstat(fd_, &st) == 0 && static_cast<uint64_t>(st.st_size) > base_)
      bytes.reserve(static_cast<size_t>(st.st_size - base_) + kChunk / 16);
  }
  for (;;) {
    // Read straight into the reserved room when there is enough, else grow by a chunk.
    size_t room = bytes.capacity() - bytes.size();
    if (room < kChunk / 16) room = kChunk;
    size_t old = bytes.size();
    bytes.resize(old + room);
    auto n = read_at(regular_ ? old : stream_at_, bytes.data() + old, room);
    bytes.resize(old + (n ? *n : 0));
    if (!n) return std::move(n).error();
    if (*n == 0) break;
    if (!regular_ && bytes.size() > limit) return too_big(name_, limit);
  }
  return bytes;
}

Result<std::string> read_input(const std::string& path) {
  auto in = Input::open(path);
  if (!in) return std::move(in).error();
  return in->read_all();
}

LineReader::LineReader(Input& input, uint64_t offset, uint64_t first_number, size_t max_line)
    : input_(input), max_line_(max_line), buffer_offset_(offset), number_(first_number) {}

Status LineReader::fill() {
  if (begin_ > 0) {
    buffer_.erase(0, begin_);
    buffer_offset_ += begin_;
    begin_ = 0;
    // Give back the room a long line took once it is done.
    if (buffer_.capacity() > 16 * kChunk && buffer_.size() < buffer_.capacity() / 4)
      buffer_.shrink_to_fit();
  }
  size_t old = buffer_.size();
  buffer_.resize(old + kChunk);
  auto n = input_.read_at(buffer_offset_ + old, buffer_.data() + old, kChunk);
  buffer_.resize(old + (n ? *n : 0));
  if (!n) return std::move(n).error();
  if (*n == 0) eof_ = true;
  return Ok{};
}

Result<bool> LineReader::next(Line& line) {
  for (;;) {
    const size_t avail = buffer_.size() - begin_;
    const char* from = buffer_.data() + begin_ + scanned_;
    const void* lf = avail > scanned_ ? std::memchr(from, '\n', avail - scanned_) : nullptr;
    if (skipping_) {
      // The rest of a line over the bound: only its end is looked for.
      if (lf) {
        begin_ = static_cast<size_t>(static_cast<const char*>(lf) - buffer_.data()) + 1;
        scanned_ = 0;
        skipping_ = false;
        continue;
      }
      buffer_offset_ += buffer_.size();
      buffer_.clear();
      begin_ = scanned_ = 0;
    } else if (lf || (eof_ && avail > 0)) {
      const size_t end =
          lf ? static_cast<size_t>(static_cast<const char*>(lf) - buffer_.data()) : buffer_.size();
      // A line over the bound is one, whether or not its end came in the same read.
      line.too_long = end - begin_ > max_line_;
      line.text = line.too_long ? std::string_view()
                                : std::string_view(buffer_.data() + begin_, end - begin_);
      line.number = number_++;
      line.offset = buffer_offset_ + begin_;
      begin_ = lf ? end + 1 : end;
      scanned_ = 0;
      return true;
    } else if (avail > max_line_) {
      // Reported at once, so a caller can stop reading a stream that never ends the line.
      line.text = {};
      line.number = number_++;
      line.offset = buffer_offset_ + begin_;
      line.too_long = true;
      skipping_ = true;
      scanned_ = avail;
      return true;
    } else {
      scanned_ = avail;
    }
    if (eof_) return false;
    if (auto ok = fill(); !ok) return std::move(ok).error();
  }
}

bool is_blank_line(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

Result<std::vector<LineRange>> first_records(Input& input, size_t count) {
  std::vector<LineRange> found;
  if (count == 0) return found;
  std::string chunk(kChunk, '\0');
  uint64_t at = 0, line_begin = 0;
  bool blank = true;  // the line so far holds only spaces, tabs and carriage returns
  for (;;) {
    auto n = input.read_at(at, chunk.data(), chunk.size());
    if (!n) return std::move(n).error();
    if (*n == 0) break;
    const char* p = chunk.data();
    const char* end = p + *n;
    while (p < end) {
      // A blank line is read byte by byte until it shows otherwise; from there on only its
      // line feed matters.
      while (blank && p < end && *p != '\n') {
        if (*p != ' ' && *p != '\t' && *p != '\r') blank = false;
        ++p;
      }
      if (!blank && p < end) {
        auto* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        p = lf ? lf : end;
      }
      if (p == end) break;
      const uint64_t lf_at = at + static_cast<uint64_t>(p - chunk.data());
      if (!blank) {
        found.push_back({line_begin, lf_at});
        if (found.size() == count) return found;
      }
      line_begin = lf_at + 1;
      blank = true;
      ++p;
    }
    at += *n;
  }
  if (!blank) found.push_back({line_begin, at});
  return found;
}

Result<std::string> read_range(Input& input, LineRange range) {
  std::string bytes(range.size(), '\0');
  size_t got = 0;
  while (got < bytes.size()) {
    auto n = input.read_at(range.begin + got, bytes.data() + got, bytes.size() - got);
    if (!n) return std::move(n).error();
    if (*n == 0) break;
    got += *n;
  }
  bytes.resize(got);
  return bytes;
}

Status for_each_line_in_range(Input& input, uint64_t start, uint64_t end, uint64_t newlines_before,
                              const std::function<void(const Line&)>& visit) {
  // Reading from start-1 tells whether a line begins at `start`: it does when the byte
  // before it is a line feed. Otherwise the range before owns that line.
  LineReader reader(input, start > 0 ? start - 1 : 0);
  Line line;
  uint64_t number = 1;
  if (start > 0) {
    auto got = reader.next(line);
    if (!got) return std::move(got).error();
    if (!*got) return Ok{};
    const bool lf_before = !line.too_long && line.offset == start - 1 && line.text.empty();
    number = newlines_before + (lf_before ? 1 : 2);
  }
  for (;; ++number) {
    auto got = reader.next(line);
    if (!got) return std::move(got).error();
    if (!*got || line.offset >= end) return Ok{};
    line.number = number;
    visit(line);
  }
}

Result<uint64_t> count_newlines(Input& input, uint64_t start, uint64_t end) {
  uint64_t count = 0;
  std::string buffer(kChunk, '\0');
  for (uint64_t at = start; at < end;) {
    auto n = input.read_at(at, buffer.data(), std::min<uint64_t>(buffer.size(), end - at));
    if (!n) return std::move(n).error();
    if (*n == 0) break;
    count += static_cast<uint64_t>(std::count(buffer.data(), buffer.data() + *n, '\n'));
    at += *n;
  }
  return count;
}

std::string display_path(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (size_t i = 0; i < path.size();) {
    if (path[i] == '\\') {
      out += "\\\\";
      ++i;
      continue;
    }
    size_t n = utf8_length(path.substr(i));
    if (n == 0) {
      static constexpr char kHex[] = "0123456789abcdef";
      unsigned char c = static_cast<unsigned char>(path[i]);
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
      ++i;
      continue;
    }
    out.append(path.substr(i, n));
    i += n;
  }
  return out;
}

PathKind path_kind(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return PathKind::kMissing;
  if (S_ISDIR(st.st_mode)) return PathKind::kDirectory;
  if (S_ISREG(st.st_mode)) return PathKind::kRegular;
  return PathKind::kStream;
}

std::vector<DirectoryEntry> list_directory(const std::string& directory,
                                           const std::function<bool(std::string_view)>& wanted) {
  namespace fs = std::filesystem;
  std::vector<std::pair<fs::path, std::optional<Error>>> found;
  std::vector<fs::path> pending{fs::path(directory)};
  while (!pending.empty()) {
    fs::path dir = std::move(pending.back());
    pending.pop_back();
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
      found.emplace_back(dir, Error::os(errno, dir.string()));
      continue;
    }
    while (const dirent* e = ::readdir(d)) {
      std::string_view name = e->d_name;
      if (name == "." || name == "..") continue;
      fs::path path = dir / e->d_name;
      struct stat st {};
      if (::lstat(path.c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) {
        pending.push_back(std::move(path));  // links to directories are not followed
        continue;
      }
      // Only regular files: a FIFO would block the walk and a device never ends.
      if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) != 0) continue;
      if (S_ISREG(st.st_mode) && wanted(path.native()))
        found.emplace_back(std::move(path), std::nullopt);
    }
    ::closedir(d);
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<DirectoryEntry> out;
  out.reserve(found.size());
  for (auto& [path, error] : found) out.push_back({path.string(), std::move(error)});
  return out;
}

Error line_too_long(std::string_view where) {
  return Error::message(std::string(where) + ": a line longer than " +
                        std::to_string(kMaxRecordBytes >> 20) + " MiB");
}

Result<std::string> read_file(const std::filesystem::path& path, size_t slack) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error::os(errno, path.string());
  std::string bytes;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    // The slack lets a parser that reads past the end parse the bytes where they are.
    bytes.reserve(static_cast<size_t>(st.st_size) + slack);
  }
  char buf[1 << 16];
  for (;;) {
    // Read straight into the reserved buffer when there is room, else through buf.
    size_t room = bytes.capacity() - bytes.size();
    ssize_t n;
    if (room >= sizeof buf) {
      size_t old = bytes.size();
      bytes.resize(bytes.capacity());
      n = ::read(fd, bytes.data() + old, room);
      bytes.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
    } else {
      n = ::read(fd, buf, sizeof buf);
      if (n > 0) bytes.append(buf, static_cast<size_t>(n));
    }
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      int code = errno;
      ::close(fd);
      return Error::os(code, path.string());
    }
  }
  ::close(fd);
  return bytes;
}

Status write_whole_file(const std::filesystem::path& path, std::string_view bytes) {
  // A temporary file next to the target, synced and renamed over it: readers and a crash
  // at any moment see the old file or the new one, never a cut one. The rename replaces
  // a symbolic link at `path` itself, so its target is never written.
  const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : ".";
  std::string temp = (dir / ("." + path.filename().string() + ".tmp-XXXXXX")).string();
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return Error::os(errno).naming(path.string());
  int code = ::fchmod(fd, created_file_mode()) != 0 ? errno : 0;
  if (code == 0 && !write_all(fd, bytes.data(), bytes.size())) code = errno ? errno : EIO;
  if (code == 0 && ::fsync(fd) != 0) code = errno;
  if (::close(fd) != 0 && code == 0) code = errno;
  if (code == 0 && ::rename(temp.c_str(), path.c_str()) != 0) code = errno;
  if (code != 0) {
    ::unlink(temp.c_str());
    return Error::os(code).naming(path.string());
  }
  // The new directory entry survives a crash once the directory is synced too.
  if (int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return Ok{};
}

}  // namespace tracedx
