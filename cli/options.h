// The run's settings and the parsing of the command line into them.
#pragma once

#include "record/dmi_record.h"

#include <optional>
#include <string>

enum operating_mode {
  OP_READ = 0,
  OP_WRITE = 1,
  OP_UPDATE = 2,
  OP_UPDATE_DMI = 3,
  OP_NONE = 4,
};

// What the command line asked for, held by main for the whole run.
struct run_settings {
  operating_mode mode = OP_NONE;
  std::optional<std::string> bios_file;   // -u
  std::optional<std::string> config_path; // -c
  std::optional<std::string> copy_path;   // -b
  std::optional<std::string> log_path;    // -l
  int verbose = 0;                        // -v; no output depends on it
  bool fields_given = false;              // any DMI field option, the UUID included
  std::optional<std::string> image_file;  // -f: the image file that stands in for the chip
  bool dry_run = false;                   // -n
  bool json = false;                      // --json
  bool restore = false;                   // --restore: put the journal's region back
};

// The tool's version as the help text shows it.
constexpr const char* TOOL_VERSION = "01.00.00.01";

// Parses the options into `settings` and the field options into `cmdline_record`, then turns
// OP_UPDATE into OP_UPDATE_DMI when a field was given. Of several modes the last is taken, with a
// warning on standard error. Returns nothing when the run goes on, otherwise the status the run
// must end with, what it had to say already printed: 0 after -h, EXIT_TOOL_ERROR after a bad
// option (with the help text), a value refused (see set_field_value), a word that is not an
// option, or --restore with a mode, -f, -n or --json.
std::optional<int> parse_arguments(int argc, char* argv[], run_settings& settings,
                                   dmi_record& cmdline_record);

// Writes the help text to standard output.
void show_help();

// Whether the command line asks for --json, read as parse_arguments reads it but without saying
// anything, so a run can set its output aside before parsing prints a line.
bool json_requested(int argc, char* argv[]);
