// Whole reads and writes at a place in a file.
#include "util/file_io.h"

#include <unistd.h>

#include <cerrno>

int read_all_at(int fd, void* bytes, std::size_t size, off_t offset) {
  auto* at = static_cast<char*>(bytes);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd, at + done, size - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      errno = got == 0 ? EIO : errno;
      return -1;
    }
    done += static_cast<std::size_t>(got);
  }
  return 0;
}

int write_all_at(int fd, const void* bytes, std::size_t size, off_t offset) {
  const auto* at = static_cast<const char*>(bytes);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t put = ::pwrite(fd, at + done, size - done, offset + static_cast<off_t>(done));
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      errno = put == 0 ? EIO : errno;
      return -1;
    }
    done += static_cast<std::size_t>(put);
  }
  return 0;
}
