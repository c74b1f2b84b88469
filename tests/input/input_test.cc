#include "input/input.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <thread>

#include "test_support.h"

namespace tracedx {
namespace {

namespace fs = std::filesystem;
using test_support::make_temp_dir;
using test_support::write_text;

struct Read {
  std::vector<std::string> lines;
  std::vector<uint64_t> numbers, offsets;
  std::vector<bool> too_long;
};

Read read_lines(Input& in, size_t max_line = kMaxRecordBytes) {
  Read r;
  LineReader reader(in, 0, 1, max_line);
  Line line;
  for (;;) {
    auto got = reader.next(line);
    EXPECT_TRUE(got) << (got ? "" : got.error().display());
    if (!got || !*got) return r;
    r.lines.emplace_back(line.text);
    r.numbers.push_back(line.number);
    r.offsets.push_back(line.offset);
    r.too_long.push_back(line.too_long);
  }
}

TEST(LineReader, SplitsLikeGetline) {
  struct Row {
    std::string text;
    std::vector<std::string> lines;
  } rows[] = {
      {"", {}},           {"a", {"a"}},
      {"a\n", {"a"}},     {"a\r\nb", {"a\r", "b"}},
      {"\n\n", {"", ""}}, {"x\n\ny\n", {"x", "", "y"}},
  };
  for (const auto& row : rows) {
    Input in = Input::of_bytes(row.text, "m");
    EXPECT_EQ(read_lines(in).lines, row.lines) << row.text;
  }
  // Lines longer than a read chunk, offsets and numbers across chunks.
  std::string big(3 << 20, 'x');
  std::string text = "a\n" + big + "\nbc";
  Input in = Input::of_bytes(text, "m");
  Read r = read_lines(in);
  ASSERT_EQ(r.lines.size(), 3u);
  EXPECT_EQ(r.lines[1].size(), big.size());
  EXPECT_EQ(r.offsets, (std::vector<uint64_t>{0, 2, 3 + big.size()}));
  EXPECT_EQ(r.numbers, (std::vector<uint64_t>{1, 2, 3}));
}

TEST(LineReader, LinesOverTheBoundAreSkipped) {
  std::string text =
      "short\n" + std::string(5 << 20, 'y') + "\nafter\n" + std::string(3 << 20, 'z');
  Input in = Input::of_bytes(text, "m");
  Read r = read_lines(in, 1 << 20);
  EXPECT_EQ(r.lines, (std::vector<std::string>{"short", "", "after", ""}));
  EXPECT_EQ(r.too_long, (std::vector<bool>{false, true, false, true}));
  EXPECT_EQ(r.numbers, (std::vector<uint64_t>{1, 2, 3, 4}));
  EXPECT_EQ(r.offsets[1], 6u);
  // Also when the whole line comes in one read.
  Input small = Input::of_bytes("abcdef\nab\n", "m");
  r = read_lines(small, 3);
  EXPECT_EQ(r.too_long, (std::vector<bool>{true, false}));
  EXPECT_EQ(r.lines, (std::vector<std::string>{"", "ab"}));
}

// The non-blank lines the reader would give, found without holding them: blank means
// spaces, tabs and carriage returns only, across chunk boundaries too.
TEST(FirstRecords, AreTheNonBlankLinesTheReaderGives) {
  const std::string big(3 << 20, 'x');
  const std::string blanks(3 << 20, ' ');
  const std::string texts[] = {
      "",
      "\n\n",
      " \t\r\n",
      "a",
      "a\n",
      " \n a \n\r\n b",
      "\n\n{\n}\n",
      "x\r\n\ny",
      big + "\n" + big,
      blanks + "\n" + big + "\n" + blanks + "z",
  };
  for (const auto& text : texts) {
    for (size_t count : {1u, 2u, 3u}) {
      Input lines = Input::of_bytes(text, "m");
      std::vector<std::string> expected;
      for (auto& l : read_lines(lines).lines)
        if (!is_blank_line(l) && expected.size() < count) expected.push_back(l);
      Input in = Input::of_bytes(text, "m");
      auto got = first_records(in, count);
      ASSERT_TRUE(got);
      std::vector<std::string> read;
      for (auto range : *got) read.push_back(*read_range(in, range));
      EXPECT_EQ(read, expected) << text.substr(0, 20) << " count " << count;
    }
  }
}

// Every range split of a text gives each line once, numbered across the file, as the
// Dask partitions read it.
TEST(LineRanges, EverySplitReadsEachLineOnce) {
  const std::string text = "ab\n\ncd\r\nefg\nh";
  std::vector<std::pair<uint64_t, std::string>> expected = {
      {1, "ab"}, {2, ""}, {3, "cd\r"}, {4, "efg"}, {5, "h"}};
  for (uint64_t block = 1; block <= text.size() + 1; ++block) {
    std::vector<std::pair<uint64_t, std::string>> got;
    for (uint64_t start = 0; start < text.size(); start += block) {
      uint64_t end = std::min<uint64_t>(start + block, text.size());
      Input in = Input::of_bytes(text, "m");
      auto before = count_newlines(in, 0, start);
      ASSERT_TRUE(before);
      auto ok = for_each_line_in_range(in, start, end, *before, [&](const Line& l) {
        got.emplace_back(l.number, std::string(l.text));
      });
      ASSERT_TRUE(ok);
    }
    EXPECT_EQ(got, expected) << "block " << block;
  }
}

TEST(DisplayPath, EscapesWhatIsNotUtf8) {
  struct Row {
    std::string path, shown;
  } rows[] = {
      {"plain/a.json", "plain/a.json"},
      {"caf\xc3\xa9.json", "caf\xc3\xa9.json"},
      {"a\xff.json", "a\\xff.json"},
      {"a\\xff.json", "a\\\\xff.json"},  // a backslash is escaped, so the two stay apart
      {"\xc3(", "\\xc3("},
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},  // an encoded surrogate
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"\xc0\xaf", "\\xc0\\xaf"},  // overlong
  };
  for (const auto& row : rows) EXPECT_EQ(display_path(row.path), row.shown) << row.path;
}

// Writes `bytes` into the FIFO at `path` from a thread (the open blocks until a reader
// comes); stops at the first failed write, as when the reader has gone.
std::thread fifo_writer(const fs::path& path, std::string bytes) {
  return std::thread([path, bytes = std::move(bytes)] {
    int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0) return;
    for (size_t at = 0; at < bytes.size();) {
      ssize_t n = ::write(fd, bytes.data() + at, std::min<size_t>(bytes.size() - at, 4096));
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    ::close(fd);
  });
}

TEST(Input, FifoIsReadOnceAsAStream) {
  std::signal(SIGPIPE, SIG_IGN);
  fs::path dir = make_temp_dir("input-fifo");
  fs::path fifo = dir / "f";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(path_kind(fifo), PathKind::kStream);
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + "\n";
  {
    auto writer = fifo_writer(fifo, text);
    auto in = Input::open(fifo);
    ASSERT_TRUE(in);
    EXPECT_FALSE(in->seekable());
    Read r = read_lines(*in);
    writer.join();
    ASSERT_EQ(r.lines.size(), 20000u);
    EXPECT_EQ(r.lines.back(), "line 19999");
    char c;
    EXPECT_FALSE(in->read_at(0, &c, 1));  // no second pass over a stream
  }
  {
    // Spooled, the stream can be read again.
    auto writer = fifo_writer(fifo, text);
    auto in = Input::open(fifo);
    ASSERT_TRUE(in);
    ASSERT_TRUE(in->spool());
    writer.join();
    EXPECT_TRUE(in->seekable());
    EXPECT_EQ(*in->read_all(), text);
    EXPECT_EQ(*in->read_all(), text);
  }
  {
    // A stream's head is looked at without being consumed: the reads after it start at
    // byte 0, read once, and spooling keeps it too.
    for (bool spool : {false, true}) {
      auto writer = fifo_writer(fifo, text);
      auto in = Input::open(fifo);
      ASSERT_TRUE(in);
      auto head = in->head(100);
      ASSERT_TRUE(head);
      EXPECT_EQ(*head, text.substr(0, 100));
      EXPECT_EQ(*in->head(10), text.substr(0, 10));
      if (spool) {
        ASSERT_TRUE(in->spool());
      }
      Read r = read_lines(*in);
      writer.join();
      ASSERT_EQ(r.lines.size(), 20000u) << spool;
      EXPECT_EQ(r.lines.front(), "line 0");
      EXPECT_EQ(r.lines.back(), "line 19999");
    }
  }
  {
    // A stream longer than the bound fails, naming it, instead of growing without end.
    auto writer = fifo_writer(fifo, std::string(3 << 20, 'x'));
    auto in = Input::open(fifo);
    ASSERT_TRUE(in);
    auto all = in->read_all(size_t{2} << 20);
    ASSERT_FALSE(all);
    EXPECT_EQ(all.error().text(), fifo.string() + ": more than 2 MiB in one record of a stream");
    in = std::move(*Input::open("/dev/null"));  // closes the FIFO, so the writer stops
    writer.join();
  }
  auto zero = Input::open("/dev/zero");
  ASSERT_TRUE(zero);
  EXPECT_FALSE(zero->read_all(size_t{4} << 20));
  // A line that never ends is reported once over the bound, not read for ever.
  zero = Input::open("/dev/zero");
  ASSERT_TRUE(zero);
  LineReader endless(*zero, 0, 1, size_t{4} << 20);
  Line line;
  auto got = endless.next(line);
  ASSERT_TRUE(got && *got);
  EXPECT_TRUE(line.too_long);
  fs::remove_all(dir);
}

TEST(Input, ReadsLikeTheLoader) {
  fs::path dir = make_temp_dir("input-read");
  write_text(dir / "a.json", "{}\n");
  EXPECT_EQ(*read_input(dir / "a.json"), "{}\n");
  EXPECT_EQ(read_input(dir / "missing").error().display(),
            (dir / "missing").string() + ": No such file or directory (os error 2)");
  EXPECT_EQ(read_input(dir).error().display(), dir.string() + ": Is a directory (os error 21)");
  fs::remove_all(dir);
}

TEST(ListDirectory, RegularFilesOnlyInPathOrder) {
  fs::path dir = make_temp_dir("input-list");
  write_text(dir / "b.json", "{}");
  write_text(dir / "a/z.json", "{}");
  write_text(dir / "a-c.json", "{}");
  write_text(dir / "notes.txt", "x");
  ASSERT_EQ(::mkfifo((dir / "fifo.json").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", dir / "zero.json");
  fs::create_symlink(dir / "b.json", dir / "link.json");
  fs::create_directory_symlink(dir / "a", dir / "loop");
  auto json = [](std::string_view p) { return fs::path(p).extension() == ".json"; };
  std::vector<std::string> got;
  for (const auto& e : list_directory(dir.string(), json)) {
    EXPECT_FALSE(e.error);
    got.push_back(fs::path(e.path).lexically_relative(dir).string());
  }
  EXPECT_EQ(got, (std::vector<std::string>{"a/z.json", "a-c.json", "b.json", "link.json"}));
  auto missing = list_directory((dir / "none").string(), json);
  ASSERT_EQ(missing.size(), 1u);
  EXPECT_EQ(missing[0].error->display(),
            (dir / "none").string() + ": No such file or directory (os error 2)");
  fs::remove_all(dir);
}

// A sub-directory that cannot be listed is an entry with its error, and the walk goes on.
// Root reads any directory whatever its mode, so this runs the listing in a child that
// gives up root first (or skips when it cannot).
TEST(ListDirectory, UnreadableSubdirectoryIsAnEntry) {
  fs::path dir = make_temp_dir("input-unreadable");
  write_text(dir / "a.json", "{}");
  write_text(dir / "m/x.json", "{}");
  write_text(dir / "z/y.json", "{}");
  fs::permissions(dir, fs::perms::all);
  for (const char* sub : {"m", "z"}) fs::permissions(dir / sub, fs::perms::all);
  fs::permissions(dir / "m", fs::perms::none);
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(77);
    std::string out;
    for (const auto& e : list_directory(dir.string(), [](std::string_view) { return true; }))
      out += fs::path(e.path).lexically_relative(dir).string() + "|" +
             (e.error ? e.error->display() : "") + "\n";
    (void)!::write(pipe_fds[1], out.data(), out.size());
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;) out.append(buf, n);
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  fs::permissions(dir / "m", fs::perms::all);
  fs::remove_all(dir);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot give up root";
  EXPECT_EQ(
      out, "a.json|\nm|" + (dir / "m").string() + ": Permission denied (os error 13)\nz/y.json|\n");
}

}  // namespace
}  // namespace tracedx
