#include "diagnosis/classify.h"

#include <gtest/gtest.h>

#include <set>

#include "diagnosis/signals.h"
#include "test_support.h"

// Rows of these tables stay one case per line, aligned by hand.
// clang-format off

namespace tracedx {
namespace {

using test_support::run_of;
using test_support::trace_of;

std::optional<RootCause> primary_of(const Trace& t) {
  return classify_primary(scan_trace(t, 2500));
}

std::string winner_key(const Trace& t) {
  auto candidates = collect_candidates(scan_trace(t, 2500));
  const Candidate* best = select_primary(candidates);
  return best ? std::string(category(best->cat).key) : "<none>";
}

TEST(Categories, OneRecordPerKey) {
  std::set<std::string_view> keys;
  for (size_t i = 0; i < categories().size(); ++i) {
    const Category& c = categories()[i];
    EXPECT_EQ(static_cast<size_t>(c.cat), i) << c.key;
    EXPECT_TRUE(keys.insert(c.key).second) << c.key;
    EXPECT_FALSE(c.text.label.empty());
    EXPECT_TRUE(c.text.explanations[0].text.ends_with(".")) << c.key;
  }
  // 43 categories of the fixed engine and 6 that only recorded runs get.
  EXPECT_EQ(keys.size(), 49u);
}

// One trace per category, each making that category the primary finding.
struct CategoryRow {
  const char* key;
  const char* fixture;
  RootCause expected;
};

const CategoryRow kCategoryRows[] = {
  {"unsupported_after_empty_retrieval",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 1, "step_type": "search", "display_name": "Policy search", "summary": "No results"}, {"step_index": 2, "step_type": "final_answer", "raw_output": "Refunds need 40% approval"}]})",
   {2, "Unsupported answer after empty retrieval", {"Retrieval or evidence merge produced no usable evidence", "Final answer remained specific or confident despite missing evidence"},
    "final_output", "high", "Retrieval returned no usable evidence, but the run still produced a confident unsupported answer.", "final_answer"}},
  {"tool_output_misinterpretation",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 4, "step_type": "retrieval", "summary": "Partial PDF extracted"}]})",
   {4, "Tool output misinterpretation", {"The trace references partial coverage, incomplete extraction, or malformed tool output", "Downstream logic interpreted the tool output as complete evidence"},
    "retrieve", "high", "The run relied on partial or incomplete tool output and treated it as if it were complete evidence coverage.", "retrieval"}},
  {"wrong_page_navigation",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 1, "step_type": "plan"}, {"step_index": 2, "step_type": "browse", "summary": "Opened the wrong page of the archive"}]})",
   {2, "Retrieval drift / wrong-page navigation", {"Retrieval/navigation text contains wrong-page or archive-drift indicators", "The failure is caused by navigation drift rather than a pure retrieval outage"},
    "retrieve", "high", "The run drifted onto the wrong page or archive target during navigation, so retrieval kept grounding on the wrong destination.", "browse"}},
  {"navigation_loop_without_progress",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 1, "step_type": "search", "summary": "No useful results"}, {"step_index": 2, "step_type": "search", "summary": "no useful results again"}]})",
   {1, "Navigation / retrieval loop without progress", {"Repeated low-yield retrieval/search attempts were detected", "The retrieval path showed low progress instead of converging on useful evidence"},
    "retrieve", "high", "The run repeatedly searched or navigated through similar retrieval targets without making meaningful progress toward evidence.", "search"}},
  {"generic_fallback",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 1, "step_type": "kb_lookup", "summary": "weak hits"}, {"step_index": 2, "step_type": "final", "summary": "Gave the fallback answer"}]})",
   {1, "Retrieval fallback or generic answer", {"Retrieval failed or returned weak evidence", "Final answer used generic fallback language rather than grounded details"},
    "retrieve", "medium", "Retrieval failed or returned weak evidence, so the run fell back to a cautious generic answer instead of grounded specifics.", "kb_lookup"}},
  {"generic_retrieval_failure",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 3, "step_type": "Retriever", "status": "failed", "display_name": "Vector store"}]})",
   {3, "Retrieval failure or empty evidence", {"Failure occurs in retrieval-related step", "Evidence quality appears low or empty"},
    "Retriever", "medium", "The run appears to fail after retrieval returned weak or empty evidence.", "Vector store"}},
  {"invalid_json_response",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 5, "step_type": "model_call", "status": "error", "error_message": "Invalid JSON in response"}]})",
   {5, "Invalid JSON response", {"Step 5 failed while parsing structured output.", "The error/output contains explicit invalid-JSON indicators.", "This usually means the model formatting drifted outside the required JSON shape."},
    "Reason", "high", "The model returned content that was expected to be JSON, but the response was not valid JSON when the parser tried to read it.", "model_call"}},
  {"schema_mismatch",
   R"({"run": {"status": "failed"}, "steps": [{"step_type": "llm", "status": "failed", "error_message": "Schema validation failed"}]})",
   {std::nullopt, "Structured output schema mismatch", {"Step -1 failed during validation of structured output.", "The error/output contains schema or validation indicators.", "Required fields were missing, typed incorrectly, or shaped differently than expected."},
    "Other", "high", "The model returned structured data, but it did not match the expected schema or validation contract.", "llm"}},
  {"tool_output_format_failure",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 2, "step_type": "browser_tool", "status": "failed", "error_message": "Raw browser artifact returned"}]})",
   {2, "Tool output format / parsing failure", {"Step 2 contains tool-output format or parsing-failure indicators.", "The trace references browser artifacts, malformed structured payloads, or parser/type-mismatch output instead of normalized tool data.", "This is more specific than generic retrieval failure because the output shape broke the run."},
    "Retrieve", "high", "The step failed because the tool or browser returned output in an unusable format, such as raw screenshots, search-page artifacts, or malformed structured payload text.", "browser_tool"}},
  {"grounding_failure",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 6, "step_type": "final_answer", "status": "failed", "error_message": "Could not verify the claim"}]})",
   {6, "Grounding failure", {"Step 6 contains evidence or verification failure indicators.", "The output or error suggests unsupported claims, missing evidence, or contradiction with retrieved context.", "This usually means the agent answered beyond what its sources could justify."},
    "Output", "high", "The run reached a point where the answer or reasoning was not supported by retrieved evidence, or the model could not verify its claims against available sources.", "final_answer"}},
  {"reflection_dependency_failure",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 3, "step_type": "reflection", "status": "failed", "error_message": "Unresolved dependency"}]})",
   {3, "Reflection failure: unresolved dependency constraints", {"Step 3 failed in a reflection-style reasoning step.", "Error text mentions dependency or constraint resolution problems.", "This is a concrete validation failure, not a generic unknown reasoning error."},
    "Reason", "high", "The run failed during a reflection or validation step because the model could not resolve dependency-related constraints.", "reflection"}},
  {"llm_reflection_failure",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 3, "step_type": "validator", "status": "failed", "error_message": "self-check broke"}]})",
   {3, "LLM reflection failure", {"Step 3 failed in a reflection-style reasoning step.", "The failure occurred while the agent was evaluating or validating its own intermediate result.", "This is more specific than a generic reasoning failure because the reflection/check stage itself failed."},
    "Reason", "high", "The run failed during a reflection, validation, or self-check step inside the reasoning phase.", "validator"}},
  {"response_drafting_failure",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 7, "step_type": " Compose_Response ", "status": "failed", "error_message": "Draft failed"}]})",
   {7, "Response drafting failure", {"Step 7 failed in the Output phase.", "Failed step type: compose_response"},
    "Output", "medium", "The run reached the answer generation stage but failed while composing the final response.", " Compose_Response "}},
  {"recovered_timeout_after_retry",
   R"({"run": {"status": "completed"}, "steps": [{"step_index": 1, "step_type": "tool", "status": "failed", "error_message": "Timed out"}, {"step_index": 2, "step_type": "tool", "status": "completed"}]})",
   {std::nullopt, "Recovered timeout after retry", {"A failed step contained timeout indicators", "A later retry or follow-up step succeeded", "The final run status remained successful after recovery"},
    "Tool", "medium", "A timeout occurred during execution, but a later retry succeeded and the run completed successfully.", std::nullopt}},
  {"unsupported_after_empty_retrieval_success",
   R"({"run": {"status": "completed"}, "steps": [{"step_type": "search", "summary": "No results"}, {"step_type": "final_answer", "raw_output": "Refunds need 40% approval"}]})",
   {std::nullopt, "Unsupported answer after empty retrieval", {"Retrieval or evidence merge produced no usable evidence", "Final answer remained specific or confident despite missing evidence"},
    "Output", "high", "Retrieval returned no usable evidence, but the run still produced a confident unsupported answer.", std::nullopt}},
  {"silent_failure_success",
   R"({"run": {"status": "completed"}, "steps": [{"step_type": "ingest", "metadata": {"skipped_sources": ["b"]}}]})",
   {std::nullopt, "Silent failure masked as success", {"The successful trace still contains silent-failure indicators", "This should be surfaced separately from a healthy success baseline"},
    "Output", "high", "The run reported a completed outcome, but critical work was skipped, degraded, or never actually completed before success was emitted.", std::nullopt}},
  {"partial_completion_success",
   R"({"run": {"status": "completed"}, "steps": [{"step_type": "report", "metadata": {"missing_sections": ["risks"]}}]})",
   {std::nullopt, "Partial completion with missing components", {"The trace references missing sections, skipped components, or incomplete task coverage despite a success-like outcome", "This should not be treated as a fully healthy run"},
    "Output", "high", "The run completed only part of the requested work and left missing required sections, outputs, or components unresolved.", std::nullopt}},
  {"recovered_coordination_conflict",
   R"({"run": {"status": "completed"}, "steps": [{"step_type": "arbiter", "summary": "Arbiter resolved the dispute"}]})",
   {std::nullopt, "Recovered coordination conflict", {"The trace shows conflicting worker outputs followed by an explicit resolution step", "This should be surfaced separately from a completely healthy run"},
    "Reason", "medium", "Multiple agent branches conflicted, but an arbiter or coordinator resolved the disagreement and the run still completed successfully.", std::nullopt}},
  {"recovered_state_issue",
   R"({"run": {"status": "completed"}, "steps": [{"step_type": "memory", "metadata": {"corrected_state_key": "plan"}}]})",
   {std::nullopt, "Recovered state issue", {"Cached or remembered state was corrected before final output", "Run completed successfully after state recovery"},
    "Output", "medium", "A stale or cached state value was corrected by a source-of-truth step before the final answer was produced.", std::nullopt}},
  {"loop_like_search_success",
   R"({"run": {"status": "completed"}, "steps": [{"step_type": "plan", "metadata": {"loop_iteration": 1}}, {"step_type": "plan", "metadata": {"loop_iteration": 2}}]})",
   {std::nullopt, "Loop-like search without convergence", {"Repeated low-yield search or loop-like reasoning signals were detected", "This should be treated as a degraded success, not a clean healthy path"},
    "Reason", "medium", "The run completed, but it repeated similar retrieval or reasoning attempts with little change before eventually producing an answer.", std::nullopt}},
  {"slow_retrieval_success",
   R"({"run": {"status": "completed"}, "steps": [{"step_type": "search", "duration_ms": 3000}, {"step_type": "search", "duration_ms": 2600}]})",
   {std::nullopt, "Slow retrieval bottleneck", {"2 retrieval or lookup steps exceeded the slow threshold", "This indicates degraded-but-successful behavior rather than a fully healthy completion"},
    "Retrieve", "medium", "Multiple retrieval or evidence-gathering steps exceeded the slow threshold, so the run succeeded but was dominated by retrieval latency.", std::nullopt}},
  {"recovered_noisy_artifact",
   R"({"run": {"status": "passed"}, "steps": [{"step_type": "retrieval", "status": "failed", "summary": "Captured the search page"}, {"step_type": "final", "status": "completed"}]})",
   {std::nullopt, "Recovered noisy trace artifact", {"A retrieval step captured noisy artifact content", "Later steps still produced a successful final output"},
    "Output", "medium", "A noisy retrieval artifact appeared in the trace, but the run recovered and still completed successfully.", std::nullopt}},
  {"healthy_run",
   R"({"run": {"status": "completed"}, "steps": [{"step_type": "plan", "status": "completed"}]})",
   {std::nullopt, "Healthy run", {"Run status indicates success"},
    "Output", "medium", "The run completed without an obvious failure signal in this Phase 2 starter engine.", std::nullopt}},
  {"safety_policy",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 2, "step_type": "llm", "status": "failed", "error_message": "Blocked by content filter"}]})",
   {2, "Safety-policy / content-filter failure", {"The failed step or broader run payload contains content-filter or policy-violation indicators", "This should be handled separately from generic parser, retrieval, or reasoning failures"},
    "llm", "high", "The run was blocked by a model safety policy or content filter rather than by a normal retrieval, reasoning, or tool failure.", "llm"}},
  {"timeout",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 2, "status": "failed", "error_message": "Deadline exceeded"}]})",
   {2, "Timeout or stalled execution", {"Failed step contains timeout signal", "Execution stopped at a failed step"},
    "Unknown", "medium", "The run appears to fail because a step timed out or stalled.", "Step"}},
  {"context_poisoning",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 4, "step_type": "validation", "status": "failed", "error_message": "Wrong entity used downstream"}]})",
   {4, "Context poisoning or incorrect upstream assumption", {"Validation step detected mismatch between requested and used entity", "Downstream reasoning or final output appears grounded on the wrong entity"},
    "validation", "high", "An early low-confidence or incorrect entity assumption propagated into downstream retrieval, validation, and final output.", "validation"}},
  {"missing_required_state",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 2, "step_type": "action", "status": "failed", "error_message": "Missing prior state"}]})",
   {2, "Missing required state from prior step", {"The trace references absent prior-step state or memory", "This is a state-management failure rather than a generic reasoning or handoff issue"},
    "action", "high", "A downstream step expected prior state, memory, or session data, but the required state was missing when execution continued.", "action"}},
  {"stale_memory",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 2, "step_type": "memory", "status": "failed", "error_message": "Stale memory used"}]})",
   {2, "Stale memory usage", {"Older memory or cached state appears to have overridden newer evidence", "This should be treated as a memory freshness problem instead of a generic reasoning failure"},
    "memory", "high", "The run used outdated memory or cached state that no longer matched fresher evidence or the current task context.", "memory"}},
  {"state_corruption",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 2, "step_type": "memory", "status": "failed", "error_message": "Memory overwrite detected"}]})",
   {2, "Memory overwrite / state corruption", {"The trace references overwritten state, duplicate writes, or conflicting memory entries", "This is a state integrity issue rather than a generic tool or reasoning failure"},
    "memory", "high", "Stored state appears to have been overwritten, duplicated, or corrupted so later steps could not trust or reconcile it.", "memory"}},
  {"parse_failure",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 2, "step_type": "parse", "status": "failed", "error_message": "boundary broke"}]})",
   {2, "Parse failure over noisy artifact", {"A parse or decode boundary failed while handling structured output"},
    "parse", "high", "A structured parse step failed after noisy artifact content contaminated the trace or payload.", "parse"}},
  {"reasoning_loop",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 1, "step_type": "plan", "metadata": {"loop_risk": "high"}}, {"step_index": 2, "step_type": "plan", "metadata": {"loop_risk": "high"}}, {"step_index": 3, "step_type": "plan", "status": "failed"}]})",
   {3, "Reasoning loop without convergence", {"Loop-like or no-convergence indicators were detected in reasoning or planning steps", "This is better explained as a reasoning loop than as a generic downstream failure"},
    "plan", "high", "The run kept re-planning or retrying similar reasoning and search strategies without making enough progress toward a grounded answer.", "plan"}},
  {"conflicting_outputs",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 3, "step_type": "synthesis", "status": "failed", "metadata": {"coordination_failure": "conflicting_outputs"}}]})",
   {3, "Conflicting multi-agent outputs", {"Multiple worker outputs disagree on the same question", "Arbitration or reconciliation failed before final answer generation"},
    "synthesis", "high", "Parallel workers produced conflicting conclusions and the arbiter could not reconcile them into a reliable final answer.", "synthesis"}},
  {"missing_arbiter",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 3, "step_type": "synthesis", "status": "failed", "summary": "Missing arbitration"}]})",
   {3, "Missing arbiter or reconciliation step", {"Parallel delegation completed without an arbitration step", "Final output was attempted before worker disagreement was reconciled"},
    "synthesis", "high", "Parallel worker outputs were never reconciled by an arbiter before the final answer was produced.", "synthesis"}},
  {"missing_worker_result",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 3, "step_type": "synthesis", "status": "failed", "summary": "Missing delegated result"}]})",
   {3, "Missing delegated worker result", {"Delegated worker result was missing at synthesis time", "Coordination failed before downstream summarization or finalization"},
    "synthesis", "high", "A planner delegated work to a worker, but the downstream synthesis step proceeded without receiving the worker result.", "synthesis"}},
  {"duplicate_delegation",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 3, "step_type": "coordinator", "status": "failed", "summary": "Duplicate delegation"}]})",
   {3, "Duplicate worker delegation", {"The same task key was assigned to multiple workers", "Coordinator detected redundant delegation before completion"},
    "coordinator", "medium", "The same subtask was delegated multiple times, causing redundant worker execution and wasted coordination budget.", "coordinator"}},
  {"tool_output_misinterpretation_failure",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 3, "step_type": "reader", "status": "failed", "summary": "Partial coverage only"}]})",
   {3, "Tool output misinterpretation", {"The trace contains partial coverage or malformed tool output indicators", "The failure is caused by output-shape misinterpretation, not just source unavailability"},
    "reader", "high", "The run relied on partial or malformed tool output and then misinterpreted that output as if it were complete evidence or a valid payload.", "reader"}},
  {"handoff_payload_failure",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 3, "step_type": "dispatch", "status": "failed", "error_message": "Handoff payload incomplete"}]})",
   {3, "Handoff payload missing required fields", {"Downstream step expected required handoff fields that were not present", "Execution failed after a partial but unusable upstream handoff"},
    "dispatch", "high", "An upstream step succeeded, but the downstream step received an incomplete handoff payload and could not continue.", "dispatch"}},
  {"partial_completion_failure",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 3, "step_type": "report", "status": "failed", "summary": "Missing sections"}]})",
   {3, "Partial completion with missing components", {"The trace references missing sections, skipped components, or incomplete task coverage", "This should be treated as incomplete execution rather than a generic failure"},
    "report", "high", "Only part of the requested work completed and key sections, outputs, or components were still missing when execution failed.", "report"}},
  {"silent_failure",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 3, "step_type": "ingest", "status": "failed", "summary": "Skipped silently"}]})",
   {3, "Silent failure masked as success", {"The trace suggests success-like behavior even though required work was skipped or degraded", "This should be surfaced explicitly instead of collapsing into a generic failure"},
    "ingest", "high", "The trace contains success-masked failure signals, where required work was skipped or degraded before the run was recognized as unsuccessful.", "ingest"}},
  {"role_mismatch",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 3, "step_type": "delegate", "status": "failed", "summary": "Role mismatch"}]})",
   {3, "Worker role mismatch", {"Delegated worker type does not match the task requirements", "Execution failed because the assigned worker or tool could not perform the needed operation"},
    "delegate", "medium", "The planner assigned the wrong worker type or tool for the task, so the delegated step could not access the required resource or document capability.", "delegate"}},
  {"failed_lookup_with_fallback",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 1, "step_type": "crm_lookup", "status": "failed", "error_message": "Customer not found"}, {"step_index": 2, "step_type": "final", "status": "completed", "summary": "Default response sent"}]})",
   {1, "Fallback after failed customer lookup", {"Customer lookup failed after retrieval produced only partial support", "Final output used a fallback response instead of confirmed customer state"},
    "crm_lookup", "medium", "A customer lookup failed after a slow retrieval step, and the run fell back to a default answer instead of grounded customer data.", "crm_lookup"}},
  {"tool_failure",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 3, "step_type": "tool_call", "status": "failed", "error_message": "boom"}]})",
   {3, "Tool failure or misuse", {"Failure occurs in tool-related step", "Tool path likely broke execution"},
    "tool_call", "medium", "The run appears to fail around a tool invocation or tool result handling.", "tool_call"}},
  {"generic_failure",
   R"({"run": {"status": "failed"}, "steps": [{"step_index": 3, "step_type": "delegation", "status": "failed"}]})",
   {3, "Run failure during execution", {"At least one step has failed status", "Execution did not complete successfully"},
    "delegation", "medium", "The run stopped at a failed step before reaching a healthy completion path.", "delegation"}},
};

TEST(ClassifyPrimary, EveryCategoryWithItsTexts) {
  std::set<std::string> seen;
  for (const auto& row : kCategoryRows) {
    Trace t = trace_of(row.fixture);
    EXPECT_EQ(winner_key(t), row.key);
    auto rc = primary_of(t);
    ASSERT_TRUE(rc) << row.key;
    EXPECT_EQ(rc->label, row.expected.label) << row.key;
    EXPECT_EQ(rc->severity, row.expected.severity) << row.key;
    EXPECT_EQ(rc->phase, row.expected.phase) << row.key;
    EXPECT_EQ(rc->evidence, row.expected.evidence) << row.key;
    EXPECT_EQ(rc->explanation, row.expected.explanation) << row.key;
    EXPECT_EQ(rc->step_index, row.expected.step_index) << row.key;
    EXPECT_EQ(rc->step_name, row.expected.step_name) << row.key;
    seen.insert(row.key);
  }
  EXPECT_EQ(seen.size(), 43u);
}

TEST(ClassifyPrimary, NoFindingAndFallbacks) {
  EXPECT_FALSE(primary_of(run_of("failed", "[]")));
  EXPECT_FALSE(primary_of(run_of("failed", R"([{"status":"completed"}])")));
  EXPECT_EQ(winner_key(run_of("completed", "[]")), "healthy_run");
  // Group B runs whatever the status.
  EXPECT_EQ(winner_key(run_of("completed", R"([{"status":"failed"}])")), "generic_failure");
}

struct KeyRow {
  const char* why;
  const char* status;
  const char* steps;
  const char* key;
};

TEST(ClassifyPrimary, TiesAndGates) {
  const KeyRow rows[] = {
      {"tie at 84 goes to the greater key", "failed",
       R"([{"status":"failed","error_message":"invalid json and schema validation"}])", "schema_mismatch"},
      {"schema_mismatch over recovered_coordination_conflict needs a success run; both at 84",
       "error", R"([{"status":"failed","error_message":"pydantic error"}])", "schema_mismatch"},
      {"role_mismatch beats the other 96s", "failed",
       R"([{"status":"failed","summary":"role mismatch, missing delegated result, missing arbitration, duplicate delegation, missing prior state"},
          {"metadata":{"coordination_failure":"conflicting_outputs"}}])", "role_mismatch"},
      {"state_corruption beats stale_memory", "failed",
       R"([{"status":"failed","summary":"stale memory and memory overwrite"}])", "state_corruption"},
      {"tool_output_misinterpretation_failure beats the retrieval check", "failed",
       R"([{"status":"failed","step_type":"search","summary":"partial coverage"}])",
       "tool_output_misinterpretation_failure"},
      {"tool_output_misinterpretation_failure beats silent_failure_success", "completed",
       R"([{"status":"failed","summary":"partial coverage"},{"metadata":{"silent_failure":true}}])",
       "tool_output_misinterpretation_failure"},
      {"timeout on a run that did not pass", "error",
       R"([{"status":"failed","error_message":"timeout"},{"status":"completed","summary":"retry"}])", "timeout"},
      {"no timeout candidate on a recovered success run", "completed",
       R"([{"status":"failed","error_message":"timeout"},{"status":"completed"}])",
       "recovered_timeout_after_retry"},
      {"reflection_dependency beats its companion", "failed",
       R"([{"status":"failed","step_type":"judge","error_message":"constraint unmet"}])",
       "reflection_dependency_failure"},
      {"grounding beats drafting", "failed",
       R"([{"status":"failed","step_type":"final_answer","error_message":"could not verify the final answer"}])",
       "grounding_failure"},
      {"one slow retrieval is no bottleneck", "completed",
       R"([{"step_type":"search","duration_ms":3000}])", "healthy_run"},
      {"state_recovered mutes groups A and B", "completed",
       R"([{"status":"failed","step_type":"tool","error_message":"tool timeout"},
          {"metadata":{"source_of_truth":true}},{"step_type":"final","summary":"fallback"}])",
       "recovered_state_issue"},
      {"a gate signal switches retrieval checks off", "failed",
       R"([{"step_type":"final","summary":"fallback"},{"summary":"schema"}])", "<none>"},
      {"context poisoning from the diagnostic-summary-free failed text", "failed",
       R"([{"status":"failed","raw_output":"User likely meant ACME Ltd"}])", "context_poisoning"},
      {"context poisoning text ignores raw_input", "failed",
       R"([{"status":"failed","raw_input":"likely meant"}])", "generic_failure"},
      {"group C needs a run that is not success-like", "passed",
       R"([{"status":"failed","error_message":"invalid json"}])", "parse_failure"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(winner_key(run_of(row.status, row.steps)), row.key) << row.why;
  }
  EXPECT_EQ(winner_key(trace_of(R"({"run":{"status":"failed","diagnostic_summary":"Wrong entity assumption"},
      "steps":[{"status":"failed"}]})")), "context_poisoning");
}

TEST(ClassifyPrimary, CandidatesAndScores) {
  Trace judge = run_of("failed", R"([{"status":"failed","step_type":"judge","error_message":"constraint"}])");
  std::vector<std::string_view> keys;
  for (const auto& c : collect_candidates(scan_trace(judge, 2500))) keys.push_back(category(c.cat).key);
  EXPECT_EQ(keys, (std::vector<std::string_view>{"generic_failure", "reflection_dependency_failure",
                                                 "llm_reflection_failure"}));

  // Recovery needs a run that passed, and a passed run gets no timeout candidate, so the
  // recovered score is reached only through signals set by hand.
  Trace failing = run_of("error", R"([{"status":"failed","error_message":"timeout"}])");
  TraceScan recovered = scan_trace(failing, 2500);
  recovered.signals.recovered_after_failure = true;
  bool found = false;
  for (const auto& c : collect_candidates(recovered)) {
    if (c.cat == Cat::kTimeout) {
      EXPECT_EQ(c.score, 100u);
      found = true;
    }
  }
  EXPECT_TRUE(found);
  auto rc = classify_primary(recovered);
  EXPECT_EQ(rc->evidence,
            (std::vector<std::string>{"Failed step contains timeout signal",
                                      "A later retry or follow-up step succeeded after the timeout",
                                      "Run completed successfully after recovery"}));
  EXPECT_EQ(rc->explanation, "A timeout occurred, but the run recovered successfully after retry.");
  Trace plain_trace = run_of("failed", R"([{"status":"failed","error_message":"timeout"}])");
  for (const auto& c : collect_candidates(scan_trace(plain_trace, 2500))) {
    if (c.cat == Cat::kTimeout) {
      EXPECT_EQ(c.score, 98u);
    }
  }
}

TEST(ClassifyPrimary, EvidenceVariants) {
  auto timeout = primary_of(run_of("failed", R"([{"status":"failed","error_message":"timeout","summary":"retry"}])"));
  EXPECT_EQ(timeout->evidence,
            (std::vector<std::string>{"Failed step contains timeout signal", "Execution stopped at a failed step",
                                      "Retry behavior detected around the timeout path"}));
  auto no_retry = primary_of(run_of("failed", R"([{"status":"failed","error_message":"timeout"}])"));
  EXPECT_EQ(no_retry->evidence.size(), 2u);
  auto parse = primary_of(run_of("failed", R"([{"status":"failed","step_type":"parse","raw_input":"ledger"}])"));
  EXPECT_EQ(parse->evidence.size(), 2u);
  auto context = primary_of(trace_of(R"({"run":{"status":"failed","diagnostic_summary":"incorrect upstream context"},
      "steps":[{"status":"failed"}]})"));
  EXPECT_EQ(context->evidence,
            std::vector<std::string>{"Incorrect upstream context propagated into downstream execution"});
  auto no_index = primary_of(run_of("failed", R"([{"status":"failed","error_message":"invalid json"}])"));
  EXPECT_EQ(no_index->evidence[0], "Step -1 failed while parsing structured output.");
  EXPECT_EQ(no_index->phase, "Other");
  auto absent_type = primary_of(run_of("failed", R"([{"status":"failed","error_message":"no results"}])"));
  EXPECT_EQ(absent_type->label, "Retrieval failure or empty evidence");
  EXPECT_EQ(absent_type->phase, std::nullopt);
  EXPECT_EQ(absent_type->step_name, "Step");
}

// After an empty retrieval, a run whose summary says it answered without support, or whose
// final answer makes one of the unsupported promises, is that finding; after a healthy
// retrieval it is not. The phrases are spelled here on purpose: one dropped from the
// engine's lists fails its row.
TEST(ClassifyPrimary, EachUnsupportedAnswerPhraseCounts) {
  struct Row { const char* summary; const char* final_answer; };
  const Row rows[] = {
    {"answered confidently",       "The policy is as stated."},
    {"still answered confidently", "The policy is as stated."},
    {"confident unsupported answer", "The policy is as stated."},
    {"answer remained specific",   "The policy is as stated."},
    {"specific unsupported",       "The policy is as stated."},
    {"unsupported policy claims",  "The policy is as stated."},
    {"a run",                      "The policy allows full refunds."},
    {"a run",                      "Orders ship with no fees."},
  };
  for (const Row& row : rows) {
    for (bool empty : {true, false}) {
      std::string doc = std::string(R"({"run":{"status":"passed","diagnostic_summary":")") + row.summary +
                        R"("},"steps":[{"step_type":"search","summary":")" + (empty ? "no results" : "3 hits") +
                        R"("},{"step_type":"final_answer","raw_output":")" + row.final_answer + R"("}]})";
      auto root = primary_of(trace_of(doc));
      bool unsupported = root && root->label == "Unsupported answer after empty retrieval";
      EXPECT_EQ(unsupported, empty) << row.summary << " / " << row.final_answer
                                    << (empty ? " after an empty retrieval" : " after a healthy one");
    }
  }
}

}  // namespace
}  // namespace tracedx
// clang-format on
