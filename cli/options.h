// The run's settings and the parsing of the command line into them.
#pragma once

#include "record/dmi_record.h"
#include "util/failure.h"
#include "util/item_list.h"

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
  std::optional<std::string> output_file; // -o: made from the -f image, which stays as it was
  bool dry_run = false;                   // -n
  bool json = false;                      // --json
  bool restore = false;                   // --restore: put the journal's region back
  bool discard_journal = false;           // --discard-journal: drop the journal
  std::optional<std::string> batch_table; // --batch: stamp an image per row into the -o folder
  std::optional<std::string> batch_row;   // --row FIELD=VALUE: the one row of the table to run
  bool strict = false;                    // --strict: the value rules for every value given
  bool expect = false; // --expect: check the record read (or a batch's folder) against the values
  field_list shown_fields; // -g: the fields whose values a read prints
  bool quiet = false;      // -q: nothing but the result
  // The text a run that ends at parsing shows on standard output.
  enum class notice { none, help, version } shown = notice::none;
};

// The tool's version as the help text shows it.
constexpr const char* TOOL_VERSION = "01.00.00.01";

// What a parse has to say beyond the settings: warnings for a run that goes on, or the failure
// that ended the parse (empty after a bad option, which getopt_long has named already).
struct parse_words {
  item_list<std::string> warnings;
  std::optional<run_failure> refusal;
};

// Parses the options into `settings` and the field options into `cmdline_record`, then turns
// OP_UPDATE into OP_UPDATE_DMI when a field was given, and takes --expect without a mode as -r.
// Of several modes the last is taken, and a repeated -c, -l or -b takes the last, each with a
// warning in `words`; a repeated -f, -o, --batch or --row, -o without -f or with -r (but for the
// check of a batch's folder), and a --row whose field is no field name, are refused. Returns
// nothing when the run goes on, otherwise the status the run must end with: 0 after -h, --help or
// --version, EXIT_TOOL_ERROR after a bad option, a value refused (see set_field_value), a word that
// is not an option, an option refused, or --restore or --discard-journal with any other option but
// -l, the failure then in `words`. Writes nothing: `settings.shown` names the text to show (the
// help after -h or a bad option, the version), and the rest of the words are still read for --json,
// so the caller knows where the text and the failure go.
std::optional<int> parse_arguments(int argc, char* argv[], run_settings& settings,
                                   dmi_record& cmdline_record, parse_words& words);

// The help text.
std::string help_text();

// "vek_smbios_util VERSION", the project's version.
std::string version_text();

// The text `settings.shown` names: the help, the version, or nothing.
std::string notice_text(const run_settings& settings);
