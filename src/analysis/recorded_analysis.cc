#include "analysis/recorded_analysis.h"

#include <algorithm>
#include <map>
#include <span>

#include "analysis/run_facts.h"
#include "diagnosis/categories.h"
#include "diagnosis/recommendations.h"
#include "diagnosis/step_probes.h"
#include "text/template.h"
#include "text/text.h"

namespace tracedx {
namespace {

// Evidence lines of the detectors; "{}" takes the run's own values, in order.
// clang-format off
constexpr std::string_view kFailedStep      = "Step {} ({}) failed: {}";
constexpr std::string_view kErrorIs         = "Error class: {} ({})";
constexpr std::string_view kIssuedBy        = "The call was issued by agent {}";
constexpr std::string_view kCalledWith      = "Tool {} was called with {}";
constexpr std::string_view kShownAt         = "The failure shows at step {} ({})";
constexpr std::string_view kRepeated        = "{} was called {} times with the same arguments {}, from step {}";
constexpr std::string_view kSameResult      = "Each call returned {}";
constexpr std::string_view kEmptySearches   = "{} called {} times and every call returned nothing";
constexpr std::string_view kRepeatedMessage = "{} sent the same message {} times, from step {}: {}";
constexpr std::string_view kNoEvidence      = "{} searches or retrievals ran and none returned anything, the first at step {} ({})";
constexpr std::string_view kAnswered        = "The final answer at step {} still states specifics: {}";
constexpr std::string_view kWorkerFailed    = "Worker {} (step {}) failed: {}";
constexpr std::string_view kWentOn          = "Its parent {} went on without its result and finished at step {} ({})";
constexpr std::string_view kRetried         = "Step {} ({}) failed with a {} and step {} retried it successfully";
constexpr std::string_view kGaveUp          = "The run ended without recovering: {}";
constexpr std::string_view kStatedFailed    = "The run's status is {}";
constexpr std::string_view kLastError       = "Last error: step {} ({}): {}";
constexpr std::string_view kNoError         = "No step recorded an error";
// clang-format on

// How a run ended after a failed call.
constexpr std::string_view kEndedAtError = "the error was the run's last step";
constexpr std::string_view kFinalDeclined = "its final answer declines or gives up";
constexpr std::string_view kNoFinalAnswer = "no final answer followed";

// Repeated calls and messages: how many make a loop.
constexpr size_t kRepeatedCalls = 3;
constexpr size_t kRepeatedSameData = 4;
constexpr size_t kEmptySearchCalls = 4;
constexpr size_t kRepeatedMessages = 3;
constexpr size_t kMinRepeatedMessageBytes = 20;
// Quoted texts in evidence are cut to this many bytes.
constexpr size_t kQuotedBytes = 160;

std::string cut(std::string_view text, size_t limit = kQuotedBytes) {
  text = trim_ascii(text);
  if (text.size() <= limit) return std::string(text);
  size_t at = limit;
  while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
  return std::string(text.substr(0, at)) + "...";
}

// One failed step and what became of it.
struct Failure {
  size_t at = 0;                     // the failed step
  size_t anchor = 0;                 // the step responsible: the call's request in a chat
  std::optional<size_t> call;        // the call that failed, if the failure is a call's
  std::optional<size_t> retried_by;  // a later success of the same operation
  bool worked_around = false;        // the agent went on to other work and a real answer
  std::string ended;                 // how the run ended, when the failure stopped it
};

// What the detectors see: the trace, its facts and its failures.
struct Run {
  const Trace& trace;
  const RunFacts& facts;
  std::vector<Failure> failures;
  bool status_stated_failed = false;  // the run's failure was recorded or stated, not inferred
};

// What a detector found.
struct Detected {
  Cat cat;
  size_t anchor;
  std::optional<size_t> shown_at;
  std::optional<size_t> call;
  std::vector<std::string> evidence;
  std::optional<size_t> error_step;  // whose error message the finding shows
};

const TraceStep& step_at(const Run& r, size_t i) {
  return r.trace.steps[i];
}

std::string index_text(const Run& r, size_t i) {
  const auto& s = step_at(r, i);
  return std::to_string(s.step_index ? *s.step_index : -1);
}

std::string name_of(const Run& r, size_t i) {
  return step_label(step_at(r, i));
}

std::string error_of(const Run& r, size_t i) {
  const auto& s = step_at(r, i);
  return s.error_message ? cut(*s.error_message) : std::string("(no message)");
}

// Who is responsible for a step: an agent's own run or a worker is its own; any other step
// is its issuer's; a span without an agent above it belongs to the run's agent, the title.
std::optional<std::string> responsible_agent(const Run& r, size_t at) {
  const TraceStep& step = step_at(r, at);
  const StepRole role = r.facts.steps[at].role;
  if ((role == StepRole::kWorker || role == StepRole::kRun) && step.display_name)
    return *step.display_name;
  if (!r.facts.steps[at].agent.empty()) return r.facts.steps[at].agent;
  if (!r.facts.chat && r.trace.title) return *r.trace.title;
  return std::nullopt;
}

// The same operation: a step of the same kind and name (a model call that answered is the
// same operation as the one that failed before it, whatever their step types).
std::string operation(const TraceStep& s, StepRole role) {
  return std::to_string(static_cast<int>(role)) + '\n' +
         (s.display_name ? *s.display_name : std::string());
}

// Where the error's class was read from, for evidence.
std::string error_source(const ErrorFacts& e) {
  if (e.cls == ErrorClass::kContentFilter) return "finish reason content_filter";
  if (e.http_status) return "HTTP status " + std::to_string(*e.http_status);
  if (!e.type.empty()) return "error type " + e.type;
  if (e.exit_code) return "exit code " + std::to_string(*e.exit_code);
  return "the error message";
}

bool is_agent_work(StepRole role) {
  return role == StepRole::kModel || role == StepRole::kToolCall || role == StepRole::kRetrieval ||
         role == StepRole::kWorker || role == StepRole::kToolResult;
}

// The failures of a run: each failed step, given to the call it answers or (for a code
// executor's reply) to the agent message that asked for it.
std::vector<Failure> find_failures(const Trace& trace, const RunFacts& f) {
  std::vector<Failure> out;
  const size_t n = f.steps.size();
  std::map<size_t, size_t> call_by_result, call_by_step;
  // Successful calls of each tool, in order (chats), and successful steps of each operation.
  std::map<std::string_view, std::vector<size_t>> tool_successes;
  for (size_t k = 0; k < f.calls.size(); ++k) {
    if (f.calls[k].result_step) call_by_result[*f.calls[k].result_step] = k;
    call_by_step.emplace(f.calls[k].step, k);
    if (f.calls[k].has_result && !f.calls[k].failed) tool_successes[f.calls[k].tool].push_back(k);
  }
  std::map<std::string, std::vector<size_t>> op_successes;
  for (size_t i = 0; i < n; ++i) {
    if (!f.steps[i].failed) op_successes[operation(trace.steps[i], f.steps[i].role)].push_back(i);
  }
  // The last step of other successful work (a call, or in a chat a tool's answer) and the
  // last step of any agent work, so each failure asks in constant time what came after it.
  std::optional<size_t> last_ok_work, last_agent_work;
  for (size_t k = 0; k < n; ++k) {
    const StepFacts& t = f.steps[k];
    if (is_agent_work(t.role)) last_agent_work = k;
    if (t.failed || k == f.final_answer) continue;
    if (t.role == StepRole::kToolCall || t.role == StepRole::kRetrieval ||
        t.role == StepRole::kWorker || (f.chat && t.role == StepRole::kToolResult))
      last_ok_work = k;
  }
  std::optional<size_t> last_agent_message;  // before the step being read
  for (size_t i = 0; i < n; ++i) {
    const StepFacts& s = f.steps[i];
    const bool agent_message = s.role == StepRole::kModel || s.role == StepRole::kToolCall;
    if (!s.failed || s.role == StepRole::kUser || s.role == StepRole::kSetup) {
      if (agent_message) last_agent_message = i;
      continue;
    }
    Failure fl;
    fl.at = fl.anchor = i;
    if (auto it = call_by_result.find(i); it != call_by_result.end()) {
      fl.call = it->second;
      fl.anchor = f.calls[it->second].step;
    } else if (auto it2 = call_by_step.find(i); it2 != call_by_step.end()) {
      fl.call = it2->second;
    } else if (f.chat && s.role == StepRole::kToolResult && last_agent_message) {
      // A code executor's reply: the code came from the last agent message before it.
      fl.anchor = *last_agent_message;
    }
    if (agent_message) last_agent_message = i;
    // A later success of the same operation retried it; in a chat, a later successful call
    // of the same tool.
    if (fl.call && f.chat) {
      const auto& wins = tool_successes[f.calls[*fl.call].tool];
      auto next = std::upper_bound(wins.begin(), wins.end(), *fl.call);
      if (next != wins.end())
        fl.retried_by = f.calls[*next].result_step.value_or(f.calls[*next].step);
    } else {
      const auto& wins = op_successes[operation(trace.steps[i], s.role)];
      auto next = std::upper_bound(wins.begin(), wins.end(), i);
      if (next != wins.end()) fl.retried_by = *next;
    }
    // Other work after the failure and a final answer that does not give up: the agent
    // changed course.
    const size_t resume = std::max(i, fl.anchor) + 1;
    const bool later_work = last_ok_work && *last_ok_work >= resume;
    // An answer whose text was not recorded says nothing about whether the agent gave up.
    const bool answered_after =
        f.final_answer && *f.final_answer > i && f.final_has_text && !f.final_declines;
    const bool last_work = !last_agent_work || *last_agent_work <= i;
    fl.worked_around = !fl.retried_by && (later_work || answered_after) &&
                       !(f.final_answer && *f.final_answer > i && f.final_declines && !later_work);
    if (!fl.retried_by && !fl.worked_around) {
      fl.ended = std::string(last_work                               ? kEndedAtError
                             : f.final_answer && *f.final_answer > i ? kFinalDeclined
                                                                     : kNoFinalAnswer);
    }
    out.push_back(std::move(fl));
  }
  return out;
}

// The lines every failed-call finding starts with: the failed step and its error, its
// class, the tool's arguments and where the failure shows.
std::vector<std::string> failure_lines(const Run& r, const Failure& fl) {
  std::vector<std::string> lines;
  lines.push_back(
      fill_template(kFailedStep, {index_text(r, fl.at), name_of(r, fl.at), error_of(r, fl.at)}));
  const ErrorFacts& e = r.facts.steps[fl.at].error;
  if (e.cls != ErrorClass::kNone)
    lines.push_back(fill_template(kErrorIs, {error_class_name(e.cls), error_source(e)}));
  if (fl.call && !r.facts.calls[*fl.call].shown_arguments.empty())
    lines.push_back(fill_template(
        kCalledWith, {r.facts.calls[*fl.call].tool, r.facts.calls[*fl.call].shown_arguments}));
  if (auto agent = responsible_agent(r, fl.anchor))
    lines.push_back(fill_template(kIssuedBy, {*agent}));
  if (fl.anchor != fl.at)
    lines.push_back(fill_template(kShownAt, {index_text(r, fl.at), name_of(r, fl.at)}));
  if (!fl.ended.empty()) lines.push_back(fill_template(kGaveUp, {fl.ended}));
  return lines;
}

Detected failure_finding(const Run& r, const Failure& fl, Cat cat) {
  Detected d{cat, fl.anchor, std::nullopt, fl.call, failure_lines(r, fl), fl.at};
  if (fl.anchor != fl.at) d.shown_at = fl.at;
  return d;
}

// The first unrecovered failure whose class is one of `classes`.
const Failure* unrecovered(const Run& r, std::initializer_list<ErrorClass> classes) {
  for (const auto& fl : r.failures) {
    if (fl.retried_by || fl.worked_around) continue;
    for (ErrorClass c : classes) {
      if (r.facts.steps[fl.at].error.cls == c) return &fl;
    }
  }
  return nullptr;
}

using Detector = std::optional<Detected> (*)(const Run&);

// An unrecovered error of class `C` is a finding of category `K`.
template <ErrorClass C, Cat K>
std::optional<Detected> of_class(const Run& r) {
  if (const Failure* fl = unrecovered(r, {C})) return failure_finding(r, *fl, K);
  return std::nullopt;
}

// Output that could not be parsed or did not fit its schema: the model output read last
// before the failure is responsible, and the failure shows where the parse or check threw.
template <ErrorClass C, Cat K>
std::optional<Detected> of_output(const Run& r) {
  const Failure* fl = unrecovered(r, {C});
  if (!fl) return std::nullopt;
  Failure moved = *fl;
  if (r.facts.steps[fl->at].role != StepRole::kModel) {
    for (size_t k = fl->at; k-- > 0;) {
      if (r.facts.steps[k].role == StepRole::kModel && !r.facts.steps[k].failed) {
        moved.anchor = k;
        break;
      }
    }
  }
  return failure_finding(r, moved, K);
}

// Errors of no finer class that stopped the run: a tool's, a provider's, or another step's.
std::optional<Detected> stopped_at_error(const Run& r) {
  for (const auto& fl : r.failures) {
    if (fl.retried_by || fl.worked_around) continue;
    const StepFacts& s = r.facts.steps[fl.at];
    const StepRole anchor_role = r.facts.steps[fl.anchor].role;
    const bool tool = fl.call || anchor_role == StepRole::kToolCall ||
                      anchor_role == StepRole::kRetrieval || s.role == StepRole::kToolResult;
    const bool service = s.error.cls == ErrorClass::kServer ||
                         s.error.cls == ErrorClass::kConnection ||
                         s.error.cls == ErrorClass::kNotFound;
    // An error of no known class outside tools and providers (a bug in the agent's own
    // code, say) stopped the run, but no failure pattern explains it.
    Cat cat = tool ? Cat::kToolFailure : service ? Cat::kProviderError : Cat::kUnexplainedFailure;
    return failure_finding(r, fl, cat);
  }
  return std::nullopt;
}

// Keeps, of the loops found, the one anchored earliest.
void keep_earliest(std::optional<Detected>& best, Detected d) {
  if (!best || d.anchor < best->anchor) best = std::move(d);
}

// The same call (tool and arguments) made again and again with nothing new coming back.
void same_calls(const Run& r, std::optional<Detected>& best) {
  const auto& calls = r.facts.calls;
  std::map<std::pair<std::string_view, std::string_view>, std::vector<size_t>> groups;
  for (size_t k = 0; k < calls.size(); ++k)
    groups[{calls[k].tool, calls[k].arguments}].push_back(k);
  for (const auto& [key, ks] : groups) {
    if (ks.size() < kRepeatedCalls) continue;
    bool same = true, empty = true, failed = true;
    for (size_t k : ks) {
      same = same && calls[k].has_result && calls[k].result_hash == calls[ks[0]].result_hash;
      empty = empty && calls[k].has_result && calls[k].empty && !calls[k].failed;
      failed = failed && calls[k].failed;
    }
    if (!same && !empty) continue;
    // The same data fetched again is often a check, not a loop: it takes one call more.
    if (!empty && !failed && ks.size() < kRepeatedSameData) continue;
    const Call& first_repeat = calls[ks[1]];
    std::string returned =
        failed
            ? "the same error: " + error_of(r, first_repeat.result_step.value_or(first_repeat.step))
        : empty ? std::string("nothing")
                : "the same result: " + cut(first_repeat.result_preview, 80);
    const bool search = first_repeat.search || empty;
    Detected d{search ? Cat::kNavigationLoopWithoutProgress : Cat::kReasoningLoop,
               first_repeat.step,
               first_repeat.result_step,
               ks[1],
               {fill_template(kRepeated,
                              {first_repeat.tool, std::to_string(ks.size()),
                               first_repeat.shown_arguments.empty() ? std::string("(none)")
                                                                    : first_repeat.shown_arguments,
                               index_text(r, calls[ks[0]].step)}),
                fill_template(kSameResult, {returned})},
               std::nullopt};
    if (!r.facts.steps[first_repeat.step].agent.empty())
      d.evidence.push_back(fill_template(kIssuedBy, {r.facts.steps[first_repeat.step].agent}));
    keep_earliest(best, std::move(d));
  }
}

// A search tool that never found anything, however it was asked.
void empty_searches(const Run& r, std::optional<Detected>& best) {
  const auto& calls = r.facts.calls;
  std::map<std::string_view, std::vector<size_t>> by_tool;
  for (size_t k = 0; k < calls.size(); ++k)
    if (calls[k].search) by_tool[calls[k].tool].push_back(k);
  bool any_data = false;
  for (const auto& c : calls) any_data = any_data || (c.has_result && !c.empty && !c.failed);
  for (const auto& [tool, ks] : by_tool) {
    if (ks.size() < kEmptySearchCalls || any_data) continue;
    bool empty = true;
    for (size_t k : ks) empty = empty && calls[k].has_result && calls[k].empty;
    if (!empty) continue;
    const Call& second = calls[ks[1]];
    keep_earliest(
        best,
        Detected{Cat::kNavigationLoopWithoutProgress,
                 second.step,
                 second.result_step,
                 ks[1],
                 {fill_template(kEmptySearches, {std::string(tool), std::to_string(ks.size())})},
                 std::nullopt});
  }
}

// A coordinating agent giving the same instruction again and again (chats of several
// agents; one agent running the same command again after an edit is ordinary work).
void repeated_instructions(const Run& r, std::optional<Detected>& best) {
  if (r.facts.chat && r.facts.agents > 1) {
    std::map<std::string, std::vector<size_t>> said;
    for (size_t i = 0; i < r.facts.steps.size(); ++i) {
      if (r.facts.steps[i].role != StepRole::kModel) continue;
      std::string text = norm(answer_text(step_at(r, i)));
      if (text.size() < kMinRepeatedMessageBytes) continue;
      said[r.facts.steps[i].agent + '\n' + text].push_back(i);
    }
    for (const auto& [key, at] : said) {
      if (at.size() < kRepeatedMessages) continue;
      const std::string& agent = r.facts.steps[at[1]].agent;
      keep_earliest(best, Detected{Cat::kReasoningLoop,
                                   at[1],
                                   std::nullopt,
                                   std::nullopt,
                                   {fill_template(kRepeatedMessage,
                                                  {agent.empty() ? name_of(r, at[1]) : agent,
                                                   std::to_string(at.size()), index_text(r, at[0]),
                                                   cut(answer_text(step_at(r, at[0])), 100)})},
                                   std::nullopt});
    }
  }
}

// Loops without progress: the same call again and again, a search that never finds
// anything, an instruction given again and again; the one that starts first.
std::optional<Detected> repeated_calls(const Run& r) {
  std::optional<Detected> best;
  same_calls(r, best);
  empty_searches(r, best);
  repeated_instructions(r, best);
  return best;
}

// A worker agent that failed while its parent went on and finished as if it had a result.
std::optional<Detected> lost_worker_result(const Run& r) {
  const auto& steps = r.facts.steps;
  std::map<std::string_view, size_t> last_work;  // agent -> its last successful step
  for (size_t k = 0; k < steps.size(); ++k) {
    if (!steps[k].failed && is_agent_work(steps[k].role)) last_work[steps[k].agent] = k;
  }
  for (const auto& fl : r.failures) {
    if (steps[fl.at].role != StepRole::kWorker || fl.retried_by) continue;
    const std::string& parent = steps[fl.at].agent;
    auto went = last_work.find(parent);
    const bool went_on = went != last_work.end() && went->second > fl.at;
    if (!went_on || !r.facts.final_answer || *r.facts.final_answer < fl.at ||
        r.facts.final_declines)
      continue;
    const std::string worker = name_of(r, fl.at);
    Detected d{Cat::kMissingWorkerResult,
               fl.at,
               *r.facts.final_answer,
               std::nullopt,
               {fill_template(kWorkerFailed, {worker, index_text(r, fl.at), error_of(r, fl.at)}),
                fill_template(kWentOn, {parent.empty() ? std::string("agent") : parent,
                                        index_text(r, *r.facts.final_answer),
                                        name_of(r, *r.facts.final_answer)})},
               fl.at};
    return d;
  }
  return std::nullopt;
}

// Every search came back empty, no tool returned data, and the answer still states specifics.
std::optional<Detected> answer_without_evidence(const Run& r) {
  const auto& f = r.facts;
  if (!f.final_answer || f.final_declines) return std::nullopt;
  size_t searches = 0;
  std::optional<size_t> first;
  for (const auto& c : f.calls) {
    if (c.has_result && !c.empty && !c.failed) return std::nullopt;
    if (!c.search) continue;
    if (!c.has_result) return std::nullopt;
    ++searches;
    if (!first) first = c.result_step.value_or(c.step);
  }
  if (searches == 0 || *first > *f.final_answer) return std::nullopt;
  // In a conversation the answer to what was searched is the agent's first text after the
  // searches, not its last words.
  size_t answer_at = *f.final_answer;
  if (f.chat) {
    size_t after = 0;
    for (const auto& c : f.calls) after = std::max(after, c.result_step.value_or(c.step));
    for (size_t k = after + 1; k < f.steps.size(); ++k) {
      if (f.steps[k].role == StepRole::kModel && !trim_ascii(answer_text(step_at(r, k))).empty()) {
        answer_at = k;
        break;
      }
    }
  }
  const std::string answer = answer_text(step_at(r, answer_at));
  if (trim_ascii(answer).empty() || (answer_at != *f.final_answer && declines(answer)))
    return std::nullopt;
  const Cat cat = r.status_stated_failed ? Cat::kUnsupportedAfterEmptyRetrieval
                                         : Cat::kUnsupportedAfterEmptyRetrievalSuccess;
  return Detected{cat,
                  answer_at,
                  *first,
                  std::nullopt,
                  {fill_template(kNoEvidence, {std::to_string(searches), index_text(r, *first),
                                               name_of(r, *first)}),
                   fill_template(kAnswered, {index_text(r, answer_at), cut(answer, 120)})},
                  std::nullopt};
}

// A transient error that a retry of the same operation got past.
std::optional<Detected> recovered_retry(const Run& r) {
  for (const auto& fl : r.failures) {
    const ErrorClass cls = r.facts.steps[fl.at].error.cls;
    if (!fl.retried_by || !is_transient(cls)) continue;
    Detected d = failure_finding(r, fl,
                                 cls == ErrorClass::kTimeout ? Cat::kRecoveredTimeoutAfterRetry
                                                             : Cat::kRecoveredErrorAfterRetry);
    d.evidence.push_back(
        fill_template(kRetried, {index_text(r, fl.at), name_of(r, fl.at), error_class_name(cls),
                                 index_text(r, *fl.retried_by)}));
    return d;
  }
  return std::nullopt;
}

// A run recorded or stated as failed in which nothing known shows.
std::optional<Detected> unexplained_failure(const Run& r) {
  if (!r.status_stated_failed) return std::nullopt;
  std::optional<size_t> last;
  for (const auto& fl : r.failures) last = fl.at;
  Detected d{Cat::kUnexplainedFailure,
             last.value_or(r.trace.steps.empty() ? 0 : r.trace.steps.size() - 1),
             std::nullopt,
             std::nullopt,
             {fill_template(kStatedFailed, {norm(r.trace.status)})},
             last};
  if (last)
    d.evidence.push_back(
        fill_template(kLastError, {index_text(r, *last), name_of(r, *last), error_of(r, *last)}));
  else
    d.evidence.push_back(std::string(kNoError));
  return d;
}

struct DetectorRow {
  std::string_view name;
  std::string_view reads;  // the facts it reads, for documentation and tests
  Detector detect;
};

// In order of precedence: what stops a run outright, then loops and lost results, then the
// class of the error that stopped it, then answers without evidence, recovered errors, and a
// failure nothing explains.
// clang-format off
constexpr DetectorRow kDetectors[] = {
  {"content_filter",          "finish reasons, error types",                  of_class<ErrorClass::kContentFilter, Cat::kSafetyPolicy>},
  {"authentication",          "HTTP status 401/403, error types",             of_class<ErrorClass::kAuthentication, Cat::kAuthenticationFailure>},
  {"repeated_calls",          "tool names, normalised arguments and results", repeated_calls},
  {"lost_worker_result",      "worker agents' status, the parent's later steps", lost_worker_result},
  {"turn_limit",              "error types, the frameworks' limit messages",  of_class<ErrorClass::kTurnLimit, Cat::kTurnLimitReached>},
  {"rate_limit",              "HTTP status 429, error types",                 of_class<ErrorClass::kRateLimit, Cat::kRateLimited>},
  {"invalid_json",            "error types, parser messages",                 of_output<ErrorClass::kInvalidJson, Cat::kInvalidJsonResponse>},
  {"schema_validation",       "error types",                                  of_output<ErrorClass::kSchema, Cat::kSchemaMismatch>},
  {"timeout",                 "error types, HTTP 408/504, exit code 124",     of_class<ErrorClass::kTimeout, Cat::kTimeout>},
  {"answer_without_evidence", "results of searches and tools, the final answer", answer_without_evidence},
  {"stopped_at_error",        "failed steps not retried or worked around",    stopped_at_error},
  {"recovered_retry",         "failed calls and later successes of the same operation", recovered_retry},
  {"unexplained_failure",     "the run's recorded or stated status",          unexplained_failure},
};
// clang-format on

RootCause to_root_cause(const Run& r, const Detected& d) {
  // A run without steps can only be stated failed: its finding has no anchor.
  const bool anchored = d.anchor < r.trace.steps.size();
  RootCause rc = build_finding(category(d.cat).text, anchored ? &step_at(r, d.anchor) : nullptr,
                               TraceSignals{});
  std::vector<std::string> evidence = d.evidence;
  for (auto& line : rc.evidence) evidence.push_back(std::move(line));
  rc.evidence = std::move(evidence);
  Culprit c;
  if (!anchored) {
    rc.culprit = std::move(c);
    return rc;
  }
  const StepFacts& facts = r.facts.steps[d.anchor];
  if (!facts.id.empty()) c.step_id = facts.id;
  c.agent = responsible_agent(r, d.anchor);
  // The anchoring step's error, else the error of the step where the failure shows.
  for (std::optional<size_t> at : {std::optional<size_t>(d.anchor), d.error_step}) {
    if (at && step_at(r, *at).error_message) {
      c.error = cut(*step_at(r, *at).error_message, 500);
      break;
    }
  }
  if (d.call) {
    c.tool = r.facts.calls[*d.call].tool;
    if (!r.facts.calls[*d.call].shown_arguments.empty())
      c.arguments = r.facts.calls[*d.call].shown_arguments;
  }
  if (d.shown_at && *d.shown_at != d.anchor) {
    const TraceStep& at = step_at(r, *d.shown_at);
    StepRef ref{at.step_index, step_label(at), std::nullopt};
    if (!r.facts.steps[*d.shown_at].id.empty()) ref.step_id = r.facts.steps[*d.shown_at].id;
    c.shown_at = std::move(ref);
  }
  rc.culprit = std::move(c);
  return rc;
}

RootCause healthy_finding(const Run& r) {
  RootCause rc = build_finding(category(Cat::kHealthyRun).text, nullptr, TraceSignals{});
  if (!r.facts.run_succeeded) rc.evidence = {"No failure shows in the run's recorded structure"};
  return rc;
}

// The outcome word from the finding: a failure is a failed run, a recovered or degraded
// finding a degraded one, a healthy run a success.
std::string outcome_for(const RootCause& rc, bool failure) {
  if (failure) return "failed";
  return outcome_of(std::string("completed"), rc.label);
}

bool is_failure(Cat cat) {
  switch (cat) {
    case Cat::kHealthyRun:
    case Cat::kRecoveredTimeoutAfterRetry:
    case Cat::kRecoveredErrorAfterRetry:
    case Cat::kUnsupportedAfterEmptyRetrievalSuccess:
      return false;
    default:
      return true;
  }
}

// What the agents said of their own work, when the structure shows nothing: the fixed
// engine's rules over the agents' own messages only, with every payload (tool results,
// fetched pages, command output, user and system messages) left out, so that only the run
// speaking about itself can make a finding.
std::optional<RootCause> what_agents_said(const Run& r, const DiagnoseOptions& options) {
  if (!r.facts.chat) return std::nullopt;
  Trace said;
  said.status = r.trace.status;
  said.title = r.trace.title;
  std::vector<size_t> at;  // the position in the run of each step kept
  for (size_t i = 0; i < r.trace.steps.size(); ++i) {
    if (r.facts.steps[i].role != StepRole::kModel) continue;
    said.steps.push_back(r.trace.steps[i]);
    // An agent quoting an error is not a failed step: its words are read, not its status.
    said.steps.back().status = "completed";
    said.steps.back().error_message.reset();
    at.push_back(i);
  }
  DiagnoseOptions only_primary = options;
  only_primary.include_secondary_issues = false;
  only_primary.include_recommendations = false;
  std::optional<RootCause> rc = diagnose_run(said, only_primary).root_cause;
  if (!rc || rc->label == category(Cat::kHealthyRun).text.label) return std::nullopt;
  for (size_t k = 0; k < said.steps.size(); ++k) {
    if (rc->step_index && said.steps[k].step_index == rc->step_index) {
      Culprit c;
      if (!r.facts.steps[at[k]].id.empty()) c.step_id = r.facts.steps[at[k]].id;
      c.agent = responsible_agent(r, at[k]);
      rc->culprit = std::move(c);
      break;
    }
  }
  if (!rc->culprit) rc->culprit = Culprit{};
  return rc;
}

}  // namespace

Diagnosis analyse_recorded_run(const Trace& trace, const DiagnoseOptions& options) {
  const RunFacts facts = read_run_facts(trace);
  Run r{trace, facts, find_failures(trace, facts), false};
  r.status_stated_failed = facts.run_failed && !trace.status_inferred;

  Diagnosis d;
  d.analysis = std::string(kRecordedAnalysis);
  std::optional<Cat> primary;
  for (const auto& row : kDetectors) {
    std::optional<Detected> found = row.detect(r);
    if (!found) continue;
    RootCause rc = to_root_cause(r, *found);
    if (!primary) {
      primary = found->cat;
      d.root_cause = std::move(rc);
    } else if (options.include_secondary_issues.value_or(true) && found->cat != *primary) {
      d.secondary_issues.push_back(std::move(rc));
    }
  }
  bool failure = primary && is_failure(*primary);
  if (!d.root_cause) {
    if (auto said = what_agents_said(r, options)) {
      d.root_cause = std::move(said);
      // Label words say a recovered or degraded run; any other finding is a failure.
      failure = outcome_of(std::nullopt, d.root_cause->label) == "unknown";
    }
  }
  if (!d.root_cause) d.root_cause = healthy_finding(r);
  if (options.include_recommendations.value_or(true)) {
    d.recommendations = guidance_recommendations(*d.root_cause);
    if (!d.recommendations)
      d.recommendations = build_recommendations(*d.root_cause, d.secondary_issues);
  }
  d.outcome = outcome_for(*d.root_cause, failure);
  return d;
}

Diagnosis diagnose_trace(const Trace& trace, const DiagnoseOptions& options) {
  if (!options.exact_engine.value_or(false) && trace.recorded_from)
    return analyse_recorded_run(trace, options);
  return diagnose_run(trace, options);
}

}  // namespace tracedx
