// A file descriptor that closes itself.
#pragma once

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
  // Gives the descriptor up to the caller, who closes it.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

private:
  int fd_;
};
