// The analysis of recorded runs (imported from spans or chat transcripts): detectors over
// the facts a run's structure states (errors classified by their structured fields,
// repeated calls, retries, empty evidence, failed workers) instead of keywords over its
// texts, so that what a fetched page or a test log says cannot make a finding. Each
// detector is a row of a table, in order of precedence; the first that fires is the primary
// finding, the others are secondary issues. Findings name the anchoring step, its id, the
// agent responsible, its error, and for a tool call the tool and its arguments.
#pragma once

#include "diagnosis/diagnosis.h"
#include "trace/trace.h"

namespace tracedx {

inline constexpr std::string_view kRecordedAnalysis = "recorded";

// Diagnoses a recorded run from its structure.
Diagnosis analyse_recorded_run(const Trace& trace, const DiagnoseOptions& options = {});

// The one verdict of a run, whatever the path it came by: the analysis of recorded runs for
// a trace imported from a recording, the fixed engine for a fixture written by hand or when
// `options.exact_engine` asks for it.
Diagnosis diagnose_trace(const Trace& trace, const DiagnoseOptions& options = {});

}  // namespace tracedx
