// Human-readable reports for a person debugging a run: the finding, its evidence and the
// advice under headings. Colour (ANSI) is the caller's choice.
#pragma once

#include <string>

#include "diagnosis/compare/comparison.h"
#include "diagnosis/diagnosis.h"

namespace tracedx {

std::string diagnosis_text(const Diagnosis& d, bool colour);
std::string comparison_text(const Comparison& c, bool colour);

}  // namespace tracedx
