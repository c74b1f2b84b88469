// parity_check: evaluates the workspace's scenarios against the engine and writes the
// checklists. Takes no arguments (any given are ignored) and reads no environment.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "base/exit_status.h"
#include "bin/standard_output.h"
#include "scenario/parity_run.h"

namespace {

int run_parity_check() {
  std::string cwd(4096, '\0');
  while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) {
      std::fprintf(stderr, "Error: %s\n", tracedx::Error::os(errno).debug().c_str());
      return tracedx::kExitError;
    }
    cwd.resize(cwd.size() * 2);
  }
  cwd.resize(cwd.find('\0'));
  auto output = tracedx::run_parity_check(cwd);
  if (!output) {
    std::fprintf(stderr, "Error: %s\n", output.error().debug().c_str());
    return tracedx::kExitError;
  }
  bool written = tracedx::write_standard_output("Wrote " + output->markdown.string() + "\n") &&
                 tracedx::write_standard_output("Wrote " + output->json.string() + "\n");
  return written ? tracedx::kExitOk : tracedx::kExitError;
}

}  // namespace

int main() {
  tracedx::hold_standard_descriptors();
  return tracedx::finish_standard_output(run_parity_check());
}
