// The run's log, given with -l: the field blocks, and the flashrom command lines with their output.
#pragma once

#include "util/file_io.h"

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

class run_log {
public:
  // No log: every write is dropped.
  run_log() = default;
  // Takes `path` as the log: creates (mode 0644 less the umask) or truncates it as
  // open_output_file does, then keeps it open in append mode, so every write lands at the end
  // even after a command appended to it. Ends the run on failure.
  explicit run_log(const std::string& path);

  bool is_open() const {
    return stream_ != nullptr;
  }
  const std::string& path() const {
    return path_;
  }
  // Appends `text` to the log, if there is one.
  void write(std::string_view text);
  // Makes what was written reach the file, before a command appends to it.
  void flush();

private:
  std::string path_;
  unique_stream stream_;
};
