// Running outside programs through the shell and judging their status.
#pragma once

#include "system/run_log.h"
#include "util/output.h"

#include <cstddef>
#include <string>
#include <string_view>

// Where command texts are run: the system's shell, unless a test hands the runner a stand-in.
class command_shell {
public:
  virtual ~command_shell() = default;
  // Runs `text` through the shell and returns the raw wait status.
  virtual int run(const char* text) = 0;
};

// The system's shell, through std::system; while a batch defers the run's signals, through a
// shell started as std::system starts it, but waited for without ignoring the interrupt.
command_shell& system_shell();

// Command texts are formed in buffers of this size, so they hold at most 4095 characters.
constexpr std::size_t COMMAND_BUFFER_SIZE = 4096;
using command_buffer = char[COMMAND_BUFFER_SIZE];

// A path as it goes into a command text: unchanged when made only of letters, digits and
// _ . / , + - : @ %, otherwise single-quoted for the shell, so it stays one word and runs nothing.
std::string shell_quote(std::string_view path);

// Formats a command text into `buffer`. Ends the run with 255 when it would not fit.
[[gnu::format(printf, 2, 3)]] void format_command(command_buffer& buffer, const char* format, ...);

// Whether a command's output goes to the log: flashrom's does, cbfstool's and cp's do not.
enum class command_log { unlogged, logged };

// Prints a wait status through `out` ("system() exit with return_code=..."). Returns the status
// the run ends with for it: 0 for success, 255 when the command ended abnormally (a signal, or no
// shell could be started), otherwise the command's exit code.
int report_status(run_output& out, int status);

// Runs the run's outside programs: each through the shell, its status printed through the run's
// output. An outside program's standard error stays the run's; its standard output does too,
// unless it goes to the log, or the output wants it on standard error (a JSON document) or held
// back until the program fails (a quiet run).
class command_runner {
public:
  command_runner(run_output& out, run_log& log, command_shell& shell = system_shell())
      : out_(out), log_(log), shell_(shell) {}

  run_output& out() const {
    return out_;
  }

  // Runs one command and judges its status. A logged command with a log open gets its standard
  // output appended to the log (its standard error to the run's standard output) and is written
  // into the log first. Ends the run when it fails: with its exit code (255 when it ended
  // abnormally, or when the text with its redirection would not fit), naming the program.
  void run(const char* text, command_log log);

  // Runs one command as run does, but returns instead of ending the run: 0 when it succeeded,
  // otherwise the status the run would end with, so the caller can say what the failure means.
  // While signals are deferred (a batch), ends the run instead of starting the command once a
  // signal is noted, and notes the signal when the program dies by an interrupt or a quit (the
  // shell killed by it, or ending with 128 plus its number).
  int run_status(const char* text, command_log log);

private:
  // Runs one command as run_in_shell does, unless the batch it belongs to was told to stop, and
  // notes a program's death by an interrupt as the batch's. Returns the raw wait status.
  int run_watched(const char* text, command_log log);
  int run_in_shell(const char* text, command_log log);
  // Runs the full command text with the program's output held back in a file of the run's own,
  // shown through the run's output when the program fails.
  int run_held_back(const char* command);

  run_output& out_;
  run_log& log_;
  command_shell& shell_;
};
