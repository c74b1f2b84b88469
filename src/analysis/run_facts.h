// The facts of a recorded run that its structure states, read once per diagnosis: what each
// step is (a model output, a tool call and its result, a retrieval, a worker agent), who is
// responsible for it, the class of its error, and the calls the agents made with their
// normalised arguments and results. Detectors read these facts, never the raw texts again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/error_class.h"
#include "trace/trace.h"

namespace tracedx {

enum class StepRole : uint8_t {
  kModel,       // an agent's or model's output
  kToolCall,    // a call of a tool (with its result, in a span; the request, in a chat)
  kToolResult,  // a tool's answer to a call made in an earlier step (chats)
  kRetrieval,   // a retrieval or search, with the documents it found
  kWorker,      // a delegated agent's run
  kRun,         // the run's own agent, where it failed
  kUser,
  kSetup,
  kOther,
};

struct StepFacts {
  StepRole role = StepRole::kOther;
  bool failed = false;
  std::string agent;  // who issued the step; empty when the recording does not say
  std::string id;     // the step's id as text (a span id, a message id)
  ErrorFacts error;
};

// One call an agent made: a tool call or a retrieval, with what came back.
struct Call {
  size_t step = 0;                    // where the call was made
  std::optional<size_t> result_step;  // where its result shows, when that is another step
  std::string tool;
  std::string arguments;        // compact JSON of the arguments, strings normalised
  std::string shown_arguments;  // the arguments as a user reads them, long values shortened
  uint64_t result_hash = 0;     // of the result's compact JSON: equal results, equal hashes
  std::string result_preview;   // the result's first bytes, for evidence
  bool has_result = false;
  bool empty = false;  // nothing came back: no documents, an empty list or object
  bool failed = false;
  bool search = false;  // a retrieval or a search-like tool
};

struct RunFacts {
  std::vector<StepFacts> steps;
  std::vector<Call> calls;  // in the order they were made
  std::optional<size_t> final_answer;
  bool final_has_text = false;  // the final answer's text was recorded
  bool final_declines = false;  // the final answer declines or gives up instead of answering
  bool run_failed = false;      // the run's status says it failed
  bool run_succeeded = false;   // the run's status says it completed
  bool chat = false;            // recorded as a chat transcript (else as spans)
  size_t agents = 0;            // distinct agents that acted
};

// Whether an answer declines or gives up instead of answering.
bool declines(std::string_view answer);

RunFacts read_run_facts(const Trace& trace);

// The text of a step's output a reader would call its answer: a text, or the text parts of
// messages.
std::string answer_text(const TraceStep& step);

}  // namespace tracedx
