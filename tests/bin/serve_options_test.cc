// The options of tracedx serve, applied as the command line parser applies them: what each
// sets, and the message of each refused value.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "bin/tracedx/options.h"
#include "test_support.h"

namespace tracedx::cli {
namespace {

namespace fs = std::filesystem;

// Applies `--name value` as the parser does; the error text, or "" when it was taken.
std::string apply(Args& args, std::string_view name, std::string_view value) {
  for (const auto& o : kServeOptions) {
    if (o.name != name) continue;
    auto applied = o.apply(args, value);
    return applied ? "" : applied.error().text();
  }
  ADD_FAILURE() << "no option " << name;
  return "";
}

// The default each help line states is the server's default.
TEST(ServeOptions, HelpStatesTheDefaults) {
  const ServeOptions o = Args{}.serve;
  struct Row {
    std::string_view name;
    std::string shown;   // in the help, after "default "
    std::string actual;  // the default as the option would spell it
  } rows[] = {
      {"--listen", "127.0.0.1:4318", o.host + ":" + std::to_string(o.port)},
      {"--grpc-listen", "127.0.0.1:4317", o.grpc_host + ":" + std::to_string(o.grpc_port)},
      {"--db", "tracedx.db", o.db_path},
      {"--quiet-ms", "5000", std::to_string(o.quiet_ms)},
      {"--rootless-wait-ms", "300000", std::to_string(o.rootless_wait_ms)},
      {"--max-body-bytes", "16777216", std::to_string(o.max_body_bytes)},
      {"--memory-budget-mb", "512", std::to_string(o.memory_budget_bytes >> 20)},
      {"--max-trace-spans", "50000", std::to_string(o.max_trace_spans)},
      {"--max-trace-log-records", "50000", std::to_string(o.max_trace_log_records)},
      {"--drain-timeout-ms", "10000", std::to_string(o.drain_timeout_ms)},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.actual, row.shown) << row.name;
    bool found = false;
    for (const auto& option : kServeOptions) {
      if (option.name != row.name) continue;
      found = true;
      EXPECT_NE(option.help.find("default " + row.shown), std::string::npos) << option.help;
    }
    EXPECT_TRUE(found) << row.name;
  }
  EXPECT_TRUE(o.grpc);
}

TEST(ServeOptions, ValuesAndWhatTheySet) {
  struct Row {
    const char* name;
    const char* value;
    std::function<bool(const Args&)> set;  // true when the field holds what was given
  } rows[] = {
      // Addresses: the same syntax for both listeners, port 0 for any free port.
      {"--listen", "0.0.0.0:8080",
       [](const Args& a) { return a.serve.host == "0.0.0.0" && a.serve.port == 8080; }},
      {"--listen", "[::1]:0",
       [](const Args& a) { return a.serve.host == "::1" && a.serve.port == 0; }},
      {"--grpc-listen", "127.0.0.2:65535",
       [](const Args& a) {
         return a.serve.grpc_host == "127.0.0.2" && a.serve.grpc_port == 65535 &&
                a.grpc_listen_given;
       }},
      {"--grpc-listen", "[fe80::1]:0",
       [](const Args& a) { return a.serve.grpc_host == "fe80::1" && a.serve.grpc_port == 0; }},
      {"--no-grpc", "", [](const Args& a) { return !a.serve.grpc && !a.grpc_listen_given; }},
      // Sizes and counts at both ends of their ranges; the budget is given in MiB.
      {"--memory-budget-mb", "16",
       [](const Args& a) { return a.serve.memory_budget_bytes == size_t{16} << 20; }},
      {"--memory-budget-mb", "1048576",
       [](const Args& a) { return a.serve.memory_budget_bytes == size_t{1} << 40; }},
      {"--max-trace-spans", "1", [](const Args& a) { return a.serve.max_trace_spans == 1; }},
      {"--max-trace-spans", "1000000000",
       [](const Args& a) { return a.serve.max_trace_spans == 1000000000; }},
      {"--max-trace-log-records", "7",
       [](const Args& a) { return a.serve.max_trace_log_records == 7; }},
      {"--max-body-bytes", "4294967296",
       [](const Args& a) { return a.serve.max_body_bytes == size_t{1} << 32; }},
      {"--keep-days", "100000", [](const Args& a) { return a.serve.keep_days == 100000u; }},
      // Times in ms, 0 allowed.
      {"--rootless-wait-ms", "0", [](const Args& a) { return a.serve.rootless_wait_ms == 0; }},
      {"--rootless-wait-ms", "1099511627776",
       [](const Args& a) { return a.serve.rootless_wait_ms == uint64_t{1} << 40; }},
      {"--drain-timeout-ms", "60000",
       [](const Args& a) { return a.serve.drain_timeout_ms == 60000; }},
      {"--db", "x.db", [](const Args& a) { return a.serve.db_path == "x.db"; }},
      // The diagnosis option is the one diagnose takes, copied into the server's settings.
      {"--slow-threshold-ms", "0", [](const Args& a) { return a.options.slow_threshold_ms == 0u; }},
  };
  for (const auto& row : rows) {
    Args args;
    EXPECT_EQ(apply(args, row.name, row.value), "") << row.name << " " << row.value;
    EXPECT_TRUE(row.set(args)) << row.name << " " << row.value;
  }
}

TEST(ServeOptions, RefusedValuesSayWhatWasExpected) {
  struct Row {
    const char* name;
    const char* value;
    const char* message;
  } rows[] = {
      {"--grpc-listen", "4317",
       "--grpc-listen needs HOST:PORT (an IPv6 host in brackets), got \"4317\""},
      {"--grpc-listen", "::1:4317",
       "--grpc-listen needs HOST:PORT (an IPv6 host in brackets), got \"::1:4317\""},
      {"--grpc-listen", "[]:1",
       "--grpc-listen needs HOST:PORT (an IPv6 host in brackets), got \"[]:1\""},
      {"--grpc-listen", "h:65536",
       "--grpc-listen needs HOST:PORT (an IPv6 host in brackets), got \"h:65536\""},
      {"--grpc-listen",
       "h:", "--grpc-listen needs HOST:PORT (an IPv6 host in brackets), got \"h:\""},
      {"--listen", ":80", "--listen needs HOST:PORT (an IPv6 host in brackets), got \":80\""},
      {"--memory-budget-mb", "15",
       "--memory-budget-mb needs a number from 16 to 1048576, got \"15\""},
      {"--memory-budget-mb", "1048577",
       "--memory-budget-mb needs a number from 16 to 1048576, got \"1048577\""},
      {"--max-trace-spans", "0",
       "--max-trace-spans needs a number from 1 to 1000000000, got \"0\""},
      {"--max-trace-spans", "1000000001",
       "--max-trace-spans needs a number from 1 to 1000000000, got \"1000000001\""},
      {"--max-trace-log-records", "0",
       "--max-trace-log-records needs a number from 1 to 1000000000, got \"0\""},
      {"--rootless-wait-ms", "-1",
       "--rootless-wait-ms needs a number from 0 to 1099511627776, got \"-1\""},
      {"--drain-timeout-ms", "18446744073709551616",
       "--drain-timeout-ms needs a number from 0 to 1099511627776, got \"18446744073709551616\""},
      {"--keep-days", "0", "--keep-days needs a number from 1 to 100000, got \"0\""},
      {"--max-body-bytes", "0", "--max-body-bytes needs a number from 1 to 4294967296, got \"0\""},
      {"--db", "", "--db needs a file name"},
      {"--slow-threshold-ms", "9223372036854775808x",
       "--slow-threshold-ms needs an unsigned integer, got \"9223372036854775808x\""},
  };
  for (const auto& row : rows) {
    Args args;
    EXPECT_EQ(apply(args, row.name, row.value), row.message) << row.name << " " << row.value;
  }
}

// A bearer token is one line: the line break an editor leaves and blanks around are
// dropped; a break or another control character inside could never be sent in a header.
TEST(ServeOptions, TokenFileHoldsOneLine) {
  const fs::path dir = test_support::make_temp_dir("token");
  const std::string file = (dir / "token").string();
  struct Row {
    std::string content;
    std::string token;    // the token taken, when it is
    std::string message;  // else the refusal
  } rows[] = {
      {"s3cret", "s3cret", ""},
      {"s3cret\n", "s3cret", ""},
      {"s3cret\r\n", "s3cret", ""},
      {"  s3cret \t\n\n", "s3cret", ""},
      {"\ns3cret\n", "s3cret", ""},
      {"two words\n", "two words", ""},
      {"line one\nline two\n", "",
       "holds more than one line: the token is one line, since no HTTP header can carry a line "
       "break"},
      {"half\rhalf", "",
       "holds more than one line: the token is one line, since no HTTP header can carry a line "
       "break"},
      {"tab\tinside", "",
       "holds a control character (0x09) in its token, which no HTTP header can carry"},
      {std::string("nul\0inside", 10), "",
       "holds a control character (0x00) in its token, which no HTTP header can carry"},
      {"del\x7finside", "",
       "holds a control character (0x7f) in its token, which no HTTP header can carry"},
      {"", "", "holds no token"},
      {" \r\n\t\n", "", "holds no token"},
  };
  for (const auto& row : rows) {
    test_support::write_text(file, row.content);
    Args args;
    const std::string error = apply(args, "--token-file", file);
    if (row.message.empty()) {
      EXPECT_EQ(error, "") << row.content;
      EXPECT_EQ(args.serve.token, row.token) << row.content;
    } else {
      EXPECT_EQ(error, "--token-file: " + file + " " + row.message) << row.content;
      EXPECT_EQ(args.serve.token, std::nullopt) << row.content;
    }
  }
  Args args;
  EXPECT_EQ(apply(args, "--token-file", (dir / "missing").string()).rfind("--token-file: ", 0), 0u);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tracedx::cli
