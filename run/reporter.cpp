// The one voice of a run.
#include "run/reporter.h"

#include "record/text_escape.h"
#include "run/json_output.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

void put(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
}

} // namespace

reporter::reporter(output_form form) : form_(form) {
  // Every line reaches standard output as it is written, so with both streams sent to one file
  // the tool's lines keep the order of events beside those on standard error.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}

void reporter::progress(std::string_view line) {
  put(form_ == output_form::json ? stderr : stdout, line);
}

void reporter::notice(std::string_view line) {
  std::fflush(stdout);
  put(stderr, line);
}

void reporter::flush() {
  std::fflush(stdout);
  std::fflush(stderr);
}

bool reporter::programs_to_standard_error() const {
  return form_ == output_form::json;
}

void reporter::show_text(std::string_view text) {
  progress(text);
}

int reporter::write_whole(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      errno = written == 0 ? EIO : errno;
      return -1;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

void reporter::show_result(const run_settings& settings, const mode_result& result) {
  // The text form's result first: with a JSON document it goes to standard error, beside the
  // run's other lines.
  std::string text;
  if (settings.mode == OP_READ) {
    print_dmi_fields(text, result.found);
  } else if (settings.dry_run) {
    if (settings.mode == OP_WRITE) {
      print_field_changes(text, result.found, result.stored);
    } else {
      text += "The coreboot region would be replaced by that of " +
              escape_control_bytes(settings.bios_file.value_or("")) + "\n";
      print_field_changes(text, result.found, result.stored,
                          "The record would be carried over unchanged\n");
    }
    text += "Dry run: nothing was written\n";
  }
  progress(text);
  if (form_ != output_form::json) {
    return;
  }
  flush();
  // A reader that went away gives EPIPE here rather than ending the run by the signal, so the
  // run can still say what it did.
  ::signal(SIGPIPE, SIG_IGN);
  if (write_whole(STDOUT_FILENO, json_document(settings, result.found, result.stored)) != 0) {
    notice(format_text("Unable to write the JSON document: %s\n", std::strerror(errno)));
    throw run_failure(EXIT_TOOL_ERROR, failure_kind::file, change_note(settings, result.stored));
  }
}

void reporter::show_failure(const run_failure& failure) {
  if (failure.on_standard_output() && form_ == output_form::text) {
    put(stdout, failure.message());
    std::fflush(stdout);
    return;
  }
  notice(failure.message());
}
