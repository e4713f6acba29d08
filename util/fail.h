// The one way a run of vek_smbios_util ends early: a run_failure, thrown where the failure is
// found and caught at the top, where its message is shown and its status becomes the exit status.
// Nothing below main ends the process, so every owner on the way up cleans up after itself.
#pragma once

#include <exception>
#include <string>

// Exit status for every failure of the tool's own, and for an outside program that ended
// abnormally.
constexpr int EXIT_TOOL_ERROR = 255;

// A run that cannot go on: the exit status it ends with and the message (empty when the failure
// was reported already; the message carries its own line end).
class run_failure : public std::exception {
public:
  run_failure(int status, std::string message) : status_(status), message_(std::move(message)) {}

  int status() const {
    return status_;
  }
  const std::string& message() const {
    return message_;
  }
  const char* what() const noexcept override {
    return message_.c_str();
  }

private:
  int status_;
  std::string message_;
};

// Ends the run with `status`, everything said already.
[[noreturn]] void end_run(int status);

// Ends the run with EXIT_TOOL_ERROR and the formatted message (the caller gives its line end).
[[noreturn, gnu::format(printf, 1, 2)]] void fail(const char* format, ...);
