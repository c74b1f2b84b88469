#include "diagnosis/signals.h"

#include <gtest/gtest.h>

#include <set>

#include "test_support.h"

// Rows of these tables stay one case per line, aligned by hand.
// clang-format off

namespace tracedx {
namespace {

using test_support::run_of;
using test_support::trace_of;

bool flag(const TraceSignals& s, std::string_view name) {
  for (const auto& f : signal_flags()) {
    if (f.name == name) return s.*f.member;
  }
  ADD_FAILURE() << "no signal " << name;
  return false;
}

struct FlagRow {
  const char* flag;
  bool expected;
  const char* status;  // run status
  const char* steps;   // JSON array
};

void check_rows(std::span<const FlagRow> rows) {
  for (const auto& row : rows) {
    Trace t = run_of(row.status, row.steps);
    TraceSignals s = extract_signals(t, 2500);
    EXPECT_EQ(flag(s, row.flag), row.expected) << row.flag << " on " << row.steps;
  }
}

TEST(Signals, EmptyTrace) {
  Trace t = trace_of(R"({"run":{"status":" Passed "},"steps":[]})");
  TraceSignals s = extract_signals(t, 0);
  EXPECT_EQ(s.failed_step_index, std::nullopt);
  EXPECT_EQ(s.slowest_step_index, std::nullopt);
  EXPECT_EQ(s.slow_retrieval_count, 0u);
  EXPECT_EQ(s.run_status, "passed");
  for (const auto& f : signal_flags()) EXPECT_FALSE(s.*f.member) << f.name;
}

// The table holds every boolean of the record once, in field order, so that the report and
// the rule order follow the record.
TEST(Signals, FlagTableFollowsTheRecord) {
  TraceSignals s;
  const bool* at = &s.has_failed_step;
  std::set<std::string_view> names;
  for (const auto& f : signal_flags()) {
    EXPECT_EQ(&(s.*f.member), at) << f.name;
    ++at;
    EXPECT_TRUE(names.insert(f.name).second) << f.name;
  }
  EXPECT_EQ(at, &s.ambiguous_entity_hint + 1);
  EXPECT_EQ(signal_flags().front().name, "has_failed_step");
  EXPECT_EQ(signal_flags().back().name, "ambiguous_entity_hint");
}

TEST(Signals, Positions) {
  Trace t = run_of("failed", R"([{"status":"ok","duration_ms":300},{"status":"Failed ","duration_ms":900},
      {"status":"error","duration_ms":900}])");
  TraceSignals s = extract_signals(t, 2500);
  EXPECT_EQ(s.failed_step_index, 1u);
  EXPECT_TRUE(s.has_failed_step);
  EXPECT_EQ(s.slowest_step_index, 2u);  // the later of tied maxima
  Trace untimed = run_of("failed", R"([{"status":"broken"},{}])");
  TraceSignals u = extract_signals(untimed, 2500);
  EXPECT_EQ(u.slowest_step_index, std::nullopt);
  EXPECT_EQ(u.failed_step_index, std::nullopt);  // only "error" and "failed" fail a step
}

TEST(Signals, SlowRetrievalCount) {
  Trace t = run_of("passed", R"([{"step_type":"search","duration_ms":2500},
      {"step_type":"retrieval"},{"step_type":"tool","duration_ms":9999},
      {"step_type":"Browse","duration_ms":2499}])");
  EXPECT_EQ(extract_signals(t, 2500).slow_retrieval_count, 1u);
  EXPECT_EQ(extract_signals(t, 0).slow_retrieval_count, 3u);
}

TEST(Signals, FailedStepMarkers) {
  const FlagRow rows[] = {
      {"failed_step_timeout", true, "failed", R"([{"status":"failed","error_message":"Request Timed Out"}])"},
      {"failed_step_timeout", true, "failed", R"([{"status":"failed","error_message":"installation broke"}])"},
      {"failed_step_timeout", false, "failed", R"([{"status":"ok","error_message":"timeout"},{"status":"failed"}])"},
      {"failed_step_timeout", false, "failed", R"([{"status":"failed","display_name":"timeout"}])"},
      {"failed_step_tool", true, "failed", R"([{"status":"failed","raw_output":{"via":"Plugin"}}])"},
      {"failed_step_tool", true, "failed", R"([{"status":"error","step_type":"tool_call"}])"},
      {"failed_step_tool", false, "failed", R"([{"status":"completed","step_type":"tool"}])"},
      {"failed_step_retrieval", true, "failed", R"([{"status":"failed","step_type":"Retrieval"}])"},
      {"failed_step_retrieval", true, "failed", R"([{"status":"failed","summary":"Nothing found"}])"},
      {"failed_step_retrieval", false, "failed", R"([{"status":"failed","step_type":"search"}])"},
  };
  check_rows(rows);
}

TEST(Signals, EntityFamily) {
  const FlagRow rows[] = {
      {"entity_mismatch", true, "failed", R"([{"step_type":"validation","status":"failed","metadata":{"wrong_entity_used":"x"}}])"},
      {"entity_mismatch", false, "failed", R"([{"step_type":"validation","status":"error","metadata":{"wrong_entity_used":"x"}}])"},
      {"entity_mismatch", true, "failed", R"([{"step_type":"validation","metadata":{"requested_entity":"a","actual_best_match":"b"}}])"},
      {"entity_mismatch", false, "failed", R"([{"step_type":"check","metadata":{"requested_entity":"a","actual_best_match":"b"}}])"},
      {"entity_mismatch", true, "failed", R"([{"summary":"Entity MISMATCH detected"}])"},
      {"entity_ambiguity", true, "failed", R"([{"step_type":"entity_resolution","metadata":{"assumption":"x","confidence":" LOW "}}])"},
      {"entity_ambiguity", true, "failed", R"([{"step_type":"resolution","metadata":{"assumption":"x","alternative_matches":[1]}}])"},
      {"entity_ambiguity", false, "failed", R"([{"step_type":"resolution","metadata":{"assumption":"x","alternative_matches":[]}}])"},
      {"entity_ambiguity", true, "failed", R"([{"step_type":"entity","summary":"low confidence assumption"}])"},
      {"entity_ambiguity", true, "failed", R"([{"step_type":"entity","summary":"found multiple matching entities"}])"},
      {"entity_ambiguity", false, "failed", R"([{"step_type":"reasoning","summary":"ambiguous"}])"},
      {"ambiguous_entity_hint", false, "failed", R"([{"step_type":"reasoning","summary":"ambiguous"}])"},
      {"ambiguous_entity_hint", true, "failed", R"([{"step_type":"validation","summary":"ambiguous"}])"},
      {"entity_ambiguity", false, "failed", R"([{"step_type":"validation","summary":"ambiguous"}])"},
      {"ambiguous_entity_hint", true, "failed", R"([{"step_type":"entity_lookup","metadata":{"assumption":"a"}}])"},
      {"wrong_entity_grounding", true, "failed", R"([{"metadata":{"uses_unverified_assumption":true}}])"},
      {"wrong_entity_grounding", false, "failed", R"([{"metadata":{"flag":"true"}}])"},
      {"wrong_entity_grounding", true, "failed", R"([{"raw_input":"Wrong Entity"}])"},
      {"entity_mismatch_confirmed", true, "failed", R"([{"summary":"wrong entity"}])"},
      {"entity_mismatch_confirmed", false, "failed", R"([{"summary":"mismatch"}])"},
  };
  check_rows(rows);
}

TEST(Signals, RetryAndRecovery) {
  const FlagRow rows[] = {
      {"retry_seen", true, "failed", R"([{"metadata":{"attempt":2}}])"},
      {"retry_seen", false, "failed", R"([{"metadata":{"attempt":3}}])"},
      {"retry_seen", true, "failed", R"([{"step_type":"tool","metadata":{"attempt":3}}])"},
      {"retry_seen", true, "failed", R"([{"summary":"payload \"attempt\": 2"}])"},
      {"retry_seen", false, "failed", R"([{"raw_input":"{\"attempt\": 2}"}])"},  // quotes escaped
      {"retry_seen", true, "failed", R"([{"summary":"Transient error"}])"},
      {"recovered_after_failure", true, "passed", R"([{"status":"failed","error_message":"timeout"},{"status":"completed"}])"},
      {"recovered_after_failure", false, "failed", R"([{"status":"failed","error_message":"timeout"},{"status":"completed"}])"},
      {"recovered_after_failure", false, "passed", R"([{"status":"completed"},{"status":"failed","error_message":"timeout"}])"},
      {"recovered_after_failure", false, "passed", R"([{"status":"failed","error_message":"boom"},{"status":"success"}])"},
      {"recovered_after_failure", true, "Completed", R"([{"status":"failed"},{"summary":"retry"},{"status":"Success"}])"},
  };
  check_rows(rows);
}

TEST(Signals, SafetyAndParsing) {
  const FlagRow rows[] = {
      {"safety_block", true, "failed", R"([{"raw_output":"Blocked by Azure Content Filter"}])"},
      {"safety_block", false, "failed", R"([{"display_name":"content filter"}])"},
      {"safety_block", true, "failed", R"([{"summary":"fine"},{"raw_output":"Blocked by the AZURE CONTENT FILTER"}])"},
      {"safety_block", false, "failed", R"([{"summary":"fine"}])"},
      {"parser_error_with_safety_block", false, "failed", R"([{"raw_output":"jailbreak"}])"},
      {"parser_error_with_safety_block", false, "failed", R"([{"raw_output":"invalid json"}])"},
      {"parser_error_with_safety_block", true, "failed", R"([{"summary":"Unexpected token <"},{"raw_output":"jailbreak"}])"},
      {"parse_failure", true, "failed", R"([{"step_type":"json_parser"}])"},
      {"parse_failure", true, "failed", R"([{"error_message":"could not decode"}])"},
      {"parse_failure", false, "failed", R"([{"step_type":"tool"}])"},
  };
  check_rows(rows);
}

TEST(Signals, Coordination) {
  const FlagRow rows[] = {
      {"conflicting_outputs", true, "failed", R"([{"metadata":{"coordination_failure":" Conflicting_Outputs "}}])"},
      {"conflicting_outputs", false, "failed", R"([{"metadata":{"coordination_failure":"conflicting outputs"}}])"},
      {"conflicting_outputs", true, "failed", R"([{"summary":"conflicting worker outputs"}])"},
      {"conflicting_outputs", true, "failed", R"([{"summary":"arbiter: claims could not be reconciled"}])"},
      {"missing_arbiter", true, "failed", R"([{"summary":"parallel worker claims were never reconciled"}])"},
      {"missing_arbiter", false, "failed", R"([{"summary":"never reconciled"}])"},
      {"duplicate_delegation", true, "failed", R"([{"step_type":"planner","metadata":{"task_key":"A1"}},{"step_type":"planner","metadata":{"task_key":"a1 "}}])"},
      {"duplicate_delegation", false, "failed", R"([{"step_type":"worker","metadata":{"task_key":"A1"}},{"step_type":"worker","metadata":{"task_key":"a1 "}}])"},
      {"duplicate_delegation", false, "failed", R"([{"step_type":"planner","metadata":{"task_key":"a"}},{"step_type":"planner"},{"step_type":"planner","metadata":{"task_key":"b"}}])"},
      {"duplicate_delegation", true, "failed", R"([{"step_type":"planner","metadata":{"task_key":""}},{"step_type":"planner","metadata":{"task_key":" "}}])"},
      {"duplicate_delegation", true, "failed", R"([{"summary":"Duplicate delegation"}])"},
      {"missing_worker_result", true, "failed", R"([{"summary":"worker result was not returned"}])"},
      {"missing_worker_result", true, "failed", R"([{"metadata":{"coordination_failure":"missing_worker_result"}}])"},
      {"handoff_field_missing", true, "failed", R"([{"step_type":"send_email","metadata":{"expected_fields":["to"],"received_fields":["body"]}}])"},
      {"handoff_field_missing", false, "failed", R"([{"step_type":"send_email","metadata":{"expected_fields":["to"],"received_fields":[]}}])"},
      {"handoff_field_missing", true, "failed", R"([{"summary":"downstream handoff lacked recipient"}])"},
      {"role_mismatch", true, "failed", R"([{"metadata":{"expected_worker_type":"document_reader","actual_worker_type":"browser"}}])"},
      {"role_mismatch", false, "failed", R"([{"metadata":{"expected_worker_type":"web_search","actual_worker_type":"Web_Search"}}])"},
      {"role_mismatch", true, "failed", R"([{"summary":"Wrong worker role"}])"},
      {"conflict_recovered", true, "passed", R"([{"summary":"Arbiter resolved the dispute"}])"},
      {"conflict_recovered", false, "failed", R"([{"summary":"Arbiter resolved the dispute"}])"},
  };
  check_rows(rows);
}

TEST(Signals, ArtifactsAndState) {
  const FlagRow rows[] = {
      {"artifact_marker", true, "failed", R"([{"raw_input":{"note":"updated Ledger"}}])"},
      {"artifact_marker", true, "failed", R"([{"metadata":{"artifact_type":"screenshot"}}])"},
      {"artifact_marker", true, "failed", R"([{"metadata":{"artifact_type":""}}])"},
      // A non-string artifact_type is no marker by itself, but its key is in the step text.
      {"artifact_marker", true, "failed", R"([{"metadata":{"artifact_type":3}}])"},
      {"artifact_marker", false, "failed", R"([{"metadata":{"kind":3}}])"},
      {"artifact_marker", false, "failed", R"([{"display_name":"ledger"}])"},
      {"masked_artifact_failure", true, " Passed ", R"([{"step_type":"retrieval","status":"failed","metadata":{"artifact_type":"x"}},{"step_type":"final","status":"completed"}])"},
      {"masked_artifact_failure", true, "passed", R"([{"step_type":"final","status":"completed"},{"step_type":"retrieval","status":"failed","summary":"ledger"}])"},
      {"masked_artifact_failure", false, "passed", R"([{"step_type":"retrieval","status":"error","summary":"ledger"},{"step_type":"final","status":"completed"}])"},
      {"masked_artifact_failure", false, "failed", R"([{"step_type":"retrieval","status":"failed","summary":"ledger"},{"step_type":"final","status":"completed"}])"},
      {"state_recovered", true, "passed", R"([{"metadata":{"corrected_state_key":"plan"}}])"},
      {"state_recovered", true, "passed", R"([{"summary":"Correcting to the new plan"}])"},
      {"state_recovered", false, "passed", R"([{"summary":"correcting to"}])"},
      {"state_recovered", false, "failed", R"([{"metadata":{"source_of_truth":true}}])"},
      {"state_recovered", false, "passed", R"([{"metadata":{"source_of_truth":1}}])"},
      {"missing_required_state", true, "failed", R"([{"metadata":{"state_failure":"Missing_Required_State"}}])"},
      {"stale_memory", true, "failed", R"([{"summary":"cached state overrode the lookup"}])"},
      {"state_corruption", true, "failed", R"([{"error_message":"duplicate writes"}])"},
      {"state_corruption", false, "failed", R"([{"metadata":{"state_failure":3}}])"},
  };
  check_rows(rows);
}

TEST(Signals, EvidenceAndAnswers) {
  const FlagRow rows[] = {
      {"retrieval_evidence_empty", true, "failed", R"([{"step_type":"search","metadata":{"results_count":0}}])"},
      {"retrieval_evidence_empty", false, "failed", R"([{"step_type":"reasoning","metadata":{"results_count":0}}])"},
      {"retrieval_evidence_empty", false, "failed", R"([{"step_type":"search","metadata":{"results_count":"0"}}])"},
      {"retrieval_evidence_empty", false, "failed", R"([{"step_type":"search","metadata":{"results_count":0.0}}])"},
      {"retrieval_evidence_empty", true, "failed", R"([{"step_type":"merge","metadata":{"retrieval.documents.count":0}}])"},
      {"retrieval_evidence_empty", false, "failed", R"([{"step_type":"retrieval","summary":"no evidence","metadata":{"has_evidence":true}}])"},
      {"retrieval_evidence_empty", true, "failed", R"([{"step_type":"retrieval","summary":"no evidence","metadata":{"has_evidence":"true"}}])"},
      {"retrieval_evidence_empty", true, "failed", R"([{"step_type":"retrieval","summary":"no evidence","metadata":{"has_evidence":true,"results_count":0}}])"},
      {"unsupported_confident_answer", true, "passed", R"([{"step_type":"search","summary":"no results"},{"step_type":"final_answer","raw_output":"Approval needs 40% sign-off"}])"},
      {"unsupported_confident_answer", false, "passed", R"([{"step_type":"search","summary":"3 hits"},{"step_type":"final_answer","raw_output":"Approval needs 40% sign-off"}])"},
      {"unsupported_confident_answer", true, "passed", R"([{"step_type":"search","summary":"no results"},{"step_type":"output","metadata":{"has_evidence":false}}])"},
      {"unsupported_confident_answer", false, "passed", R"([{"step_type":"search","summary":"no results"},{"step_type":"output","metadata":{"has_evidence":"false"}}])"},
      {"unsupported_confident_answer", false, "passed", R"([{"step_type":"search","summary":"no results","raw_output":"40%"}])"},
      {"fallback_answer", true, "passed", R"([{"step_type":"final","summary":"Using fallback"}])"},
      {"fallback_answer", false, "passed", R"([{"step_type":"final","summary":"Using fallback"},{"step_type":"final","summary":"ok"}])"},
      {"crm_lookup_fallback", true, "failed", R"([{"step_type":"final","status":"completed","summary":"default response"},{"step_type":"crm_lookup","status":"failed","error_message":"Customer not found"}])"},
      {"crm_lookup_fallback", false, "failed", R"([{"step_type":"crm_lookup","status":"error","error_message":"not found"},{"step_type":"final","status":"completed","summary":"fallback"}])"},
  };
  check_rows(rows);

  Trace by_summary = trace_of(R"({"run":{"diagnostic_summary":"Retrieval Returned No Useful Results"},"steps":[]})");
  EXPECT_TRUE(extract_signals(by_summary, 2500).retrieval_evidence_empty);
  Trace confident = trace_of(R"({"run":{"diagnostic_summary":"still answered confidently"},
      "steps":[{"step_type":"search","metadata":{"evidence_count":0}},{"step_type":"final","summary":"done"}]})");
  EXPECT_TRUE(extract_signals(confident, 2500).unsupported_confident_answer);
  Trace no_final = trace_of(R"({"run":{"diagnostic_summary":"still answered confidently"},
      "steps":[{"step_type":"search","metadata":{"evidence_count":0}}]})");
  EXPECT_FALSE(extract_signals(no_final, 2500).unsupported_confident_answer);
}

// Each phrase that marks a specific or confident answer, alone in the final answer after an
// empty retrieval, makes it a confident unsupported answer; with a healthy retrieval it does
// not. A phrase dropped from its keyword list fails its row.
TEST(Signals, EachUnsupportedAnswerPhraseCounts) {
  const char* phrases[] = {
      // specific claims
      "%", "percent", "approval threshold", "introduced a new", "reduced discounting by",
      // unsupported specifics
      "allows full refunds", "with no fees", "company-wide", "per month", "took effect",
      "includes premium support",
      // confident wording
      "requires employees"};
  for (const char* phrase : phrases) {
    for (bool empty : {true, false}) {
      std::string steps = std::string(R"([{"step_type":"search","summary":")") +
                          (empty ? "no results" : "3 hits") +
                          R"("},{"step_type":"final_answer","raw_output":"The policy )" + phrase +
                          R"( as stated."}])";
      Trace t = run_of("passed", steps);
      EXPECT_EQ(extract_signals(t, 2500).unsupported_confident_answer, empty)
          << phrase << (empty ? " after an empty retrieval" : " after a healthy one");
    }
  }
  Trace plain = run_of("passed", R"([{"step_type":"search","summary":"no results"},
      {"step_type":"final_answer","raw_output":"The policy is as stated."}])");
  EXPECT_FALSE(extract_signals(plain, 2500).unsupported_confident_answer);
}

TEST(Signals, CompletionLoopsToolsNavigation) {
  const FlagRow rows[] = {
      {"silent_failure", true, "passed", R"([{"metadata":{"processed_source_count":2,"expected_source_count":3}}])"},
      {"silent_failure", false, "passed", R"([{"metadata":{"processed_source_count":3,"expected_source_count":3}}])"},
      {"silent_failure", false, "passed", R"([{"metadata":{"processed_source_count":2.0,"expected_source_count":3}}])"},
      {"silent_failure", true, "passed", R"([{"metadata":{"skipped_sources":["b"]}}])"},
      {"missing_components", true, "passed", R"([{"metadata":{"missing_component":null}}])"},
      {"missing_components", false, "passed", R"([{"metadata":{"missing_sections":[]}}])"},
      {"missing_components", true, "passed", R"([{"metadata":{"completion_failure":"Partial_Completion"}}])"},
      {"reasoning_loop", false, "failed", R"([{"step_type":"reasoning","summary":"max steps exceeded"},{"metadata":{"loop_risk":"high"}}])"},
      {"reasoning_loop", true, "failed", R"([{"metadata":{"loop_risk":"high"}},{"raw_output":{"progress_made":false}}])"},
      {"reasoning_loop", true, "failed", R"([{"step_type":"planner","summary":"search again"},{"step_type":"model","summary":"never converged"}])"},
      {"reasoning_loop", false, "failed", R"([{"step_type":"tool","summary":"search again"},{"step_type":"model","summary":"never converged"}])"},
      {"repeated_empty_search", true, "failed", R"([{"step_type":"search","summary":"no useful results"},{"step_type":"lookup","summary":"Not enough progress"}])"},
      {"repeated_empty_search", false, "failed", R"([{"step_type":"search","summary":"no useful results"},{"step_type":"reasoning","summary":"need to search again"}])"},
      {"tool_output_misread", true, "failed", R"([{"raw_output":"Partial PDF extracted"}])"},
      {"wrong_page_navigation", true, "failed", R"([{"summary":"Landed on the wrong archive page"}])"},
      {"reasoning_after_tool_failure", true, "failed", R"([{"step_type":"plan","step_index":5},{"step_type":"tool","status":"failed","step_index":4}])"},
      {"reasoning_after_tool_failure", false, "failed", R"([{"step_type":"tool","status":"failed","step_index":4},{"step_type":"plan","step_index":4}])"},
      {"reasoning_after_tool_failure", false, "failed", R"([{"step_type":"api","status":"failed","step_index":-1},{"step_type":"reasoning"}])"},
      {"reasoning_after_tool_failure", true, "failed", R"([{"step_type":"api","status":"failed","step_index":-2},{"step_type":"reasoning"}])"},
      {"reasoning_after_tool_failure", true, "failed", R"([{"step_type":"tool","status":"failed"},{"step_type":"tool","status":"failed","step_index":1},{"step_type":"model","step_index":2}])"},
      {"reasoning_after_tool_failure", false, "failed", R"([{"step_type":"tool","status":"error","step_index":1},{"step_type":"model","step_index":2}])"},
  };
  check_rows(rows);
}

}  // namespace
}  // namespace tracedx
// clang-format on
