// Deterministic synthetic traces for the benchmarks: large traces with long tool outputs,
// nested metadata and mixed step kinds, with rule keywords placed near the end so that
// first-match rules cannot stop early; and a JSON Lines corpus of small traces.
//
//   generate trace SIZE_MB OUT.json     one trace of about SIZE_MB megabytes
//   generate corpus COUNT OUT.jsonl     COUNT small traces (about 20 steps, 10 KB each)
//   generate steps COUNT OUT.json       one trace of COUNT short steps (about 360 bytes each)
//   generate empty COUNT OUT.json       one trace of COUNT empty steps ({})
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "rng.h"

namespace {

using Json = nlohmann::json;

using tracedx::bench::Rng;

const char* kWords[] = {"the",     "agent",   "fetched", "page",    "result",  "customer",
                        "policy",  "section", "table",   "value",   "quarter", "report",
                        "service", "request", "answer",  "data",    "index",   "summary",
                        "Revenue", "Growth",  "region",  "product", "order",   "status"};
const char* kTypes[] = {"planning",   "web_search",         "tool_call", "reasoning",
                        "validation", "document_retrieval", "api_call",  "final_answer",
                        "delegation", "memory_read"};
// Markers placed late in the trace: each sets a signal of its own.
const char* kLateMarkers[] = {"request timed out",
                              "updated ledger captured",
                              "partial coverage of the tables",
                              "no useful results",
                              "wrong page",
                              "duplicate writes",
                              "likely meant ACME Ltd",
                              "content filter",
                              "invalid json",
                              "missing sections"};

std::string prose(Rng& rng, size_t bytes, bool non_ascii) {
  std::string out;
  out.reserve(bytes + 16);
  while (out.size() < bytes) {
    out += kWords[rng.below(std::size(kWords))];
    out += rng.below(12) == 0 ? ". " : " ";
    if (non_ascii && rng.below(200) == 0) out += "d\xc3\xa9j\xc3\xa0 ";
  }
  return out;
}

Json make_step(Rng& rng, uint64_t i, size_t output_bytes, const char* marker, size_t query_bytes) {
  Json s;
  s["id"] = "step-" + std::to_string(i);
  s["step_index"] = i;
  s["step_type"] = kTypes[rng.below(std::size(kTypes))];
  s["display_name"] = "Worker " + std::to_string(rng.below(9));
  s["status"] = rng.below(25) == 0 ? "error" : "completed";
  s["duration_ms"] = 50 + rng.below(3500);
  s["summary"] = prose(rng, 80, false) + (marker ? marker : "");
  s["raw_input"] = {{"query", prose(rng, query_bytes, false)},
                    {"params", {{"top_k", rng.below(10)}, {"filters", {"lang", "en"}}}}};
  s["raw_output"] = prose(rng, output_bytes, rng.below(10) == 0);
  s["metadata"] = {{"model", "gpt-4o"},
                   {"tokens", {{"prompt", rng.below(4000)}, {"completion", rng.below(900)}}},
                   {"attempt", 1 + rng.below(1)},
                   {"tags", {"bench", "synthetic"}}};
  return s;
}

Json make_trace(Rng& rng, size_t steps, size_t output_bytes, bool late_markers,
                size_t query_bytes = 120) {
  Json trace;
  trace["run"] = {{"id", "bench"},
                  {"title", "Synthetic run"},
                  {"status", "failed"},
                  {"total_cost", 1.25},
                  {"diagnostic_summary", "synthetic benchmark trace"}};
  Json list = Json::array();
  for (size_t i = 0; i < steps; ++i) {
    const char* marker = nullptr;
    size_t from_end = steps - 1 - i;
    if (late_markers && from_end < std::size(kLateMarkers)) marker = kLateMarkers[from_end];
    list.push_back(make_step(rng, i + 1, output_bytes, marker, query_bytes));
  }
  trace["steps"] = std::move(list);
  return trace;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr,
                 "usage: generate trace SIZE_MB OUT.json | corpus COUNT OUT.jsonl | steps COUNT "
                 "OUT.json | empty COUNT OUT.json\n");
    return 2;
  }
  std::string what = argv[1];
  uint64_t n = std::strtoull(argv[2], nullptr, 10);
  std::ofstream out(argv[3], std::ios::binary);
  Rng rng(20261208);
  if (what == "trace") {
    // About 6.5 KB per step: 25 MB gives about 4,000 steps.
    size_t steps = static_cast<size_t>(n) * 1000000 / 6500;
    out << make_trace(rng, steps ? steps : 1, 6000, true).dump();
  } else if (what == "steps") {
    out << make_trace(rng, n, 8, true, 8).dump();
  } else if (what == "empty") {
    out << R"({"run":{"status":"failed"},"steps":[)";
    for (uint64_t i = 0; i < n; ++i) out << (i ? ",{}" : "{}");
    out << "]}";
  } else if (what == "corpus") {
    for (uint64_t i = 0; i < n; ++i) out << make_trace(rng, 20, 40, i % 3 == 0, 40).dump() << '\n';
  } else {
    std::fprintf(stderr, "unknown kind %s\n", what.c_str());
    return 2;
  }
  return out ? 0 : 1;
}
