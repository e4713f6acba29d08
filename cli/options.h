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
  bool same_board = false; // --same-board: with --restore, the journal is this board's
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

// What an option's argument is: none, a file (or folder), a field's name, or a value of its own.
enum class option_argument { none, file, field, value };

// How the parse is going: the counts of the options given, and what it has seen so far.
struct parse_state;

// What taking an option does to the settings: sets a member, or refuses the option (throws).
using option_take = void (*)(run_settings& settings, const char* argument, parse_state& state);

// One option of the command line, declared once: getopt's tables, the help text and the bash
// completion's list of options all come from the table of them (see option_table).
struct option_entry {
  char short_name;           // 0 for none
  const char* long_name;     // null for none
  option_argument argument;  // none, or what the argument is
  const char* help_argument; // how the help names the argument ("<image file>"), or null
  const char* help;          // the help line; null for an option the help does not list
  bool journal_runs;         // whether --restore and --discard-journal take it
  option_take take;          // what it sets in the run's settings
};

// Every option of the run, in the order of the help text; the field options (one per field,
// each --FIELD=VALUE) come from the field table and are not in it.
struct option_table_view {
  const option_entry* entries;
  int count;
  const option_entry* begin() const {
    return entries;
  }
  const option_entry* end() const {
    return entries + count;
  }
};
option_table_view option_table();

// Parses the options into `settings` and the field options into `cmdline_record`, then turns
// OP_UPDATE into OP_UPDATE_DMI when a field was given, and takes --expect without a mode as -r.
// Of several modes the last is taken, and a repeated -c, -l or -b takes the last, each with a
// warning among those returned; a repeated -f, -o, --batch or --row, -o without -f or with -r
// (but for the check of a batch's folder), and a --row whose field is no field name, are refused.
// Throws run_failure (255) on a bad option (getopt_long's words its message, the option as given
// its subject), a value refused (see set_field_value), a word that is not an option, or an option
// refused; the settings then hold what was read, --json included wherever it stands, so the failure
// can be shown in the form asked for. -h, --help and --version end the parse at once:
// `settings.shown` names the text to show (also the help after a bad option). Writes nothing.
item_list<std::string> parse_arguments(int argc, char* argv[], run_settings& settings,
                                       dmi_record& cmdline_record);

// The help text.
std::string help_text();

// "vek_smbios_util VERSION", the project's version.
std::string version_text();

// The text `settings.shown` names: the help, the version, or nothing.
std::string notice_text(const run_settings& settings);
