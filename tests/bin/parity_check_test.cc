// Runs the built parity_check in temporary workspaces and checks its output files whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "test_support.h"

namespace tracedx {
namespace {

using test_support::read_text;
using test_support::run_command;
using test_support::write_text;

namespace fs = std::filesystem;

const char* kOkFixture = R"({"run":{"status":"completed"},"steps":[{"step_type":"plan"}]})";

class Workspace : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = test_support::make_temp_dir("parity");
    fs::create_directories(root_ / "build");
    fs::create_directories(scenarios());
    write_text(root_ / "src/Test/fixtures/ok.json", kOkFixture);
  }
  void TearDown() override {
    ::chmod(root_.c_str(), 0755);
    fs::remove_all(root_);
  }
  fs::path scenarios() const { return root_ / "src/Test/expectations"; }
  void scenario(const std::string& file, const std::string& name) {
    write_text(
        scenarios() / file,
        R"({"name":")" + name +
            R"(","fixture":"ok.json","checks":{"contains_any":{"primary.root_cause.label":["healthy"]}}})");
  }
  test_support::CommandResult run(const fs::path& cwd = {}) {
    return run_command({PARITY_CHECK_BIN}, cwd.empty() ? root_ / "build" : cwd);
  }
  std::vector<std::string> json_names() {
    std::vector<std::string> names;
    for (const auto& r : Json::parse(read_text(root_ / "parity_checklist.json")))
      names.push_back(r["name"]);
    return names;
  }

  // Temporary files a write left behind in the workspace root.
  std::vector<std::string> temp_files() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(root_)) {
      if (e.path().filename().string().find(".tmp-") != std::string::npos)
        names.push_back(e.path().filename().string());
    }
    return names;
  }

  fs::path root_;
};

TEST_F(Workspace, WritesBothChecklists) {
  scenario("one.expected.json", "one");
  auto r = run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Wrote " + (root_ / "parity_checklist.md").string() + "\nWrote " +
                       (root_ / "parity_checklist.json").string() + "\n");
  EXPECT_EQ(r.err, "");
  EXPECT_NE(read_text(root_ / "parity_checklist.md")
                .find("| one | single | unknown | Healthy run |  | match |  |\n"),
            std::string::npos);
}

TEST_F(Workspace, EmptyScenarioDirectory) {
  auto r = run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_text(root_ / "parity_checklist.json"), "[]");
  EXPECT_NE(
      read_text(root_ / "parity_checklist.md").find("Summary: 0 match, 0 need tuning, 0 mismatch."),
      std::string::npos);
}

TEST_F(Workspace, FileNameFilterAndSorting) {
  scenario("a.expected.JSON", "x1");
  scenario("a.expected.json.bak", "x2");
  scenario("a.json", "x3");
  scenario(".expected.json", "zeta");
  scenario("b.expected.json", "Alpha");
  scenario("c.expected.json", "alpha");
  write_text(scenarios() / "bad\xff.expected.json", "{");  // not UTF-8: ignored
  EXPECT_EQ(run().status, 0);
  EXPECT_EQ(json_names(), (std::vector<std::string>{"Alpha", "alpha", "zeta"}));
}

TEST_F(Workspace, EqualNamesKeepListingOrder) {
  for (int i = 0; i < 6; ++i) {
    write_text(scenarios() / ("s" + std::to_string(i) + ".expected.json"),
               R"({"name":"same","mode":"m)" + std::to_string(i) + R"(","fixture":"ok.json"})");
  }
  std::vector<std::string> listing;  // the directory's own order
  for (const auto& e : fs::directory_iterator(scenarios()))
    listing.push_back(e.path().filename().string());
  EXPECT_EQ(run().status, 0);
  std::vector<std::string> modes, expected;
  for (const auto& r : Json::parse(read_text(root_ / "parity_checklist.json")))
    modes.push_back(r["mode"]);
  for (const auto& f : listing) expected.push_back("m" + f.substr(1, 1));
  EXPECT_EQ(modes, expected);
}

TEST_F(Workspace, Failures) {
  struct Row {
    const char* file;
    const char* content;
    std::string err;
  } rows[] = {
      {"f.expected.json", R"({"name":"x"})", "Error: \"missing fixture\"\n"},
      {"f.expected.json", R"({"mode":"compare","compare_fixture":"ok.json"})",
       "Error: \"missing primary_fixture\"\n"},
      {"f.expected.json", R"({"mode":"compare","primary_fixture":"ok.json"})",
       "Error: \"missing compare_fixture\"\n"},
      {"f.expected.json", R"({"fixture":"nope.json"})",
       "Error: Os { code: 2, kind: NotFound, message: \"No such file or directory\" }\n"},
      {"f.expected.json", R"({"fixture":"norun.json"})", "Error: \"fixture.run missing\"\n"},
      {"f.expected.json", R"({"fixture":"nosteps.json"})", "Error: \"fixture.steps missing\"\n"},
      {"f.expected.json", "{\"name\": ",
       "Error: Error(\"syntax error while parsing value - unexpected end of input; expected '[', "
       "'{', or a literal\", line: 1, column: 10)\n"},
  };
  write_text(root_ / "src/Test/fixtures/norun.json", R"({"steps":[]})");
  write_text(root_ / "src/Test/fixtures/nosteps.json", R"({"run":{}})");
  write_text(root_ / "parity_checklist.md", "old");
  for (const auto& row : rows) {
    write_text(scenarios() / row.file, row.content);
    auto r = run();
    EXPECT_EQ(r.status, 1) << row.content;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, row.err) << row.content;
    EXPECT_EQ(read_text(root_ / "parity_checklist.md"), "old");  // nothing written before the end
    EXPECT_FALSE(fs::exists(root_ / "parity_checklist.json"));
  }
}

TEST_F(Workspace, DirectoryNamedLikeAScenario) {
  fs::create_directories(scenarios() / "x.expected.json");
  auto r = run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }\n");
}

TEST_F(Workspace, MissingScenarioDirectory) {
  fs::remove_all(scenarios());
  auto r = run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "Error: Os { code: 2, kind: NotFound, message: \"No such file or directory\" }\n");
}

TEST_F(Workspace, RunFromTheRoot) {
  auto r = run("/");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: \"missing workspace root\"\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(Workspace, WriteFailures) {
  scenario("one.expected.json", "one");
  fs::create_directories(root_ / "parity_checklist.md");
  auto md = run();
  EXPECT_EQ(md.status, 1);
  EXPECT_EQ(md.err, "Error: " + (root_ / "parity_checklist.md").string() +
                        ": Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }\n");
  EXPECT_FALSE(fs::exists(root_ / "parity_checklist.json"));

  fs::remove_all(root_ / "parity_checklist.md");
  fs::create_directories(root_ / "parity_checklist.json");
  auto json = run();
  EXPECT_EQ(json.status, 1);
  EXPECT_EQ(json.err.rfind("Error: " + (root_ / "parity_checklist.json").string() + ": Os {", 0),
            0u)
      << json.err;
  EXPECT_TRUE(fs::is_regular_file(root_ / "parity_checklist.md"));  // the Markdown file stays
  EXPECT_EQ(json.out, "");
  EXPECT_EQ(temp_files(), std::vector<std::string>{});
}

// The "Wrote" lines are part of the run: when they cannot reach standard output (a full
// disk, a closed descriptor) the run fails and says so, though the checklists are written.
TEST_F(Workspace, FailedWritesToStandardOutput) {
  scenario("one.expected.json", "one");
  struct Sink {
    const char* redirect;
    const char* reason;
  } sinks[] = {{">/dev/full", "No space left on device"}, {">&-", "Bad file descriptor"}};
  for (const auto& sink : sinks) {
    fs::remove(root_ / "parity_checklist.md");
    fs::remove(root_ / "parity_checklist.json");
    auto r = run_command(
        {"/bin/bash", "-c", std::string("exec \"$0\" ") + sink.redirect, PARITY_CHECK_BIN},
        root_ / "build");
    EXPECT_EQ(r.status, 1) << sink.redirect;
    EXPECT_EQ(r.err, std::string("Error: cannot write to standard output: ") + sink.reason + "\n")
        << sink.redirect;
    EXPECT_EQ(json_names(), std::vector<std::string>{"one"}) << sink.redirect;
    EXPECT_NE(read_text(root_ / "parity_checklist.md").find("| one |"), std::string::npos);
    EXPECT_EQ(temp_files(), std::vector<std::string>{});
  }
}

// A write that fails part-way (here: the file size limit, as on a full disk) leaves the
// previous checklists byte for byte and no temporary file.
TEST_F(Workspace, FailedWriteKeepsTheOldFile) {
  scenario("one.expected.json", std::string(20000, 'n'));
  write_text(root_ / "parity_checklist.md", "old markdown\n");
  write_text(root_ / "parity_checklist.json", "[\"old\"]");
  auto r =
      run_command({"/bin/bash", "-c", "ulimit -f 8; trap '' XFSZ; exec \"$0\"", PARITY_CHECK_BIN},
                  root_ / "build");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: " + (root_ / "parity_checklist.md").string() +
                       ": Os { code: 27, kind: FileTooLarge, message: \"File too large\" }\n");
  EXPECT_EQ(read_text(root_ / "parity_checklist.md"), "old markdown\n");
  EXPECT_EQ(read_text(root_ / "parity_checklist.json"), "[\"old\"]");
  EXPECT_EQ(temp_files(), std::vector<std::string>{});
}

// Checklist paths that are symbolic links: the link is replaced by the file, and what it
// points to (outside the workspace, or nothing) is left alone.
TEST_F(Workspace, SymbolicLinksAreReplaced) {
  scenario("one.expected.json", "one");
  fs::path outside = test_support::make_temp_dir("parity-outside");
  write_text(outside / "target.md", "not yours\n");
  fs::create_symlink(outside / "target.md", root_ / "parity_checklist.md");
  fs::create_symlink(outside / "dangling.json", root_ / "parity_checklist.json");
  auto r = run();
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* name : {"parity_checklist.md", "parity_checklist.json"}) {
    EXPECT_FALSE(fs::is_symlink(root_ / name)) << name;
    EXPECT_TRUE(fs::is_regular_file(root_ / name)) << name;
  }
  EXPECT_EQ(json_names(), std::vector<std::string>{"one"});
  EXPECT_EQ(read_text(outside / "target.md"), "not yours\n");
  EXPECT_FALSE(fs::exists(outside / "dangling.json"));
  EXPECT_EQ(fs::status(root_ / "parity_checklist.md").permissions() & fs::perms::others_read,
            fs::perms::others_read);
  fs::remove_all(outside);
}

// kill -9 at random moments of runs: each checklist is the old one or the new one, whole.
TEST_F(Workspace, KilledRunsLeaveWholeChecklists) {
  // A long name makes the writes a good part of the run, so kills land inside them.
  for (int i = 0; i < 2; ++i)
    scenario("s" + std::to_string(i) + ".expected.json", std::string(1u << 20, 'a' + i));
  const fs::path md = root_ / "parity_checklist.md", json = root_ / "parity_checklist.json";
  auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(run().status, 0);
  const auto full = std::chrono::steady_clock::now() - started;
  const std::string new_md = read_text(md), new_json = read_text(json);
  std::mt19937 random(std::random_device{}());
  std::uniform_real_distribution<double> at(0.3, 1.1);
  int cut_short = 0;
  for (int trial = 0; trial < 16; ++trial) {
    write_text(md, "old markdown\n");
    write_text(json, "[\"old\"]");
    pid_t pid = ::fork();
    if (pid == 0) {
      if (::chdir((root_ / "build").c_str()) != 0) ::_exit(126);
      int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::execl(PARITY_CHECK_BIN, PARITY_CHECK_BIN, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::duration_cast<std::chrono::microseconds>(full) *
                                at(random));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    cut_short += WIFSIGNALED(status);
    std::string got_md = read_text(md), got_json = read_text(json);
    EXPECT_TRUE(got_md == "old markdown\n" || got_md == new_md)
        << "trial " << trial << ": " << got_md.size() << " bytes";
    EXPECT_TRUE(got_json == "[\"old\"]" || got_json == new_json)
        << "trial " << trial << ": " << got_json.size() << " bytes";
  }
  EXPECT_GT(cut_short, 0);  // some runs were really killed
}

// The sample workspace of the repository, evaluated as tools/parity does: every scenario
// must be a match, so a rule or text change that breaks one fails the suite.
TEST_F(Workspace, SampleWorkspaceAllMatch) {
  fs::remove_all(root_ / "src/Test");
  fs::copy(fs::path(TRACEDX_SOURCE_DIR) / "src/Test", root_ / "src/Test",
           fs::copy_options::recursive);
  size_t scenario_files = 0;
  for (const auto& entry : fs::directory_iterator(scenarios())) {
    if (entry.path().string().ends_with(".expected.json")) ++scenario_files;
  }
  auto r = run();
  ASSERT_EQ(r.status, 0) << r.err;
  Json rows = Json::parse(read_text(root_ / "parity_checklist.json"));
  EXPECT_EQ(rows.size(), scenario_files);
  for (const auto& row : rows) {
    EXPECT_EQ(row["status"], "match") << row["name"] << ": " << row["notes"].dump();
  }
}

}  // namespace
}  // namespace tracedx
