// Error messages reduced to their shape: each row a message and the group key it gives.
#include "fleet/error_normaliser.h"

#include <gtest/gtest.h>

#include "fleet/run_record.h"
#include "test_random.h"

namespace tracedx {
namespace {

struct Row {
  const char* message;
  const char* normalised;
};

void check(const Row* rows, size_t n) {
  for (size_t i = 0; i < n; ++i)
    EXPECT_EQ(normalise_error(rows[i].message), rows[i].normalised)
        << "row " << i << ": " << rows[i].message;
}

TEST(ErrorNormaliser, StripsWhatVariesBetweenRuns) {
  const Row rows[] = {
      // Numbers and ids.
      {"order 8812 not found", "order <n> not found"},
      {"HTTP 502 from upstream after 3.5 s", "HTTP <n> from upstream after <n> s"},
      {"request req_8812 failed", "request <id> failed"},
      {"rate limit: retry in 1,250 ms", "rate limit: retry in <n> ms"},
      {"at 12:30:01 the job stopped", "at <n> the job stopped"},
      {"balance -5 is negative", "balance <id> is negative"},
      // Hex numbers, hashes, UUIDs.
      {"bad pointer 0x7ffd1a2b", "bad pointer <hex>"},
      {"span 4bf92f3577b34da6 ended", "span <hex> ended"},
      {"trace 4bf92f35-77b3-4da6-a3ce-929d0e0e4736 lost", "trace <uuid> lost"},
      // Paths and URLs, sentence punctuation kept outside.
      {"cannot open /srv/data/a.json.", "cannot open <path>."},
      {"cannot open ./cfg/x.yaml: denied", "cannot open <path>: denied"},
      {"see ~/logs/run.txt", "see <path>"},
      {"wrote C:\\tmp\\x.log", "wrote <path>"},
      {"GET https://api.example.com/v1/orders?id=7 timed out", "GET <url> timed out"},
      // Quoted values, apostrophes left alone.
      {"unknown city 'Paris' in request", "unknown city <str> in request"},
      {"key \"user.id\" missing", "key <str> missing"},
      {"column `total` is null", "column <str> is null"},
      {"the agent didn't answer", "the agent didn't answer"},
      {"it's 'quoted", "it's 'quoted"},
      // E-mail addresses.
      {"no account for ann.lee+x@example.org", "no account for <email>"},
      // White space collapsed and trimmed.
      {"  timeout \n\t after   <n>  ", "timeout after <n>"},
      // Words without digits, and words such as and/or, stay.
      {"Tool failed and/or gave up", "Tool failed and/or gave up"},
      {"", ""},
  };
  check(rows, std::size(rows));
}

TEST(ErrorNormaliser, SameShapeSameKey) {
  EXPECT_EQ(normalise_error("order 8812 not found at /srv/a.json"),
            normalise_error("order 17 not found at /tmp/b.json"));
  EXPECT_NE(normalise_error("order 17 not found"), normalise_error("order 17 was cancelled"));
}

TEST(ErrorNormaliser, LongMessagesAreCutOnACharacterBoundary) {
  std::string long_text(400, 'a');
  std::string got = normalise_error(long_text);
  EXPECT_EQ(got, std::string(kMaxNormalisedBytes, 'a') + "...");
  // A two-byte character straddling the cut is dropped whole.
  std::string accented = std::string(kMaxNormalisedBytes - 1, 'a') + "\xc3\xa9" + "bbbb";
  EXPECT_EQ(normalise_error(accented), std::string(kMaxNormalisedBytes - 1, 'a') + "...");
}

// Texts made of the characters the rules look at, in any order: every result is bounded,
// holds no white space run, and a second pass changes nothing but placeholders' own text.
TEST(ErrorNormaliser, AnyTextGivesABoundedKey) {
  static const std::string kPieces[] = {"'",        "\"",
                                        "`",        "/",
                                        "./",       "~/",
                                        "C:\\",     "0x",
                                        "ff",       "12",
                                        ".",        ",",
                                        ":",        "-",
                                        "_",        "@",
                                        "a.b",      "://",
                                        "http",     " ",
                                        "\n",       "\t",
                                        "\xc3\xa9", "\xff",
                                        "word",     "4bf92f35-77b3-4da6-a3ce-929d0e0e4736",
                                        "\\",       "<n>"};
  test_support::SplitMix rng(25);
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (uint64_t n = rng.below(40); n > 0; --n) text += kPieces[rng.below(std::size(kPieces))];
    std::string key = normalise_error(text);
    EXPECT_LE(key.size(), kMaxNormalisedBytes + 3) << text;
    EXPECT_EQ(key.find("  "), std::string::npos) << text;
    EXPECT_TRUE(key.empty() || (key.front() != ' ' && key.back() != ' ')) << text;
    // Batch record texts of the same pieces: a record or an error, never a crash.
    (void)parse_run_record(text);
  }
}

}  // namespace
}  // namespace tracedx
