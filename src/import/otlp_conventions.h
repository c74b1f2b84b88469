// The naming conventions the importer reads spans by, one table per fact: OpenInference
// (openinference.span.kind, llm.*, input.value...: Arize's OpenInference semantic
// conventions), the OpenTelemetry GenAI semantic conventions (gen_ai.*, in their attribute
// and their older span-event forms) and OpenLLMetry (traceloop.*, llm.request.type:
// Traceloop's instrumentations). A name appears here once; the step builder reads only these.
#pragma once

#include <algorithm>
#include <iterator>
#include <string_view>

namespace tracedx::otlp {

// What a span is, by the conventions' kind attributes. Plumbing is framework machinery
// (chains, prompt templates, workflows): never a step. An unknown span is a step when it
// has no children and a wrapper otherwise.
enum class Role { kStep, kModel, kAgent, kPlumbing, kUnknown };

struct KindRow {
  std::string_view attribute;
  std::string_view value;
  std::string_view step_type;
  Role role;
};

// clang-format off
inline constexpr KindRow kKinds[] = {
  {"openinference.span.kind", "LLM",              "llm_reasoning",        Role::kModel},
  {"openinference.span.kind", "EMBEDDING",        "embedding",            Role::kStep},
  {"openinference.span.kind", "CHAIN",            "chain",                Role::kPlumbing},
  {"openinference.span.kind", "RETRIEVER",        "retrieval",            Role::kStep},
  {"openinference.span.kind", "RERANKER",         "rerank_retrieval",     Role::kStep},
  {"openinference.span.kind", "TOOL",             "tool_call",            Role::kStep},
  {"openinference.span.kind", "AGENT",            "delegation",           Role::kAgent},
  {"openinference.span.kind", "GUARDRAIL",        "guardrail_validation", Role::kStep},
  {"openinference.span.kind", "EVALUATOR",        "evaluator",            Role::kStep},
  {"openinference.span.kind", "PROMPT",           "prompt_template",      Role::kPlumbing},
  {"gen_ai.operation.name",   "chat",             "llm_reasoning",        Role::kModel},
  {"gen_ai.operation.name",   "text_completion",  "llm_reasoning",        Role::kModel},
  {"gen_ai.operation.name",   "generate_content", "llm_reasoning",        Role::kModel},
  {"gen_ai.operation.name",   "embeddings",       "embedding",            Role::kStep},
  {"gen_ai.operation.name",   "retrieval",        "retrieval",            Role::kStep},
  {"gen_ai.operation.name",   "execute_tool",     "tool_call",            Role::kStep},
  {"gen_ai.operation.name",   "create_agent",     "agent_setup",          Role::kStep},
  {"gen_ai.operation.name",   "invoke_agent",     "delegation",           Role::kAgent},
  {"gen_ai.operation.name",   "invoke_workflow",  "workflow",             Role::kPlumbing},
  {"gen_ai.operation.name",   "plan",             "planner",              Role::kStep},
  {"traceloop.span.kind",     "workflow",         "workflow",             Role::kPlumbing},
  {"traceloop.span.kind",     "session",          "session",              Role::kPlumbing},
  {"traceloop.span.kind",     "agent",            "delegation",           Role::kAgent},
  {"traceloop.span.kind",     "tool",             "tool_call",            Role::kStep},
  {"traceloop.span.kind",     "task",             "",                     Role::kUnknown},
  {"llm.request.type",        "chat",             "llm_reasoning",        Role::kModel},
  {"llm.request.type",        "completion",       "llm_reasoning",        Role::kModel},
  {"llm.request.type",        "embedding",        "embedding",            Role::kStep},
  {"llm.request.type",        "rerank",           "rerank_retrieval",     Role::kStep},
};
// clang-format on

// Request configuration: what was set up before the call, not what happened in it. Kept out
// of steps, since every field of a step is evidence to the rules (a tool's JSON schema reads
// as a noisy artifact). Keys equal to an entry or starting with it followed by ".".
inline constexpr std::string_view kConfiguration[] = {
    "llm.tools",         "llm.invocation_parameters", "llm.prompt_template",
    "gen_ai.request",    "gen_ai.tool.definitions",   "llm.request.functions",
    "gen_ai.agent.tools"};
// ...except the model asked for, which says which model ran.
inline constexpr std::string_view kConfigurationKept[] = {"gen_ai.request.model"};

// Finish reasons that mean the provider's filter withheld the answer, and those that mean
// the model answered by calling tools.
inline constexpr std::string_view kFilteredFinishes[] = {
    "content_filter", "content_filtered", "safety", "prohibited_content", "blocklist"};
inline constexpr std::string_view kToolFinishes[] = {"tool_calls", "tool_call", "function_call",
                                                     "tool_use"};

// The older GenAI conventions record messages as span events.
struct MessageEvent {
  std::string_view name;
  std::string_view role;
};
inline constexpr MessageEvent kInputEvents[] = {{"gen_ai.system.message", "system"},
                                                {"gen_ai.user.message", "user"},
                                                {"gen_ai.assistant.message", "assistant"},
                                                {"gen_ai.tool.message", "tool"}};

// Attributes that name what a span's step did, in order of preference; else the span name.
inline constexpr std::string_view kNameKeys[] = {
    "gen_ai.agent.name", "gen_ai.tool.name", "tool.name", "agent.name", "traceloop.entity.name"};

// Root attributes that name the run, in order of preference; else the root's span name.
inline constexpr std::string_view kTitleKeys[] = {"gen_ai.agent.name", "gen_ai.workflow.name",
                                                  "agent.name", "traceloop.workflow.name",
                                                  "traceloop.entity.name"};

// Attributes that hold finish reasons (a word or a list).
inline constexpr std::string_view kFinishKeys[] = {"gen_ai.response.finish_reasons",
                                                   "llm.finish_reason"};

// Whether an attribute is request configuration (see kConfiguration).
bool is_configuration(std::string_view key);

template <size_t N>
bool one_of(std::string_view word, const std::string_view (&words)[N]) {
  return std::find(std::begin(words), std::end(words), word) != std::end(words);
}

}  // namespace tracedx::otlp
