// The one way a run of vek_smbios_util ends early, and the exit status of the tool's own failures.
// Header-only, so every program source that ends a run carries it.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

// Exit status for every failure of the tool's own, and for an outside program that ended
// abnormally.
constexpr int EXIT_TOOL_ERROR = 255;

// Ends the run with `status`; what the standard streams still hold is written out first.
[[noreturn]] inline void end_run(int status) {
  std::exit(status);
}

// Writes the formatted message to standard error as it stands (the caller gives its line end),
// after what standard output holds, and ends the run with EXIT_TOOL_ERROR.
[[noreturn, gnu::format(printf, 1, 2)]] inline void fail(const char* format, ...) {
  std::fflush(stdout);
  std::va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  end_run(EXIT_TOOL_ERROR);
}
