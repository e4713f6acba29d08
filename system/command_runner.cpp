// Command runner.
#include "system/command_runner.h"

#include "system/leftovers.h"
#include "util/failure.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The environment the shell gets, as std::system hands it on.
extern char** environ;

namespace {

bool is_ordinary_path_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("_./,+-:@%", c) != nullptr;
}

// The program a command text starts, for the failure that names it.
std::string program_of(const char* text) {
  const std::string_view command(text);
  return std::string(command.substr(0, command.find(' ')));
}

// Runs `text` as std::system does (/bin/sh -c, the run waiting), but without ignoring the
// interrupt and quit signals while it waits: a batch hears them, and its handler notes them. The
// program's step runs to its end all the same, and a signal to the whole process group reaches
// the program too. Returns the raw wait status, or -1 when no shell could be started.
int run_hearing_signals(const char* text) {
  char shell[] = "sh";
  char option[] = "-c";
  char* arguments[] = {shell, option, const_cast<char*>(text), nullptr};
  pid_t child;
  if (::posix_spawn(&child, "/bin/sh", nullptr, nullptr, arguments, environ) != 0) {
    return -1;
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      return -1;
    }
  }
  return status;
}

// The signal that ended the program a command text ran, when it is one that stops a batch: the
// shell itself killed by an interrupt or quit, or the shell's status 128 plus that signal when
// the program it ran was. Else 0.
int interrupting_signal(int status) {
  int signal_number = 0;
  if (status != -1 && WIFSIGNALED(status)) {
    signal_number = WTERMSIG(status);
  } else if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) > 128) {
    signal_number = WEXITSTATUS(status) - 128;
  }
  return signal_number == SIGINT || signal_number == SIGQUIT ? signal_number : 0;
}

// The run's standard output and error sent to a file until this goes, so the programs the shell
// starts meanwhile write there. The shell takes a descriptor in a redirection as one digit only:
// a file handed over by its own number would be lost to a run started with 3 to 9 open.
class streams_to_file {
public:
  explicit streams_to_file(int file)
      : out_(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3)),
        err_(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3)) {
    sent_ = out_.valid() && err_.valid() && ::dup2(file, STDOUT_FILENO) == STDOUT_FILENO &&
            ::dup2(file, STDERR_FILENO) == STDERR_FILENO;
  }
  ~streams_to_file() {
    if (out_.valid()) {
      ::dup2(out_.get(), STDOUT_FILENO);
    }
    if (err_.valid()) {
      ::dup2(err_.get(), STDERR_FILENO);
    }
  }
  streams_to_file(const streams_to_file&) = delete;
  streams_to_file& operator=(const streams_to_file&) = delete;

  bool sent() const {
    return sent_;
  }

private:
  unique_fd out_;
  unique_fd err_;
  bool sent_ = false;
};

} // namespace

command_shell& system_shell() {
  struct standard_shell : command_shell {
    int run(const char* text) override {
      return signals_deferred() ? run_hearing_signals(text) : std::system(text);
    }
  };
  static standard_shell shell;
  return shell;
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
    fail(failure_kind::usage, "", "Command text longer than %zu characters, not run\n",
         COMMAND_BUFFER_SIZE - 1);
  }
}

int report_status(run_output& out, int status) {
  if ((status & 0x7f) != 0) {
    out.progress(
        format_text("system() exit with return_code=%d, child exited abnormally\n", status));
    return EXIT_TOOL_ERROR;
  }
  const int code = (status >> 8) & 0xff;
  out.progress(
      format_text("system() exit with return_code=%d, child exit status=%d\n", status, code));
  return code;
}

int command_runner::run_in_shell(const char* text, command_log log) {
  command_buffer command;
  if (log == command_log::logged && log_.is_open()) {
    format_command(command, "%s 2>&1 >> %s", text, shell_quote(log_.path()).c_str());
    log_.write(std::string(command) + "\n");
  } else {
    format_command(command, "%s", text);
  }
  // The shell appends the command's output to the log and the run's streams, so the run's pending
  // lines go first.
  out_.flush();
  log_.flush();
  switch (out_.programs_output()) {
  case run_output::program_output::with_the_run:
    return shell_.run(command);
  case run_output::program_output::standard_error:
    // The shell's own standard output goes to standard error, and with it the program's.
    return shell_.run(("exec 1>&2; " + std::string(command)).c_str());
  case run_output::program_output::shown_on_failure:
    break;
  }
  return run_held_back(command);
}

int command_runner::run_held_back(const char* command) {
  // A file of the run's own with no name: another user can neither read nor replace it. The shell
  // gets it as both of its streams; the programs it starts never see it by any other number.
  char name[] = "/tmp/vek_smbios_util.output.XXXXXX";
  const unique_fd held(::mkostemp(name, O_CLOEXEC));
  if (!held.valid() || ::unlink(name) != 0) {
    fail(failure_kind::file, "/tmp", "Unable to create a file in /tmp: %s\n", std::strerror(errno));
  }
  int status;
  {
    const streams_to_file streams(held.get());
    if (!streams.sent()) {
      fail(failure_kind::file, "/tmp", "Unable to hold a program's output back: %s\n",
           std::strerror(errno));
    }
    status = shell_.run(command);
  }
  if (status != 0) {
    std::string said;
    char buffer[4096];
    ssize_t got;
    off_t at = 0;
    while ((got = ::pread(held.get(), buffer, sizeof buffer, at)) > 0) {
      said.append(buffer, static_cast<std::size_t>(got));
      at += got;
    }
    out_.notice(said);
  }
  return status;
}

void command_runner::run(const char* text, command_log log) {
  const int raw = run_watched(text, log);
  if (const int status = report_status(out_, raw)) {
    run_failure failure(status, failure_kind::outside_program, "", program_of(text));
    // A program that ended by itself has a status of its own, which a script may want even when
    // the run ends with another.
    if ((raw & 0x7f) == 0) {
      failure.with_program_status((raw >> 8) & 0xff);
    }
    throw failure;
  }
}

int command_runner::run_status(const char* text, command_log log) {
  return report_status(out_, run_watched(text, log));
}

int command_runner::run_watched(const char* text, command_log log) {
  // A batch told to stop begins no further program; one whose program died by an interrupt
  // stops as if it had been interrupted itself.
  stop_if_interrupted();
  const int status = run_in_shell(text, log);
  if (const int signal_number = interrupting_signal(status)) {
    note_signal(signal_number);
  }
  return status;
}
