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

reporter::reporter(output_form form, bool quiet) : form_(form), quiet_(quiet) {
  // Every line reaches standard output as it is written, so with both streams sent to one file
  // the tool's lines keep the order of events beside those on standard error.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}

reporter reporter::for_settings(const run_settings& settings) {
  // -g prints the values alone, as -q prints the result alone.
  return reporter(settings.json ? output_form::json : output_form::text,
                  settings.quiet || !settings.shown_fields.empty());
}

void reporter::progress(std::string_view line) {
  if (!quiet_) {
    put(form_ == output_form::json ? stderr : stdout, line);
  }
}

void reporter::notice(std::string_view line) {
  std::fflush(stdout);
  put(stderr, line);
}

void reporter::flush() {
  std::fflush(stdout);
  std::fflush(stderr);
}

run_output::program_output reporter::programs_output() const {
  if (quiet_) {
    return program_output::shown_on_failure;
  }
  return form_ == output_form::json ? program_output::standard_error : program_output::with_the_run;
}

void reporter::show_text(std::string_view text) {
  put(form_ == output_form::json ? stderr : stdout, text);
}

void reporter::show_count(std::size_t done, std::size_t total) {
  if (::isatty(STDERR_FILENO) == 1) {
    std::fprintf(stderr, "\r%zu of %zu rows done%s", done, total, done == total ? "\n" : "");
  }
}

int reporter::write_document(std::string_view document) {
  flush();
  ::signal(SIGPIPE, SIG_IGN);
  while (!document.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, document.data(), document.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      errno = written == 0 ? EIO : errno;
      return -1;
    }
    document.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

void reporter::show_result(const run_settings& settings, const mode_result& result) {
  // The text form's result first: with a JSON document it goes to standard error, beside the
  // run's other lines, unless the run is quiet.
  std::string text;
  if (settings.mode == OP_READ && !settings.shown_fields.empty()) {
    for (const field_id field : settings.shown_fields) {
      text += field_value_text(result.found, field) + "\n";
    }
  } else if (settings.mode == OP_READ && !settings.expect) {
    print_dmi_fields(text, result.found);
  } else if (settings.dry_run && settings.mode != OP_READ) {
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
  if (form_ != output_form::json) {
    put(stdout, text);
    return;
  }
  progress(text);
  if (write_document(json_document(settings, result.found, result.stored)) != 0) {
    notice(format_text("Unable to write the JSON document: %s\n", std::strerror(errno)));
    throw run_failure(EXIT_TOOL_ERROR, failure_kind::file, change_note(settings, result.stored));
  }
}

void reporter::show_journal_result(const run_settings& settings,
                                   const item_list<discarded_file>& discarded) {
  if (form_ == output_form::json &&
      write_document(json_journal_document(settings, discarded)) != 0) {
    notice(format_text("Unable to write the JSON document: %s\n", std::strerror(errno)));
    throw run_failure(EXIT_TOOL_ERROR, failure_kind::file, "");
  }
}

void reporter::show_failure(const run_settings& settings, const run_failure& failure) {
  // The message is kept without its line end; an empty one was said already.
  const std::string line = failure.message().empty() ? "" : failure.message() + "\n";
  if (failure.on_standard_output() && form_ == output_form::text) {
    put(stdout, line);
    std::fflush(stdout);
    return;
  }
  notice(line);
  if (form_ == output_form::json) {
    // A reader that went away cannot be told; the message above says it all the same.
    write_document(json_failure_document(settings, failure));
  }
}
