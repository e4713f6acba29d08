// The one way a run of vek_smbios_util ends early: a run_failure, thrown where the failure is
// found and caught at the top (main, or one image of a batch), where it is shown and its status
// becomes the exit status. Nothing below main ends the process, so every owner on the way up
// cleans up after itself.
#pragma once

#include <exception>
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

// The kind's name as a script reads it: "usage", "refused-value", "outside-program"...
const char* failure_kind_name(failure_kind kind);

// How a failed write left the chip: its region written back from the journal, or partly
// written and kept in the journal for --restore.
enum class flash_after_failure { restored, needs_restore };

class run_failure : public std::exception {
public:
  // `message` carries its own line end; empty when everything was said already. `subject` is what
  // the failure concerns: the field of a refused value or a mismatch, the program that failed,
  // otherwise the path of the file (empty when none).
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

  // Members a JSON document of the failure carries beyond the common ones, as JSON text that
  // starts with a comma (the fields that differ, for a mismatch).
  const std::string& document_members() const {
    return document_members_;
  }
  run_failure& with_document_members(std::string members) {
    document_members_ = std::move(members);
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
  std::string document_members_;
  bool on_standard_output_ = false;
  std::optional<flash_after_failure> flash_;
  int system_error_ = 0;
};

// The formatted text, as printf would write it.
[[gnu::format(printf, 1, 2)]] std::string format_text(const char* format, ...);

// Ends the run with EXIT_TOOL_ERROR: a failure of `kind` about `subject`, with the formatted
// message (the caller gives its line end).
[[noreturn, gnu::format(printf, 3, 4)]] void fail(failure_kind kind, const std::string& subject,
                                                  const char* format, ...);
