// Human-readable reports for a person debugging a run: the finding, its evidence and the
// advice under headings. Colour (ANSI) is the caller's choice. Every text taken from the
// records (which repeat trace texts) goes through `visible`, so a trace cannot move the
// cursor, retitle or clear the terminal it is shown on.
#pragma once

#include <string>

#include "diagnosis/compare/comparison.h"
#include "diagnosis/diagnosis.h"

namespace tracedx {

// The text with control characters written visibly: \n, \t and \r, other C0 controls and
// DEL as \xHH, C1 controls (U+0080 to U+009F) as \u00HH. Everything else is kept.
std::string visible(std::string_view text);

std::string diagnosis_text(const Diagnosis& d, bool colour);
std::string comparison_text(const Comparison& c, bool colour);

}  // namespace tracedx
