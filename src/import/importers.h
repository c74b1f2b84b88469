// Importers from the formats agent frameworks record into the fixture documents the loader
// reads: OpenTelemetry spans exported as OTLP JSON (one document, or JSON Lines with one
// export per line) following the GenAI or OpenInference conventions, and chat transcripts
// (OpenAI-style message lists, also multi-agent group chats). An importer produces fixture
// documents, so everything downstream (loader kind rules included) is the same as for a
// hand-written fixture.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "trace/error.h"
#include "trace/trace.h"

namespace tracedx {

enum class Source { kFixture, kOtlp, kChat };

// "fixture", "otlp" or "chat"; fails with a message naming the accepted words.
Result<Source> parse_source(std::string_view word);

struct ImportedTrace {
  std::string id;    // the OTLP traceId (hex), or empty for a chat transcript
  Json fixture;      // {"run": {...}, "steps": [...]}
};

// All traces of an OTLP JSON document or JSON Lines text, in order of first appearance.
// `where` names the input in error messages.
Result<std::vector<ImportedTrace>> import_otlp(std::string_view bytes, std::string_view where);

// One chat transcript: an array of messages, or an object holding one under "messages",
// "history" or "conversation".
Result<Json> import_chat(const Json& document, std::string_view where);

}  // namespace tracedx
