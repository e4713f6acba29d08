// Entry of vek_smbios_util: parse the command line, run, and show the result or the failure.
#include "cli/options.h"
#include "record/dmi_record.h"
#include "run/reporter.h"
#include "run/run_tool.h"
#include "system/leftovers.h"
#include "util/failure.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace {

// Opens /dev/null on each of the descriptors 0, 1 and 2 that the run was started without, so no
// file the run opens takes the place of a standard stream and gets what is written to it.
// Returns whether it could.
bool fill_standard_descriptors() {
  for (;;) {
    unique_fd null(::open("/dev/null", O_RDWR | O_NOCTTY));
    if (!null.valid()) {
      return false;
    }
    if (null.get() > STDERR_FILENO) {
      return true; // all three are open: this one goes
    }
    null.release(); // it stands for a standard stream from now on
  }
}

// Runs what the command line asked for and shows its result or its failure. Returns the exit
// status.
int run(const run_settings& settings, const dmi_record& cmdline_record,
        const item_list<std::string>& warnings, reporter& out) {
  try {
    for (const std::string& warning : warnings) {
      out.notice(warning);
    }
    return run_tool(settings, cmdline_record, out);
  } catch (const run_failure& failure) {
    out.show_failure(settings, failure);
    return failure.status();
  }
}

} // namespace

int main(int argc, char* argv[]) {
  if (!fill_standard_descriptors()) {
    return EXIT_TOOL_ERROR;
  }
  run_settings settings;
  dmi_record cmdline_record;
  dmi_record_init(cmdline_record);
  std::optional<run_failure> refused;
  item_list<std::string> warnings;
  try {
    warnings = parse_arguments(argc, argv, settings, cmdline_record);
  } catch (const run_failure& failure) {
    refused = failure; // shown in the form the whole command line asks for
  }
  // The form is known only once the whole command line is read: with --json, not even the help
  // after a bad option reaches standard output, which holds the document or nothing.
  reporter out = reporter::for_settings(settings);
  if (refused) {
    // getopt_long's words come before the help that follows them, as they always have.
    out.show_failure(settings, *refused);
    out.show_text(notice_text(settings));
    return refused->status();
  }
  out.show_text(notice_text(settings));
  if (settings.shown != run_settings::notice::none) {
    return 0; // -h, --help, --version
  }
  const int status = run(settings, cmdline_record, warnings, out);
  // A batch that was interrupted ends by the signal that stopped it, once it has said so.
  out.flush();
  end_by_noted_signal();
  return status;
}
