// The run's log.
#include "system/run_log.h"

#include "system/output_file.h"
#include "util/failure.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

run_log::run_log(const std::string& path) : path_(path) {
  opened_output opened = open_output_file(path.c_str(), O_APPEND);
  unique_fd& file = opened.file;
  std::string& why = opened.why;
  if (file.valid()) {
    // The stream owns the descriptor once it is made.
    stream_.reset(::fdopen(file.get(), "a"));
    if (stream_ == nullptr) {
      why = std::strerror(errno);
    } else {
      file.release();
    }
  }
  if (stream_ == nullptr) {
    fail(failure_kind::file, path, "Unable to open log file %s: %s\n", path.c_str(), why.c_str());
  }
}

void run_log::write(std::string_view text) {
  if (stream_ != nullptr) {
    std::fwrite(text.data(), 1, text.size(), stream_.get());
  }
}

void run_log::flush() {
  if (stream_ != nullptr) {
    std::fflush(stream_.get());
  }
}
