// The one way a run of vek_smbios_util ends early: a run_failure, thrown where the failure is
// found and caught at the top (main, or one image of a batch), where it is shown and its status
// becomes the exit status. Nothing below main ends the process, so every owner on the way up
// cleans up after itself. A failure carries data only; the reporter at the top words it for the
// form the operator chose.
#pragma once

#include "util/item_list.h"

#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <string>

// Exit status for every failure of the tool's own, and for an outside program that ended
// abnormally.
constexpr int EXIT_TOOL_ERROR = 255;

// What failed, for a script that reads the failure: a command line it cannot take, a value it
// refuses, an image file that is not one, a file it cannot use, an outside program that failed,
// the journal of flash writes, a lock another run holds, or a record that does not hold the
// values expected.
enum class failure_kind {
  usage,
  refused_value,
  image,
  file,
  outside_program,
  journal,
  lock,
  mismatch
};

// How a failed write left the chip: its region written back from the journal, or partly
// written and kept in the journal for --restore.
enum class flash_after_failure { restored, needs_restore };

// A field whose value differs from the one expected: its name and the two values as text.
struct value_mismatch {
  std::string field;
  std::string found;
  std::string expected;
};

// A problem of a batch table: its line, its column (a name, or for a header cell its place;
// empty when the problem is not in one cell), and what is wrong, in words.
struct table_problem {
  std::size_t line = 0;
  std::string column;
  std::string text;
};

class run_failure : public std::exception {
public:
  // `message` is the failure in words, without a line end (one given is taken off); empty when
  // everything was said already. `subject` is what the failure concerns: the field of a refused
  // value or a mismatch, the program that failed, the option of a command line refused, otherwise
  // the path of the file (empty when none).
  run_failure(int status, failure_kind kind, std::string message, std::string subject = "");

  int status() const {
    return status_;
  }
  failure_kind kind() const {
    return kind_;
  }
  const std::string& message() const {
    return message_;
  }
  const std::string& subject() const {
    return subject_;
  }
  const char* what() const noexcept override {
    return message_.c_str();
  }
  // The same failure ending the run with another status.
  run_failure& with_status(int status) {
    status_ = status;
    return *this;
  }
  // The same failure said in other words.
  run_failure& with_message(std::string message);

  // The two messages the tool has always printed on standard output ("Unknown Operation,
  // Aborting..." and the layout file's) keep their place.
  bool on_standard_output() const {
    return on_standard_output_;
  }
  run_failure& shown_on_standard_output() {
    on_standard_output_ = true;
    return *this;
  }

  // The file a refused value or a mismatch was found in (the subject names the field).
  const std::string& path() const {
    return path_;
  }
  run_failure& with_path(std::string path) {
    path_ = std::move(path);
    return *this;
  }

  // For an outside program that ended with an exit code: that code, whatever the run ends with.
  const std::optional<int>& program_status() const {
    return program_status_;
  }
  run_failure& with_program_status(int status) {
    program_status_ = status;
    return *this;
  }

  // For a failed flash write: what became of the chip.
  const std::optional<flash_after_failure>& flash() const {
    return flash_;
  }
  run_failure& with_flash(flash_after_failure flash) {
    flash_ = flash;
    return *this;
  }

  // For a mismatch: each field that differs, in table order.
  const item_list<value_mismatch>* mismatches() const {
    return mismatches_.get();
  }
  run_failure& with_mismatches(item_list<value_mismatch> mismatches);

  // For a refused batch table: the problems listed, and how many more were found but not listed.
  const item_list<table_problem>* problems() const {
    return problems_.get();
  }
  std::size_t problems_not_listed() const {
    return problems_not_listed_;
  }
  run_failure& with_problems(item_list<table_problem> problems, std::size_t not_listed = 0);
  // For a file that could not be made or written: the system's error number (0 when none was
  // given), so a caller making many files can tell a full or read-only disk from one file's fault.
  int system_error() const {
    return system_error_;
  }
  run_failure& with_system_error(int error) {
    system_error_ = error;
    return *this;
  }

private:
  int status_;
  failure_kind kind_;
  std::string message_;
  std::string subject_;
  std::string path_;
  bool on_standard_output_ = false;
  std::optional<int> program_status_;
  std::optional<flash_after_failure> flash_;
  // Shared, not copied, when the failure is: a thrown failure is copied on its way up.
  std::shared_ptr<const item_list<value_mismatch>> mismatches_;
  std::shared_ptr<const item_list<table_problem>> problems_;
  std::size_t problems_not_listed_ = 0;
  int system_error_ = 0;
};

// The failure in words: its message, or for an outside program that failed without one, the
// program and how it ended ("flashrom ended with status 1").
std::string failure_words(const run_failure& failure);

// The formatted text, as printf would write it.
[[gnu::format(printf, 1, 2)]] std::string format_text(const char* format, ...);

// Ends the run with EXIT_TOOL_ERROR: a failure of `kind` about `subject`, with the formatted
// message.
[[noreturn, gnu::format(printf, 3, 4)]] void fail(failure_kind kind, const std::string& subject,
                                                  const char* format, ...);
