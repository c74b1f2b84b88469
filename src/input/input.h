// The input edge of every entry point: the tracedx commands, batch, the Python module and
// its Dask workers read files, standard input, pipes, FIFOs and devices through this layer.
// Inputs are read in chunks, in one pass when they cannot seek (a reader that needs a second
// pass spools a stream into an unlinked temporary file first), and no more than one bounded
// record (a document or a line) is held at a time. Nothing here recurses on the input.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace tracedx {

// The longest document read whole from a stream, and the longest line read from any input.
inline constexpr size_t kMaxRecordBytes = size_t{1} << 30;

// An open input: a file, standard input, a pipe, a FIFO, a device, or bytes in memory.
class Input {
 public:
  // Opens `path` ("-" is standard input, left open at the end). A directory opens and fails
  // on its first read ("Is a directory"), as reading it would.
  static Result<Input> open(const std::string& path);
  // Bytes owned by the caller (who keeps them alive), read as a file named `name`.
  static Input of_bytes(std::string_view bytes, std::string name);

  Input(Input&& other) noexcept;
  Input& operator=(Input&& other) noexcept;
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  ~Input();

  const std::string& name() const { return name_; }
  // A regular file or bytes in memory: any offset can be read, any number of times.
  bool seekable() const { return seekable_; }

  // Up to `size` bytes at `offset`; 0 at the end. A stream reads only forwards: `offset`
  // must be where the previous read ended.
  Result<size_t> read_at(uint64_t offset, char* buffer, size_t size);

  // The first `size` bytes (fewer at the end), without consuming them: a stream keeps what
  // it read ahead and gives it again to the reads that follow, so its format can be told
  // before it is read once. A stream's head must be taken before any other read.
  Result<std::string_view> head(size_t size);
  // Makes a stream seekable by copying it (in one pass) into an unlinked temporary file in
  // $TMPDIR (or /tmp); does nothing for a seekable input.
  Status spool();

  // The whole input. A stream (or a file that is not regular) longer than `limit` fails
  // with a message naming it; a regular file is read whatever its size.
  Result<std::string> read_all(size_t limit = kMaxRecordBytes);

 private:
  Input() = default;
  void close();

  int fd_ = -1;
  bool owns_fd_ = false;
  bool seekable_ = false;
  bool regular_ = false;
  std::string_view bytes_;  // of_bytes
  bool in_memory_ = false;
  uint64_t stream_at_ = 0;  // bytes read so far from a stream
  uint64_t base_ = 0;       // offset 0 of a seekable input in its file
  std::string held_;        // the head read ahead (streams: served again by read_at)
  bool held_done_ = false;  // the head holds the whole input
  std::string name_;
};

// Reads `path` whole ("-" is standard input): the bytes a command reads for one argument.
Result<std::string> read_input(const std::string& path);

// Reads a whole file in one go, with room for `slack` more bytes after it, so a parser that
// reads past the end (simdjson) can parse the bytes where they are. Fails with the
// operating-system error.
Result<std::string> read_file(const std::filesystem::path& path, size_t slack = 64);

// Writes a whole file, creating or replacing it atomically: a temporary file in the same
// directory, synced, then renamed over `path` (a symbolic link there is replaced, not
// followed). On failure the old file stays, the temporary one is removed, and the error
// names `path`.
Status write_whole_file(const std::filesystem::path& path, std::string_view bytes);

// One line of an input, without its line feed (a carriage return before it is kept).
struct Line {
  std::string_view text;
  uint64_t number = 0;    // 1-based
  uint64_t offset = 0;    // of its first byte
  bool too_long = false;  // longer than the reader's bound: `text` is empty, and the next
                          // line read is the one after it
};

// The lines of an input in order, read in chunks: memory holds one line and a chunk. The
// last line needs no line feed.
class LineReader {
 public:
  // Starts at byte `offset`, numbering the first line `first_number`.
  explicit LineReader(Input& input, uint64_t offset = 0, uint64_t first_number = 1,
                      size_t max_line = kMaxRecordBytes);

  // The next line into `line` (valid until the next call); false at the end.
  Result<bool> next(Line& line);

 private:
  Status fill();

  Input& input_;
  size_t max_line_;
  std::string buffer_;
  size_t begin_ = 0;    // start of the next line in buffer_
  size_t scanned_ = 0;  // bytes from begin_ known to hold no line feed
  uint64_t buffer_offset_ = 0;
  uint64_t number_ = 1;
  bool eof_ = false;
  bool skipping_ = false;  // inside a line over the bound
};

// A line of JSON Lines that holds no record (spaces, tabs and carriage returns only).
bool is_blank_line(std::string_view line);

// The byte range [begin, end) of a line, without its line feed.
struct LineRange {
  uint64_t begin = 0, end = 0;
  uint64_t size() const { return end - begin; }
};

// The first `count` lines of a seekable input that are not blank (fewer when it has fewer),
// found by reading it in chunks: no line is held, so a one-line input of any size costs a
// scan for line feeds and nothing more.
Result<std::vector<LineRange>> first_records(Input& input, size_t count);

// The bytes of `range` of a seekable input.
Result<std::string> read_range(Input& input, LineRange range);

// The lines of a file that start in the byte range [start, end), as a partition of a
// JSON Lines file sees them: a line that starts before `start` belongs to the range before,
// a line that starts before `end` is read to its end. `newlines_before` is the number of
// line feeds in [0, start), so lines are numbered across the file.
Status for_each_line_in_range(Input& input, uint64_t start, uint64_t end, uint64_t newlines_before,
                              const std::function<void(const Line&)>& visit);

// The number of line feeds in the byte range [start, end).
Result<uint64_t> count_newlines(Input& input, uint64_t start, uint64_t end);

// A path as it is shown in ids and messages: valid UTF-8 as it is, every byte that is not
// part of valid UTF-8 as \xNN and a backslash as \\, so distinct names stay distinct.
std::string display_path(std::string_view path);

// The error of a line (record) longer than kMaxRecordBytes, at `where` ("name" or
// "name:line").
Error line_too_long(std::string_view where);

// What a path names for reading.
enum class PathKind { kMissing, kDirectory, kRegular, kStream };
PathKind path_kind(const std::string& path);

// The files below a directory, in sorted path order: only regular files (symbolic links
// to them included) that `wanted` accepts; a sub-directory that cannot be listed becomes
// an entry with its error, in its place in the order, and the walk goes on.
struct DirectoryEntry {
  std::string path;
  std::optional<Error> error;
};
std::vector<DirectoryEntry> list_directory(const std::string& directory,
                                           const std::function<bool(std::string_view)>& wanted);

}  // namespace tracedx
