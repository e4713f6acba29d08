// Command runner and log.
#include "system/command_runner.h"

#include "system/output_file.h"
#include "util/fail.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

std::optional<std::string> log_path;
std::FILE* log_stream = nullptr;

namespace {

int system_shell(const char* text) {
  return std::system(text);
}

bool is_ordinary_path_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("_./,+-:@%", c) != nullptr;
}

[[noreturn]] void refuse_long_command() {
  fail("Command text longer than %zu characters, not run\n", COMMAND_BUFFER_SIZE - 1);
}

} // namespace

shell_function command_shell = system_shell;

void open_log(const std::optional<std::string>& path) {
  if (!path) {
    return;
  }
  log_path = path;
  std::string why;
  const int fd = open_output_file(log_path->c_str(), O_APPEND, why);
  if (fd >= 0 && (log_stream = ::fdopen(fd, "a")) == nullptr) {
    why = std::strerror(errno);
  }
  if (log_stream == nullptr) {
    fail("Unable to open log file %s: %s\n", log_path->c_str(), why.c_str());
  }
}

std::string shell_quote(std::string_view path) {
  bool ordinary = !path.empty();
  for (const char c : path) {
    ordinary = ordinary && c != '\0' && is_ordinary_path_character(c);
  }
  if (ordinary) {
    return std::string(path);
  }
  std::string quoted = "'";
  for (const char c : path) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

void format_command(command_buffer& buffer, const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof buffer) {
    refuse_long_command();
  }
}

namespace {

// Runs the command as run_command describes and returns the raw wait status.
int run_in_shell(const char* text, command_log log) {
  command_buffer command;
  if (log == command_log::logged && log_stream != nullptr) {
    format_command(command, "%s 2>&1 >> %s", text, shell_quote(*log_path).c_str());
    std::fprintf(log_stream, "%s\n", command);
  } else {
    format_command(command, "%s", text);
  }
  // The shell appends the command's output to the log and our standard output, so our
  // pending lines go first.
  std::fflush(stdout);
  if (log_stream != nullptr) {
    std::fflush(log_stream);
  }
  return command_shell(command);
}

// Prints a wait status and returns the status the run ends with for it, 0 for success.
int print_status(int status) {
  std::printf("system() exit with return_code=%d", status);
  if ((status & 0x7f) != 0) {
    std::printf(", child exited abnormally\n");
    return EXIT_TOOL_ERROR;
  }
  const int code = (status >> 8) & 0xff;
  std::printf(", child exit status=%d\n", code);
  return code;
}

} // namespace

void run_command(const char* text, command_log log) {
  report_status(run_in_shell(text, log));
}

int run_command_status(const char* text, command_log log) {
  return print_status(run_in_shell(text, log));
}

void report_status(int status) {
  if (const int run_status = print_status(status)) {
    end_run(run_status);
  }
}
