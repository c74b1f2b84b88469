// Standard output of the commands. Reports go out through write_standard_output, and every
// command ends in finish_standard_output: the one place that tells whether all it wrote
// reached the reader (not a full disk, a closed descriptor or a reader gone away). When it
// did not, the command fails with one message on standard error, whatever it would return.
#pragma once

#include <string_view>

namespace tracedx {

// Keeps the descriptors 0, 1 and 2 from being handed out to files the command opens when it
// was started with one of them closed: each is held by /dev/null opened the wrong way round,
// so that reads of 0 and writes to 1 and 2 still fail (EBADF) instead of reaching a file.
void hold_standard_descriptors();

// Writes `text` to standard output and flushes it; false when it did not all go out (the
// first such error is kept for finish_standard_output's message).
bool write_standard_output(std::string_view text);

// Records a failed write to standard output made by other means (a writer given stdout).
void standard_output_failed(int code);

// Flushes and closes standard output. Returns `status` when everything written reached it,
// else prints "Error: cannot write to standard output: REASON" and returns kExitError.
int finish_standard_output(int status);

}  // namespace tracedx
