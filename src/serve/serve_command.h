// The `tracedx serve` command: its options, its help, and the run until SIGTERM/SIGINT.
#pragma once

#include <string>
#include <string_view>

#include "base/error.h"
#include "serve/server.h"

namespace tracedx {

// The help text of `tracedx serve`.
std::string serve_help();

// Options from the arguments after "serve"; a usage error names the option.
Result<ServeOptions> parse_serve_args(int argc, char** argv, int first, bool& help);

// Whether a --listen host is a loopback address (127.0.0.0/8, ::1 or localhost).
bool is_loopback_host(std::string_view host);

// `tracedx serve ...` (argv[first] is the first option): the exit status.
int serve_command(int argc, char** argv, int first);

}  // namespace tracedx
