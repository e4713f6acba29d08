// Running outside programs through the shell, judging their status, and the run's log.
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

// The log file given with -l, absent without one, and the stream open on it for the whole run
// (null without one).
extern std::optional<std::string> log_path;
extern std::FILE* log_stream;

// Runs `text` through the shell and returns the raw wait status.
using shell_function = int (*)(const char* text);
// Wraps std::system unless a test swaps it.
extern shell_function command_shell;

// Command texts are formed in buffers of this size, so they hold at most 4095 characters.
constexpr std::size_t COMMAND_BUFFER_SIZE = 4096;
using command_buffer = char[COMMAND_BUFFER_SIZE];

// Takes `path` as the run's log: creates (mode 0644 less the umask) or truncates it as
// open_output_file does, then keeps it open in append mode, so every write lands at the end even
// after a command appended to it. Does nothing without a path. Ends the run on failure.
void open_log(const std::optional<std::string>& path);

// A path as it goes into a command text: unchanged when made only of letters, digits and
// _ . / , + - : @ %, otherwise single-quoted for the shell, so it stays one word and runs nothing.
std::string shell_quote(std::string_view path);

// Formats a command text into `buffer`. Ends the run with 255 when it would not fit.
[[gnu::format(printf, 2, 3)]] void format_command(command_buffer& buffer, const char* format, ...);

// Whether a command's output goes to the log: flashrom's does, cbfstool's and cp's do not.
enum class command_log { unlogged, logged };

// Runs one command through the shell and judges its status with report_status. A logged command
// with a log open gets its standard output appended to the log and is written into the log
// first. Ends the run on failure: with 255 when the text with its redirection would not fit.
void run_command(const char* text, command_log log);

// Runs one command as run_command does and prints its status, but returns instead of ending the
// run: 0 when it succeeded, otherwise the status the run would end with (its exit code, or 255
// when it ended abnormally), so the caller can say what the failure means first.
int run_command_status(const char* text, command_log log);

// Prints a wait status on standard output. Ends the run with 255 when the command ended
// abnormally (a signal, or no shell could be started), with the command's exit code when that
// is not 0; returns only on success.
void report_status(int status);
