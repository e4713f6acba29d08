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

// Why a file in a sticky world-writable folder is not one the run may write, or empty.
std::string shared_folder_fault(const struct stat& status) {
  const std::string fault = own_file_fault(status);
  return fault.empty() ? fault : "it " + fault + ", in a sticky world-writable folder";
}

// Checked by name first for a clear reason, then on the open file, which is what counts: it is
// opened without following a link, without blocking on a FIFO, and emptied only once accepted.
opened_output open_in_shared_folder(const char* path, int flags) {
  struct stat status;
  if (::lstat(path, &status) == 0) {
    if (std::string why = shared_folder_fault(status); !why.empty()) {
      return {unique_fd(), std::move(why)};
    }
  }
  unique_fd file(
      ::open(path, flags | O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, OUTPUT_MODE));
  if (!file.valid() || ::fstat(file.get(), &status) != 0) {
    return {unique_fd(), std::strerror(errno)};
  }
  if (std::string why = shared_folder_fault(status); !why.empty()) {
    return {unique_fd(), std::move(why)};
  }
  const int status_flags = ::fcntl(file.get(), F_GETFL);
  if (status_flags == -1 || ::fcntl(file.get(), F_SETFL, status_flags & ~O_NONBLOCK) != 0 ||
      ::ftruncate(file.get(), 0) != 0) {
    return {unique_fd(), std::strerror(errno)};
  }
  return {std::move(file), ""};
}

} // namespace

opened_output open_output_file(const char* path, int flags) {
  const path_verdict verdict = check_trusted_path(path, path_use::output);
  if (!verdict.trusted()) {
    return {unique_fd(), verdict.error != 0 ? std::strerror(verdict.error) : verdict.refusal};
  }
  if (in_shared_folder(path)) {
    return open_in_shared_folder(path, flags);
  }
  unique_fd file(::open(path, flags | O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, OUTPUT_MODE));
  std::string why = file.valid() ? "" : std::strerror(errno);
  return {std::move(file), std::move(why)};
}
