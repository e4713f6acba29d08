// Output files named by the operator.
#include "system/output_file.h"

#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

constexpr mode_t OUTPUT_MODE = 0644;

// Whether the folder holding `path` is sticky and every user may write to it.
bool in_shared_folder(const char* path) {
  std::string folder = path;
  const std::size_t slash = folder.rfind('/');
  if (slash == std::string::npos) {
    folder = ".";
  } else {
    folder.resize(slash == 0 ? 1 : slash);
  }
  struct stat status;
  return ::stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
         (status.st_mode & S_ISVTX) != 0 && (status.st_mode & S_IWOTH) != 0;
}

// Why a file in a shared folder is not one to write to, or null.
const char* shared_file_refusal(const struct stat& status) {
  if (S_ISLNK(status.st_mode)) {
    return "a symbolic link in a sticky world-writable folder";
  }
  if (!S_ISREG(status.st_mode)) {
    return "not a regular file, in a sticky world-writable folder";
  }
  if (status.st_uid != ::geteuid()) {
    return "a file of another user, in a sticky world-writable folder";
  }
  if (status.st_nlink != 1) {
    return "a file with more than one link, in a sticky world-writable folder";
  }
  return nullptr;
}

// Checked by name first for a clear reason, then on the open file, which is what counts: it is
// opened without following a link, without blocking on a FIFO, and emptied only once accepted.
int open_in_shared_folder(const char* path, int flags, const char*& why) {
  struct stat status;
  if (::lstat(path, &status) == 0 && (why = shared_file_refusal(status)) != nullptr) {
    return -1;
  }
  unique_fd file(::open(path, flags | O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK, OUTPUT_MODE));
  if (!file.valid()) {
    why = std::strerror(errno);
    return -1;
  }
  if (::fstat(file.get(), &status) != 0) {
    why = std::strerror(errno);
    return -1;
  }
  if ((why = shared_file_refusal(status)) != nullptr) {
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

int open_output_file(const char* path, int flags, const char*& why) {
  if (in_shared_folder(path)) {
    return open_in_shared_folder(path, flags, why);
  }
  const int fd = ::open(path, flags | O_WRONLY | O_CREAT | O_TRUNC, OUTPUT_MODE);
  if (fd < 0) {
    why = std::strerror(errno);
  }
  return fd;
}
