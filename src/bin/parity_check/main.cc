// parity_check: evaluates the workspace's scenarios against the engine and writes the
// checklists. Takes no arguments (any given are ignored) and reads no environment.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "base/exit_status.h"
#include "scenario/parity_run.h"

int main() {
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
  std::printf("Wrote %s\nWrote %s\n", output->markdown.c_str(), output->json.c_str());
  return tracedx::kExitOk;
}
