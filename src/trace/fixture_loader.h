// The fixture loader: the only reader of trace files. It is lenient about content (a field
// of the wrong JSON kind is absent) and strict about shape (a document without a run
// object or a step array is rejected). Loading is three steps that callers may also run
// separately: read the bytes, parse them as one JSON document, build the Trace.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "base/error.h"
#include "trace/trace.h"

namespace tracedx {

// Deepest nesting of arrays and objects a document may have; the top-level container is
// level 1. Deeper documents are rejected as parse failures so no input exhausts the stack.
inline constexpr size_t kMaxJsonDepth = 128;

// Parses bytes as exactly one JSON document (trailing non-white-space is an error, and so
// is nesting deeper than kMaxJsonDepth). "-0" reads as the float -0.0, not an integer.
Result<Json> parse_json(std::string_view bytes);

// Builds a Trace named `name` from a parsed fixture document, moving the step values out
// of it. Fails with "fixture.run missing" or "fixture.steps missing" (run checked first).
Result<Trace> build_trace(std::string_view name, Json document);

// The fixture file for `name`: the directory joined with the name (an absolute name
// replaces the directory, sub-directories are followed).
std::filesystem::path fixture_path(const std::filesystem::path& fixture_dir, std::string_view name);

// read_file, parse_json and build_trace in a row (through load_trace).
Result<Trace> load_fixture(const std::filesystem::path& fixture_dir, std::string_view name);

// Whether JSON bytes hold "-0" not followed by a digit, '.', 'e' or 'E': an integer token
// "-0", which parse_json reads as the float -0.0 and simdjson's tape as the integer 0 (inside
// a string it only makes the check cautious).
bool holds_negative_zero_token(std::string_view bytes);

// Bytes a padded buffer holds readable (any value) after its last byte.
inline constexpr size_t kLoadPadding = 64;

// parse_json and build_trace in one go, with the same result, error messages included. A
// fast parser builds the Trace straight from its own compact form; the documents it does
// not take (invalid ones, and a few rare number forms) go through parse_json and
// build_trace. load_trace copies the bytes into a padded buffer first;
// load_trace_padded needs kLoadPadding readable bytes after `bytes`.
Result<Trace> load_trace(std::string_view name, std::string_view bytes);
Result<Trace> load_trace_padded(std::string_view name, std::string_view bytes);
// The bytes of a string (read as padded when its capacity leaves room for the padding),
// released once they are parsed, before the Trace is built: the bytes and the Trace are
// not both held whole.
Result<Trace> load_trace_owned(std::string_view name, std::string&& bytes);

}  // namespace tracedx
