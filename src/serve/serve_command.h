// The run of `tracedx serve`: start the server, say where it listens, serve until SIGTERM or
// SIGINT, then drain. Its command line is read with the other commands' (src/bin/tracedx).
#pragma once

#include <string_view>

#include "serve/server.h"

namespace tracedx {

// Whether a listening host is a loopback address (127.0.0.0/8, ::1 or localhost).
bool is_loopback_host(std::string_view host);

// Runs the server until the first SIGTERM or SIGINT, then drains it; the exit status (0
// after the drain, 1 when it could not start or its listener failed). `announce` writes the
// line saying where it listens; when that fails the server stops at once with status 1 and
// the caller reports the write. A second signal during the drain ends the process at once
// with status 1: what was acknowledged is already committed.
int run_serve(const ServeOptions& options, bool (*announce)(std::string_view line));

}  // namespace tracedx
