// The options of the command line, declared once in one table, and the parse of them.
#include "cli/options.h"

#include "cli/field_value.h"
#include "record/text_escape.h"
#include "util/failure.h"
#include "util/version.h"

#include <stdio.h>
#include <stdlib.h>

#include <array>
#include <cstring>

// How the parse is going, beyond the settings.
struct parse_state {
  char** argv = nullptr;
  dmi_record* cmdline_record = nullptr;
  int current = 0; // the table's row of the option being taken
  bool modes_differ = false;
  // The first option given that --restore and --discard-journal do not take, as written.
  std::string first_other;
  // How often each option of the table was given, and the last path taken by each.
  std::array<int, 32> given{};
  std::array<const char*, 32> last_path{};
};

namespace {

void take_mode(run_settings& settings, operating_mode mode, parse_state& state) {
  if (settings.mode != OP_NONE && settings.mode != mode) {
    state.modes_differ = true;
  }
  settings.mode = mode;
}

template <operating_mode mode>
void set_mode(run_settings& settings, const char*, parse_state& state) {
  take_mode(settings, mode, state);
}

void take_update(run_settings& settings, const char* argument, parse_state& state) {
  take_mode(settings, OP_UPDATE, state);
  settings.bios_file = argument;
}

template <bool run_settings::*flag>
void set_flag(run_settings& settings, const char*, parse_state&) {
  settings.*flag = true;
}

void set_verbose(run_settings& settings, const char*, parse_state&) {
  settings.verbose = 1;
}

// The option as the operator would write it: "-f", "--json".
std::string option_words(const option_entry& entry) {
  return entry.short_name != 0 ? std::string("-") + entry.short_name
                               : std::string("--") + entry.long_name;
}

// A path that may be given again, the last one taken (a warning says so).
template <std::optional<std::string> run_settings::*path>
void take_last(run_settings& settings, const char* argument, parse_state& state) {
  settings.*path = argument;
  state.last_path[static_cast<std::size_t>(state.current)] = argument;
}

// The one path an option may be given: a second one ends the parse, since taking either could
// stamp or replace the wrong file.
template <std::optional<std::string> run_settings::*path>
void take_once(run_settings& settings, const char* argument, parse_state& state) {
  if (settings.*path) {
    fail(failure_kind::usage, "", "%s given more than once; give it one file",
         option_words(option_table().begin()[state.current]).c_str());
  }
  settings.*path = argument;
}

// Takes --row FIELD=VALUE, the row of the batch table whose FIELD holds VALUE; the field must be
// one of the field names, so a misspelt one is refused before the table is read.
void take_row(run_settings& settings, const char* argument, parse_state&) {
  const std::string row = argument;
  const std::size_t equals = row.find('=');
  if (equals == std::string::npos || lookup_field(row.substr(0, equals).c_str()) < 0) {
    fail(failure_kind::usage, "", "--row takes FIELD=VALUE, FIELD a field name: '%s' is not",
         escape_control_bytes(row).c_str());
  }
  if (settings.batch_row) {
    fail(failure_kind::usage, "", "--row given more than once; give it one row");
  }
  settings.batch_row = row;
}

void take_shown_field(run_settings& settings, const char* argument, parse_state&) {
  const int field = lookup_field(argument);
  if (field < 0) {
    fail(failure_kind::usage, "", "-g takes a field name: '%s' is none",
         escape_control_bytes(argument).c_str());
  }
  settings.shown_fields.add(static_cast<field_id>(field));
}

template <run_settings::notice text> void show(run_settings& settings, const char*, parse_state&) {
  settings.shown = text;
}

// clang-format off
constexpr option_entry OPTIONS[] = {
  {'r', nullptr, option_argument::none, nullptr, "read the DMI info from flash", false, set_mode<OP_READ>},
  {'w', nullptr, option_argument::none, nullptr, "write the DMI info to flash", false, set_mode<OP_WRITE>},
  {'u', nullptr, option_argument::file, nullptr, "update the coreboot region", false, take_update},
  {'c', nullptr, option_argument::file, nullptr, "read DMI fields from config file", false,
   take_last<&run_settings::config_path>},
  {'l', nullptr, option_argument::file, nullptr, "log detailed information to log file", true,
   take_last<&run_settings::log_path>},
  {'b', nullptr, option_argument::file, nullptr,
   "save a binary copy of the updated DMI region to file", false, take_last<&run_settings::copy_path>},
  {'h', "help", option_argument::none, nullptr, "help", false, show<run_settings::notice::help>},
  {'v', nullptr, option_argument::none, nullptr, "verbose", false, set_verbose},
  {'f', "image", option_argument::file, "<image file>", "use an image file instead of the flash",
   false, take_once<&run_settings::image_file>},
  {'n', "dry-run", option_argument::none, nullptr, "dry run: show what would change, write nothing",
   false, set_flag<&run_settings::dry_run>},
  {0, "json", option_argument::none, nullptr, "print the result as JSON on standard output", true,
   set_flag<&run_settings::json>},
  {'o', "output", option_argument::file, "<output file>",
   "with -f, make this file and leave the image file as it was", false,
   take_once<&run_settings::output_file>},
  {0, "restore", option_argument::none, nullptr,
   "put back the flash region kept from before a failed write", true,
   set_flag<&run_settings::restore>},
  {0, "same-board", option_argument::none, nullptr,
   "with --restore, take the journal as this board's without its identity", true,
   set_flag<&run_settings::same_board>},
  {0, "discard-journal", option_argument::none, nullptr,
   "drop the journal of an earlier flash write", true, set_flag<&run_settings::discard_journal>},
  {0, "batch", option_argument::file, "<table>",
   "with -w, -f and -o <folder>, stamp an image for each row of the table", false,
   take_once<&run_settings::batch_table>},
  {0, "strict", option_argument::none, nullptr,
   "refuse empty values, blanks at their ends and placeholders", false,
   set_flag<&run_settings::strict>},
  {0, "expect", option_argument::none, nullptr,
   "read and check that the record holds the values given; with --batch, -f and -o <folder>, "
   "check every image of the folder",
   false, set_flag<&run_settings::expect>},
  {0, "row", option_argument::value, "<field>=<value>",
   "with --batch, write (-w) or check (--expect) the one row whose field holds the value", false,
   take_row},
  {'g', "get", option_argument::field, "<field>", "with -r, print only this field's value", false,
   take_shown_field},
  {'q', "quiet", option_argument::none, nullptr, "quiet: print nothing but the result", false,
   set_flag<&run_settings::quiet>},
  {0, "version", option_argument::none, nullptr, nullptr, false,
   show<run_settings::notice::version>},
};
// clang-format on
constexpr int OPTION_COUNT = static_cast<int>(sizeof OPTIONS / sizeof OPTIONS[0]);
static_assert(OPTION_COUNT <= static_cast<int>(std::tuple_size_v<decltype(parse_state::given)>));

// getopt_long's values: a short option's own letter; a long option's row of the table, or its
// field, past every letter. None is 0, which getopt_long leaves in optopt after an unknown long
// option.
constexpr int ROW_VALUE = 0x100;
constexpr int FIELD_VALUE = 0x200;

bool is_row_value(int value) {
  return value >= ROW_VALUE && value < ROW_VALUE + OPTION_COUNT;
}

bool is_field_value(int value) {
  return value >= FIELD_VALUE && value < FIELD_VALUE + FIELD_COUNT;
}

// getopt_long's two tables, made from the option table once: the short options' letters, and
// the field options, then the long names of the table.
struct getopt_tables {
  std::string short_options;
  std::array<struct option, FIELD_COUNT + OPTION_COUNT + 1> long_options{};
};

const getopt_tables& tables() {
  static const getopt_tables made = [] {
    getopt_tables tables;
    int at = 0;
    for (int id = 0; id < FIELD_COUNT; ++id) {
      tables.long_options[at++] = {dmi_fields[id].name, required_argument, nullptr,
                                   FIELD_VALUE + id};
    }
    for (int row = 0; row < OPTION_COUNT; ++row) {
      const option_entry& entry = OPTIONS[row];
      const int has_argument =
          entry.argument == option_argument::none ? no_argument : required_argument;
      if (entry.short_name != 0) {
        tables.short_options += entry.short_name;
        tables.short_options += has_argument == no_argument ? "" : ":";
      }
      if (entry.long_name != nullptr) {
        tables.long_options[at++] = {entry.long_name, has_argument, nullptr, ROW_VALUE + row};
      }
    }
    return tables;
  }();
  return made;
}

// The table's row of the option getopt_long returned, or null for a field option or none.
const option_entry* entry_of(int option) {
  if (is_row_value(option)) {
    return &OPTIONS[option - ROW_VALUE];
  }
  for (const option_entry& entry : OPTIONS) {
    if (entry.short_name != 0 && entry.short_name == option) {
      return &entry;
    }
  }
  return nullptr;
}

// getopt_long keeps its position between calls; start each parse from the first argument.
void reset_getopt() {
#if defined(__FreeBSD__)
  optreset = 1;
  optind = 1;
#else
  optind = 0;
#endif
}

// getopt_long says what it refuses on standard error itself. Its words are kept instead while it
// parses, for the failure that carries them: the reporter alone writes the standard streams.
class getopt_words {
public:
  getopt_words() : stream_(::open_memstream(&text_, &size_)) {
    if (stream_ != nullptr) {
      saved_ = stderr;
      stderr = stream_;
    }
  }
  ~getopt_words() {
    if (stream_ != nullptr) {
      stderr = saved_;
      std::fclose(stream_);
    }
    ::free(text_);
  }
  getopt_words(const getopt_words&) = delete;
  getopt_words& operator=(const getopt_words&) = delete;

  // What getopt_long said so far, without its line end.
  std::string said() {
    if (stream_ == nullptr || std::fflush(stream_) != 0) {
      return "";
    }
    std::string text(text_, size_);
    return text.ends_with('\n') ? text.substr(0, text.size() - 1) : text;
  }

private:
  char* text_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* stream_;
  std::FILE* saved_ = nullptr;
};

// The option getopt_long has just refused, as the operator wrote it.
std::string bad_option_word(const parse_state& state) {
  if (optopt > 0 && optopt < 0x80) {
    return std::string("-") + static_cast<char>(optopt);
  }
  if (is_field_value(optopt)) {
    return std::string("--") + field_name(static_cast<field_id>(optopt - FIELD_VALUE));
  }
  if (is_row_value(optopt)) {
    return std::string("--") + OPTIONS[optopt - ROW_VALUE].long_name;
  }
  // An unknown or ambiguous long option, without the value given with it.
  const std::string word = optind > 0 ? state.argv[optind - 1] : "";
  return escape_control_bytes(word.substr(0, word.find('=')));
}

void take_field(int option, run_settings& settings, const char* argument, parse_state& state) {
  const auto field = static_cast<field_id>(option - FIELD_VALUE);
  settings.fields_given = true;
  const value_outcome outcome = set_field_value(*state.cmdline_record, field, argument);
  if (!outcome.taken()) {
    throw run_failure(EXIT_TOOL_ERROR, failure_kind::refused_value, outcome.why, field_name(field));
  }
}

// Takes one option getopt_long returned. Throws when it ends the parse with a failure.
void take_option(int option, run_settings& settings, parse_state& state, getopt_words& words) {
  const option_entry* entry = entry_of(option);
  const bool field = is_field_value(option);
  if (state.first_other.empty() && (field || (entry != nullptr && !entry->journal_runs))) {
    state.first_other =
        field ? std::string("--") + field_name(static_cast<field_id>(option - FIELD_VALUE))
              : option_words(*entry);
  }
  if (field) {
    take_field(option, settings, optarg, state);
    return;
  }
  if (entry == nullptr) {
    // After a bad option the help follows, as it always has.
    settings.shown = run_settings::notice::help;
    throw run_failure(EXIT_TOOL_ERROR, failure_kind::usage, words.said(), bad_option_word(state));
  }
  state.current = static_cast<int>(entry - OPTIONS);
  ++state.given[static_cast<std::size_t>(state.current)];
  entry->take(settings, optarg, state);
}

// Refuses an output file that the run would not make: without an image file to make it from, or
// for a read, which writes nothing.
void check_output_file(const run_settings& settings) {
  if (!settings.output_file) {
    return;
  }
  if (!settings.image_file) {
    fail(failure_kind::usage, "", "-o needs -f: the output file is made from an image file");
  }
  // The check of a batch reads the images of the -o folder.
  const bool checks_batch = settings.batch_table && settings.expect && !settings.batch_row;
  if (settings.mode == OP_READ && !checks_batch) {
    fail(failure_kind::usage, "", "-o is for -w and -u: -r writes nothing");
  }
}

// Refuses the options of a batch given to another kind of run: a batch stamps images from an
// image file into a folder, or checks them there with --expect; with --row it is one run with the
// values of one row, a write or a check.
void check_batch_kind(const run_settings& settings) {
  if (settings.batch_row && !settings.batch_table) {
    fail(failure_kind::usage, "", "--row needs --batch: it picks a row of the batch table");
  }
  if (!settings.batch_table) {
    return;
  }
  if (settings.batch_row) {
    if (settings.mode != OP_WRITE && !settings.expect) {
      fail(failure_kind::usage, "",
           "--row is for -w, or for -r with --expect: it writes or checks one board");
    }
    return;
  }
  if (settings.expect && (!settings.image_file || !settings.output_file)) {
    fail(failure_kind::usage, "",
         "--expect --batch needs -f and -o: it checks the images of a folder against those the "
         "image file makes");
  }
  if (!settings.expect &&
      (settings.mode != OP_WRITE || !settings.image_file || !settings.output_file)) {
    fail(failure_kind::usage, "",
         "--batch needs -w, -f and -o: the images of a batch are stamped from an image file "
         "into a folder");
  }
}

// Refuses the options of one kind of run given to another: a batch stamps or checks images,
// --expect and -g read a record.
void check_run_kind(const run_settings& settings) {
  if (settings.expect && settings.mode != OP_READ) {
    fail(failure_kind::usage, "", "--expect is for -r: it checks the record read");
  }
  check_batch_kind(settings);
  if (!settings.shown_fields.empty() && (settings.mode != OP_READ || settings.expect)) {
    fail(failure_kind::usage, "", "-g is for -r: it prints values read");
  }
  if (!settings.shown_fields.empty() && settings.json) {
    fail(failure_kind::usage, "",
         "-g prints values as text: --json prints them all in its document");
  }
}

// The restore and the discard of the journal are runs of their own on the chip, with nothing to
// show but their progress: an option meant for another run is refused, not dropped.
void check_journal_run(const run_settings& settings, const parse_state& state) {
  if (settings.restore && settings.discard_journal) {
    fail(failure_kind::usage, "",
         "--restore and --discard-journal are runs of their own: give one");
  }
  // The operator's word that the journal is this board's means nothing to any other run.
  if (settings.same_board && !settings.restore) {
    fail(failure_kind::usage, "",
         "--same-board is for --restore: it takes the journal as this board's");
  }
  if ((settings.restore || settings.discard_journal) && !state.first_other.empty()) {
    fail(failure_kind::usage, "", "%s takes no option but %s: %s given",
         settings.restore ? "--restore" : "--discard-journal",
         settings.restore ? "-l, --json and --same-board" : "-l and --json",
         state.first_other.c_str());
  }
}

// The warnings of a parse that goes on: several modes, a path option given more than once.
item_list<std::string> warnings_of(const run_settings& settings, const parse_state& state) {
  item_list<std::string> warnings;
  if (state.modes_differ) {
    const char* taken = settings.mode == OP_READ ? "-r" : settings.mode == OP_WRITE ? "-w" : "-u";
    warnings.push_back(format_text(
        "Warning: more than one of -r, -w, -u given; the last one, %s, is taken\n", taken));
  }
  for (int row = 0; row < OPTION_COUNT; ++row) {
    const auto at = static_cast<std::size_t>(row);
    // Only the paths that take the last of several note it (see take_last).
    if (state.given[at] > 1 && state.last_path[at] != nullptr) {
      warnings.push_back(
          format_text("Warning: -%c given more than once; the last one, %s, is taken\n",
                      OPTIONS[row].short_name, escape_control_bytes(state.last_path[at]).c_str()));
    }
  }
  return warnings;
}

// Reads every option, taking them up to the one that ends the parse (a failure, -h, --version);
// past it only --json counts, and getopt_long says nothing more. Returns the failure, if any.
std::optional<run_failure> take_options(int argc, char* argv[], run_settings& settings,
                                        parse_state& state) {
  const getopt_tables& table = tables();
  const int saved_opterr = opterr;
  std::optional<run_failure> failure;
  bool ended = false;
  getopt_words words;
  int option;
  while ((option = getopt_long(argc, argv, table.short_options.c_str(), table.long_options.data(),
                               nullptr)) != -1) {
    if (ended) {
      const option_entry* entry = entry_of(option);
      settings.json =
          settings.json || (entry != nullptr && entry->take == set_flag<&run_settings::json>);
      continue;
    }
    try {
      take_option(option, settings, state, words);
    } catch (const run_failure& refused) {
      failure = refused;
    }
    ended = failure || settings.shown != run_settings::notice::none;
    opterr = ended ? 0 : opterr;
  }
  opterr = saved_opterr;
  return failure;
}

} // namespace

option_table_view option_table() {
  return {OPTIONS, OPTION_COUNT};
}

item_list<std::string> parse_arguments(int argc, char* argv[], run_settings& settings,
                                       dmi_record& cmdline_record) {
  reset_getopt();
  parse_state state;
  state.argv = argv;
  state.cmdline_record = &cmdline_record;
  if (std::optional<run_failure> failure = take_options(argc, argv, settings, state)) {
    throw *failure;
  }
  if (settings.shown != run_settings::notice::none) {
    return {};
  }
  // getopt_long has moved the words that are not options to the end. Such a word is most often
  // a value written without its leading "--", which would otherwise be dropped without a word.
  if (optind < argc) {
    fail(failure_kind::usage, "", "Unexpected argument '%s': values are given as --NAME=VALUE",
         escape_control_bytes(argv[optind]).c_str());
  }
  check_journal_run(settings, state);
  item_list<std::string> warnings = warnings_of(settings, state);
  // --expect reads: without a mode it is a read.
  if (settings.expect && settings.mode == OP_NONE) {
    settings.mode = OP_READ;
  }
  check_output_file(settings);
  check_run_kind(settings);
  if (settings.mode == OP_UPDATE && settings.fields_given) {
    settings.mode = OP_UPDATE_DMI;
  }
  return warnings;
}

std::string help_text() {
  std::string text = format_text("vek_smbios_util  -- version:%s \n", TOOL_VERSION);
  text += " Usage: vek_smbios_util -r -w -u <bios file> -c <config file> -l <log file> "
          "-b <bin file> -h -v\n";
  for (const option_entry& entry : OPTIONS) {
    if (entry.help != nullptr) {
      text += ' ';
      text += option_words(entry);
      text += entry.help_argument != nullptr ? std::string(" ") + entry.help_argument : "";
      text += std::string(" ") + entry.help + "\n";
    }
  }
  text += " dmi_fields:\n";
  for (const struct option* entry = dmi_fields; entry->name != nullptr; ++entry) {
    text += format_text("\t%s\n", entry->name);
  }
  return text;
}

std::string version_text() {
  return format_text("vek_smbios_util %s\n", tool_version());
}

std::string notice_text(const run_settings& settings) {
  switch (settings.shown) {
  case run_settings::notice::help:
    return help_text();
  case run_settings::notice::version:
    return version_text();
  case run_settings::notice::none:
    break;
  }
  return "";
}
