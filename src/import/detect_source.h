// Telling an input's format from its first document: an OTLP JSON export, a chat transcript
// or a fixture document. Only the top of the document is looked at (its top-level keys, or
// the keys of an array's first element), with a byte scanner that skips nested values
// without building them and stops once the keys seen decide, so a large fixture costs a few
// bytes, not a parse. A document that could be read more than one way is an error naming the
// candidates; one that fits none says what it looks like and what was expected.
#pragma once

#include <string>
#include <string_view>

#include "import/importers.h"
#include "input/input.h"

namespace tracedx {

// The format of the document (or first JSON line) in `head`, the start of an input named
// `where`.
Result<Source> detect_source(std::string_view head, std::string_view where);

// The format of an input, from its first bytes, which it still gives to the reads that
// follow (a stream is not consumed).
Result<Source> detect_source(Input& input);

}  // namespace tracedx
