// Output files named by the operator.
#include "system/output_file.h"

#include "system/file_checks.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

constexpr mode_t OUTPUT_MODE = 0644;

// Checked by name first for a clear reason, then on the open file, which is what counts: it is
// opened without following a link, without blocking on a FIFO, and emptied only once accepted.
int open_in_shared_folder(const char* path, int flags, const char*& why) {
  struct stat status;
  if (::lstat(path, &status) == 0 && (why = shared_folder_words(own_file_fault(status)))) {
    return -1;
  }
  unique_fd file(
      ::open(path, flags | O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, OUTPUT_MODE));
  if (!file.valid()) {
    why = std::strerror(errno);
    return -1;
  }
  if (::fstat(file.get(), &status) != 0) {
    why = std::strerror(errno);
    return -1;
  }
  if ((why = shared_folder_words(own_file_fault(status))) != nullptr) {
    return -1;
  }
  const int status_flags = ::fcntl(file.get(), F_GETFL);
  if (status_flags == -1 || ::fcntl(file.get(), F_SETFL, status_flags & ~O_NONBLOCK) != 0 ||
      ::ftruncate(file.get(), 0) != 0) {
    why = std::strerror(errno);
    return -1;
  }
  return file.release();
}

} // namespace

int open_output_file(const char* path, int flags, std::string& why) {
  const path_verdict verdict = check_trusted_path(path, path_use::output);
  if (!verdict.trusted()) {
    why = verdict.error != 0 ? std::strerror(verdict.error) : verdict.refusal;
    return -1;
  }
  const char* reason = nullptr;
  int fd = -1;
  if (in_shared_folder(path)) {
    fd = open_in_shared_folder(path, flags, reason);
  } else if ((fd = ::open(path, flags | O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, OUTPUT_MODE)) <
             0) {
    reason = std::strerror(errno);
  }
  if (fd < 0) {
    why = reason;
  }
  return fd;
}
