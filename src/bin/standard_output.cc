#include "bin/standard_output.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "base/error.h"
#include "base/exit_status.h"

namespace tracedx {
namespace {

int first_error = 0;  // errno of the first failed write to standard output

}  // namespace

void hold_standard_descriptors() {
  // open() takes the lowest free descriptor: filled in order, each lands where it is missing.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int held = ::open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    if (held >= 0 && held != fd) ::close(held);
  }
}

void standard_output_failed(int code) {
  if (first_error == 0) first_error = code ? code : EIO;
}

bool write_standard_output(std::string_view text) {
  errno = 0;
  // An empty view may hold no pointer at all, which fwrite must not be given.
  const bool written =
      text.empty() || std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  if (written && std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
  standard_output_failed(errno);
  return false;
}

int finish_standard_output(int status) {
  // As gnulib's close_stdout: closing a descriptor that was never open is no error when
  // nothing was written to it.
  errno = 0;
  const bool pending = __fpending(stdout) != 0;
  const bool failed = std::ferror(stdout);
  if (std::fclose(stdout) != 0) {
    if (pending || failed || errno != EBADF) standard_output_failed(errno);
  } else if (failed) {
    standard_output_failed(EIO);
  }
  if (first_error == 0) return status;
  std::fprintf(stderr, "Error: cannot write to standard output: %s\n",
               Error::os(first_error).text().c_str());
  return kExitError;
}

}  // namespace tracedx
