// The keyword scan measured against a Hyperscan database of the same lists: the engine's
// automaton (KeywordScan::feed), a Hyperscan block-mode scan with scratch allocated once,
// and a Hyperscan stream opened and closed per text. The database holds every member of
// every list as a caseless literal whose id is the list's index, reported once per id.
// Texts are generated from a fixed seed: "sparse" prose and JSON with a few members,
// "dense" members packed together; and steps of five pieces as the engine feeds them.
// Before timing, each text's hits from the three scans are compared; any difference aborts.
// On a shared 2-core EPYC (Hyperscan 5.4.0, AVX2): Hyperscan scans sparse texts of 512 B
// and more about 1.8 times as fast as the automaton, but dense texts below 64 KB, 64 B
// texts in a stream and dense five-piece steps more slowly; past the point where every list
// has hit, its single-match ids are exhausted and it stops scanning, which the automaton
// does not. No text, including texts of arbitrary bytes, gave different hits.
//   bench_keywords [--benchmark_filter=...] [--benchmark_min_time=0.2]
#include <benchmark/benchmark.h>
#include <hs.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "diagnosis/keywords.h"
#include "rng.h"
#include "text/keyword_matcher.h"

namespace {

using namespace tracedx;

using tracedx::bench::Rng;

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "bench_keywords: %s\n", message.c_str());
  std::exit(1);
}

// Words of agent-run prose and JSON that contain no member of any list (checked in main),
// so that a sparse text hits only where a member is placed on purpose.
const char* const kNeutralWords[] = {
    "the",      "agent",   "fetched",  "page",   "result",  "customer",  "policy",  "section",
    "table",    "value",   "quarter",  "report", "service", "request",   "answer",  "data",
    "index",    "summary", "Revenue",  "Growth", "region",  "product",   "order",   "status",
    "user",     "asked",   "which",    "grew",   "fastest", "in",        "year",    "north",
    "east",     "by",      "twelve",   "points", "step",    "completed", "after",   "seconds",
    "the",      "of",      "and",      "a",      "to",      "with",      "three",   "items",
    "titles",   "dates",   "Acme",     "Corp",   "pricing", "tier",      "account", "billing",
    "invoice",  "renewal", "contract", "terms",  "support", "ticket",    "opened",  "closed",
    "priority", "high",    "two",      "weeks",  "ago",     "steps",     "total",   "tokens",
};

// JSON fragments of a recorded step, with %d standing for a number.
const char* const kJsonFragments[] = {
    "{\"step_index\": %d, \"status\": \"completed\", \"duration_ms\": %d}",
    "{\"url\": \"https://example.org/pages/%d\", \"title\": \"Quarterly Results %d\"}",
    "{\"tokens\": {\"prompt\": %d, \"completion\": %d}, \"cached\": true}",
    "[{\"id\": %d, \"name\": \"Acme Corp\", \"region\": \"EMEA\", \"rank\": %d}]",
};

struct KeywordLists {
  std::vector<std::string_view> lists;
  std::vector<std::string_view> members;
  std::vector<unsigned> member_list;
};

const KeywordLists& keyword_lists() {
  static const KeywordLists kl = [] {
    KeywordLists k;
    for (const KeywordRow& row : keyword_rows()) {
      unsigned id = static_cast<unsigned>(k.lists.size());
      k.lists.push_back(row.words);
      std::string_view rest = row.words;
      for (;;) {
        size_t bar = rest.find('|');
        std::string_view member = rest.substr(0, bar);
        // Hyperscan has no empty literal; the automaton would hit such a list on every text.
        if (member.empty()) fail("empty member in keyword list " + std::to_string(id));
        k.members.push_back(member);
        k.member_list.push_back(id);
        if (bar == std::string_view::npos) break;
        rest.remove_prefix(bar + 1);
      }
    }
    return k;
  }();
  return kl;
}

// A member in one of the spellings texts carry: as listed, capitalised or upper case
// (ASCII only, which both scans fold alike).
std::string spelled(std::string_view member, Rng& rng) {
  std::string s(member);
  size_t how = rng.below(4);
  for (size_t i = 0; i < s.size(); ++i) {
    bool up = how == 2 ? true : how == 1 && (i == 0 || s[i - 1] == ' ');
    if (up && s[i] >= 'a' && s[i] <= 'z') s[i] = static_cast<char>(s[i] - 'a' + 'A');
  }
  return s;
}

// Prose and JSON with about one member in 150 words.
std::string sparse_text(size_t bytes, uint64_t seed) {
  const KeywordLists& kl = keyword_lists();
  Rng rng(seed);
  std::string s;
  while (s.size() < bytes) {
    size_t roll = rng.below(150);
    if (roll == 0) {
      s += spelled(kl.members[rng.below(kl.members.size())], rng);
    } else if (roll < 8) {
      char buf[160];
      std::snprintf(buf, sizeof buf, kJsonFragments[rng.below(std::size(kJsonFragments))],
                    static_cast<int>(rng.below(1000)), static_cast<int>(rng.below(100000)));
      s += buf;
    } else {
      s += kNeutralWords[rng.below(std::size(kNeutralWords))];
    }
    s += rng.below(12) == 0 ? ". " : " ";
  }
  s.resize(bytes);
  return s;
}

// Members back to back, as in a log of failures, with short separators.
std::string dense_text(size_t bytes, uint64_t seed) {
  static const char* const kSeparators[] = {" ", ", ", "; ", "\": \"", " - "};
  const KeywordLists& kl = keyword_lists();
  Rng rng(seed);
  std::string s;
  while (s.size() < bytes) {
    s += spelled(kl.members[rng.below(kl.members.size())], rng);
    s += kSeparators[rng.below(std::size(kSeparators))];
  }
  s.resize(bytes);
  return s;
}

// A step's text in five pieces of 100 to 400 bytes (summary, error, output, metadata, ...).
std::vector<std::string> step_pieces(bool dense, uint64_t seed) {
  Rng rng(seed);
  std::vector<std::string> pieces;
  for (int i = 0; i < 5; ++i) {
    size_t n = 100 + rng.below(301);
    pieces.push_back(dense ? dense_text(n, rng.next()) : sparse_text(n, rng.next()));
  }
  return pieces;
}

int on_match(unsigned id, unsigned long long, unsigned long long, unsigned, void* ctx) {
  static_cast<KeywordHits*>(ctx)->set(id);
  return 0;
}

class Hyperscan {
 public:
  Hyperscan() {
    block_ = compile(HS_MODE_BLOCK);
    stream_ = compile(HS_MODE_STREAM);
    if (hs_alloc_scratch(block_, &scratch_) != HS_SUCCESS ||
        hs_alloc_scratch(stream_, &scratch_) != HS_SUCCESS)
      fail("hs_alloc_scratch failed");
  }
  Hyperscan(const Hyperscan&) = delete;
  Hyperscan& operator=(const Hyperscan&) = delete;
  ~Hyperscan() {
    hs_free_scratch(scratch_);
    hs_free_database(block_);
    hs_free_database(stream_);
  }

  KeywordHits scan_block(std::string_view text) const {
    KeywordHits hits;
    if (hs_scan(block_, text.data(), static_cast<unsigned>(text.size()), 0, scratch_, on_match,
                &hits) != HS_SUCCESS)
      fail("hs_scan failed");
    return hits;
  }

  template <typename Pieces>
  KeywordHits scan_stream(const Pieces& pieces) const {
    KeywordHits hits;
    hs_stream_t* stream = nullptr;
    if (hs_open_stream(stream_, 0, &stream) != HS_SUCCESS) fail("hs_open_stream failed");
    for (std::string_view piece : pieces) {
      if (hs_scan_stream(stream, piece.data(), static_cast<unsigned>(piece.size()), 0, scratch_,
                         on_match, &hits) != HS_SUCCESS)
        fail("hs_scan_stream failed");
    }
    if (hs_close_stream(stream, scratch_, on_match, &hits) != HS_SUCCESS)
      fail("hs_close_stream failed");
    return hits;
  }

  std::string describe() const {
    size_t block_size = 0, stream_db_size = 0, stream_size = 0, scratch_size = 0;
    hs_database_size(block_, &block_size);
    hs_database_size(stream_, &stream_db_size);
    hs_stream_size(stream_, &stream_size);
    hs_scratch_size(scratch_, &scratch_size);
    char* info = nullptr;
    hs_database_info(block_, &info);
    std::string s = "hyperscan " + std::string(hs_version()) + ", " + (info ? info : "") +
                    "; block db " + std::to_string(block_size) + " B, stream db " +
                    std::to_string(stream_db_size) + " B, stream state " +
                    std::to_string(stream_size) + " B, scratch " + std::to_string(scratch_size) +
                    " B";
    std::free(info);
    return s;
  }

 private:
  static hs_database_t* compile(unsigned mode) {
    const KeywordLists& kl = keyword_lists();
    std::vector<const char*> expressions;
    std::vector<size_t> lens;
    for (std::string_view m : kl.members) {
      expressions.push_back(m.data());
      lens.push_back(m.size());
    }
    std::vector<unsigned> flags(kl.members.size(), HS_FLAG_CASELESS | HS_FLAG_SINGLEMATCH);
    hs_database_t* db = nullptr;
    hs_compile_error_t* error = nullptr;
    if (hs_compile_lit_multi(expressions.data(), flags.data(), kl.member_list.data(), lens.data(),
                             static_cast<unsigned>(kl.members.size()), mode, nullptr, &db,
                             &error) != HS_SUCCESS) {
      std::string message = error && error->message ? error->message : "unknown error";
      hs_free_compile_error(error);
      fail("hs_compile_lit_multi: " + message);
    }
    return db;
  }

  hs_database_t* block_ = nullptr;
  hs_database_t* stream_ = nullptr;
  hs_scratch_t* scratch_ = nullptr;
};

KeywordHits automaton_hits(const std::vector<std::string_view>& pieces) {
  KeywordScan scan(keyword_matcher());
  for (std::string_view piece : pieces) scan.feed(piece);
  return scan.hits();
}

// Every way of scanning `pieces` must give the automaton's hits: the whole text in one
// block, the pieces in one stream, and the whole text in one stream.
void check_same_hits(const Hyperscan& hs, const std::vector<std::string_view>& pieces,
                     const std::string& what) {
  std::string whole;
  for (std::string_view piece : pieces) whole += piece;
  KeywordHits expected = automaton_hits(pieces);
  if (automaton_hits({whole}) != expected) fail(what + ": automaton pieces differ from whole");
  if (hs.scan_block(whole) != expected) fail(what + ": hyperscan block hits differ");
  if (hs.scan_stream(pieces) != expected) fail(what + ": hyperscan stream hits differ");
  if (hs.scan_stream(std::vector<std::string_view>{whole}) != expected)
    fail(what + ": hyperscan one-piece stream hits differ");
}

struct Step {
  std::vector<std::string> pieces;
  std::vector<std::string_view> views;
  std::string whole;
  size_t bytes = 0;
};

// Enough distinct steps that the per-step benchmarks do not rescan one cached text.
constexpr size_t kStepCount = 256;

std::vector<Step> make_steps(bool dense) {
  std::vector<Step> steps(kStepCount);
  for (size_t i = 0; i < kStepCount; ++i) {
    steps[i].pieces = step_pieces(dense, 1000 + i);
    for (const std::string& p : steps[i].pieces) {
      steps[i].views.push_back(p);
      steps[i].bytes += p.size();
      steps[i].whole += p;
    }
  }
  return steps;
}

void register_text(const Hyperscan& hs, const std::string& name, std::string text) {
  static std::deque<std::string> texts;  // kept in place for the benchmarks' lifetime
  texts.push_back(std::move(text));
  const std::string& t = texts.back();

  // Also split at awkward places, so that members straddling piece ends are compared.
  std::vector<std::string_view> thirds;
  size_t third = t.size() / 3;
  thirds = {std::string_view(t).substr(0, third), std::string_view(t).substr(third, third),
            std::string_view(t).substr(2 * third)};
  check_same_hits(hs, thirds, name);
  double lists_hit = static_cast<double>(automaton_hits({t}).count());
  int64_t bytes = static_cast<int64_t>(t.size());

  benchmark::RegisterBenchmark(("feed/" + name).c_str(),
                               [&t, lists_hit, bytes](benchmark::State& state) {
                                 const KeywordMatcher& m = keyword_matcher();
                                 for (auto _ : state) {
                                   KeywordScan scan(m);
                                   scan.feed(t);
                                   benchmark::DoNotOptimize(scan.hits());
                                 }
                                 state.SetBytesProcessed(state.iterations() * bytes);
                                 state.counters["lists_hit"] = lists_hit;
                               });
  benchmark::RegisterBenchmark(("hs_block/" + name).c_str(),
                               [&hs, &t, lists_hit, bytes](benchmark::State& state) {
                                 for (auto _ : state) benchmark::DoNotOptimize(hs.scan_block(t));
                                 state.SetBytesProcessed(state.iterations() * bytes);
                                 state.counters["lists_hit"] = lists_hit;
                               });
  benchmark::RegisterBenchmark(("hs_stream/" + name).c_str(),
                               [&hs, &t, lists_hit, bytes](benchmark::State& state) {
                                 const std::string_view one[] = {t};
                                 for (auto _ : state) benchmark::DoNotOptimize(hs.scan_stream(one));
                                 state.SetBytesProcessed(state.iterations() * bytes);
                                 state.counters["lists_hit"] = lists_hit;
                               });
}

// One iteration scans one step; the steps are taken in turn.
void register_steps(const Hyperscan& hs, const std::string& name, bool dense) {
  static std::deque<std::vector<Step>> sets;
  sets.push_back(make_steps(dense));
  const std::vector<Step>& steps = sets.back();
  for (size_t i = 0; i < steps.size(); ++i)
    check_same_hits(hs, steps[i].views, name + " step " + std::to_string(i));

  benchmark::RegisterBenchmark(("feed/" + name).c_str(), [&steps](benchmark::State& state) {
    const KeywordMatcher& m = keyword_matcher();
    size_t i = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
      const Step& step = steps[i++ % steps.size()];
      KeywordScan scan(m);
      for (std::string_view piece : step.views) scan.feed(piece);
      benchmark::DoNotOptimize(scan.hits());
      bytes += static_cast<int64_t>(step.bytes);
    }
    state.SetBytesProcessed(bytes);
  });
  benchmark::RegisterBenchmark(("hs_stream/" + name).c_str(),
                               [&hs, &steps](benchmark::State& state) {
                                 size_t i = 0;
                                 int64_t bytes = 0;
                                 for (auto _ : state) {
                                   const Step& step = steps[i++ % steps.size()];
                                   benchmark::DoNotOptimize(hs.scan_stream(step.views));
                                   bytes += static_cast<int64_t>(step.bytes);
                                 }
                                 state.SetBytesProcessed(bytes);
                               });
  // The step already in one buffer, scanned as a block: the floor for the two below.
  benchmark::RegisterBenchmark(("hs_block_whole/" + name).c_str(),
                               [&hs, &steps](benchmark::State& state) {
                                 size_t i = 0;
                                 int64_t bytes = 0;
                                 for (auto _ : state) {
                                   const Step& step = steps[i++ % steps.size()];
                                   benchmark::DoNotOptimize(hs.scan_block(step.whole));
                                   bytes += static_cast<int64_t>(step.bytes);
                                 }
                                 state.SetBytesProcessed(bytes);
                               });
  // The alternative to a stream: join the pieces into one reused buffer, scan it as a block.
  benchmark::RegisterBenchmark(("hs_block_joined/" + name).c_str(),
                               [&hs, &steps](benchmark::State& state) {
                                 size_t i = 0;
                                 int64_t bytes = 0;
                                 std::string joined;
                                 for (auto _ : state) {
                                   const Step& step = steps[i++ % steps.size()];
                                   joined.clear();
                                   for (std::string_view piece : step.views) joined += piece;
                                   benchmark::DoNotOptimize(hs.scan_block(joined));
                                   bytes += static_cast<int64_t>(step.bytes);
                                 }
                                 state.SetBytesProcessed(bytes);
                               });
}

// Bytes of every value, with members in every spelling placed among them: where the two
// scans could part (case folding, bytes above 0x7f, NUL), they must still agree.
void check_all_bytes(const Hyperscan& hs) {
  const KeywordLists& kl = keyword_lists();
  Rng rng(7);
  for (int round = 0; round < 200; ++round) {
    std::string s;
    while (s.size() < 2048) {
      if (rng.below(8) == 0)
        s += spelled(kl.members[rng.below(kl.members.size())], rng);
      else
        s += static_cast<char>(rng.below(256));
    }
    std::string_view v = s;
    size_t cut = 1 + rng.below(s.size() - 1);
    check_same_hits(hs, {v.substr(0, cut), v.substr(cut)},
                    "all-bytes text " + std::to_string(round));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const KeywordLists& kl = keyword_lists();
  for (const char* word : kNeutralWords) {
    if (automaton_hits({word}).any()) fail(std::string("neutral word hits a list: ") + word);
  }
  static const Hyperscan hs;
  check_all_bytes(hs);

  static const size_t kSizes[] = {64, 512, 4 << 10, 64 << 10, 1 << 20};
  static const char* const kSizeNames[] = {"64B", "512B", "4KB", "64KB", "1MB"};
  for (size_t i = 0; i < std::size(kSizes); ++i) {
    register_text(hs, std::string("sparse/") + kSizeNames[i], sparse_text(kSizes[i], 1 + i));
    register_text(hs, std::string("dense/") + kSizeNames[i], dense_text(kSizes[i], 101 + i));
  }
  register_steps(hs, "sparse/step5", false);
  register_steps(hs, "dense/step5", true);

  benchmark::AddCustomContext("keyword_lists", std::to_string(kl.lists.size()) + " lists, " +
                                                   std::to_string(kl.members.size()) + " members");
  benchmark::AddCustomContext("hyperscan", hs.describe());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
