// Descriptors that close themselves, and whole-record writes to files.
#pragma once

#include "record/dmi_record.h"

#include <unistd.h>

// Owns a file descriptor and closes it when it goes out of scope.
class unique_fd {
public:
  explicit unique_fd(int fd) : fd_(fd) {}
  ~unique_fd() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;

  int get() const {
    return fd_;
  }
  bool valid() const {
    return fd_ >= 0;
  }

private:
  int fd_;
};

// Creates `path` with permissions 0664 less the umask, or truncates it, and writes the 256
// bytes of `record` into it. `extra_flags` are added to the open (O_NOFOLLOW for our own files).
// Returns 0, or -1 after writing to standard error why the file could not be opened or written.
int write_record_file(const char* path, int extra_flags, const dmi_record& record);
