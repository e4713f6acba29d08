// Entry of vek_smbios_util: parse the command line, then run.
#include "cli/options.h"
#include "record/dmi_record.h"
#include "run/json_output.h"
#include "run/run_tool.h"
#include "util/fail.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace {

// Opens /dev/null on each of the descriptors 0, 1 and 2 that the run was started without, so no
// file the run opens takes the place of a standard stream and gets what is written to it.
// Returns whether it could.
bool fill_standard_descriptors() {
  for (;;) {
    const int fd = ::open("/dev/null", O_RDWR | O_NOCTTY);
    if (fd < 0) {
      return false;
    }
    if (fd > STDERR_FILENO) {
      ::close(fd);
      return true;
    }
  }
}

} // namespace

int main(int argc, char* argv[]) {
  if (!fill_standard_descriptors()) {
    return EXIT_TOOL_ERROR;
  }
  // Every line reaches standard output as it is written, so with both streams sent to one file
  // the tool's lines keep the order of events beside those on standard error.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  dmi_record config_record;
  dmi_record cmdline_record;
  dmi_record merged_record;
  dmi_record_init(config_record);
  dmi_record_init(cmdline_record);
  dmi_record_init(merged_record);
  run_settings settings;
  try {
    const auto status = parse_arguments(argc, argv, settings, cmdline_record);
    // Set aside before anything is shown, so that with --json not even the help after a bad
    // option reaches standard output: it holds the document or nothing.
    if (settings.json) {
      divert_standard_output();
    }
    show_notice(settings);
    if (status) {
      return *status; // -h, --help, --version, or a bad option already reported
    }
    run_tool(settings, config_record, cmdline_record, merged_record);
    return 0;
  } catch (const run_failure& failure) {
    // After what standard output holds, so both streams keep the order of events.
    std::fflush(stdout);
    std::fputs(failure.message().c_str(), stderr);
    return failure.status();
  }
}
