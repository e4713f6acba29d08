// Command-line parsing and the help text.
#include "cli/options.h"

#include "cli/field_value.h"
#include "record/text_escape.h"
#include "util/failure.h"
#include "util/version.h"

#include <array>

namespace {

constexpr const char* SHORT_OPTIONS = "vrwhu:c:l:b:nf:o:qg:";
// getopt_long's values for the long options without a short form; beyond every character and
// field id.
constexpr int OPTION_JSON = 0x100;
constexpr int OPTION_RESTORE = 0x101;
constexpr int OPTION_VERSION = 0x102;
constexpr int OPTION_DISCARD_JOURNAL = 0x103;
constexpr int OPTION_BATCH = 0x104;
constexpr int OPTION_STRICT = 0x105;
constexpr int OPTION_EXPECT = 0x106;
constexpr int OPTION_ROW = 0x107;

// The field options, then the run's own long options. No abbreviation that names one field names
// one of them too, so every abbreviation of a field name means what it did before.
const struct option* long_options() {
  static const auto table = [] {
    std::array<struct option, FIELD_COUNT + 15> options{};
    for (int id = 0; id < FIELD_COUNT; ++id) {
      options[id] = dmi_fields[id];
    }
    options[FIELD_COUNT] = {"image", required_argument, nullptr, 'f'};
    options[FIELD_COUNT + 1] = {"dry-run", no_argument, nullptr, 'n'};
    options[FIELD_COUNT + 2] = {"json", no_argument, nullptr, OPTION_JSON};
    options[FIELD_COUNT + 3] = {"output", required_argument, nullptr, 'o'};
    options[FIELD_COUNT + 4] = {"help", no_argument, nullptr, 'h'};
    options[FIELD_COUNT + 5] = {"version", no_argument, nullptr, OPTION_VERSION};
    options[FIELD_COUNT + 6] = {"restore", no_argument, nullptr, OPTION_RESTORE};
    options[FIELD_COUNT + 7] = {"discard-journal", no_argument, nullptr, OPTION_DISCARD_JOURNAL};
    options[FIELD_COUNT + 8] = {"batch", required_argument, nullptr, OPTION_BATCH};
    options[FIELD_COUNT + 9] = {"strict", no_argument, nullptr, OPTION_STRICT};
    options[FIELD_COUNT + 10] = {"expect", no_argument, nullptr, OPTION_EXPECT};
    options[FIELD_COUNT + 11] = {"quiet", no_argument, nullptr, 'q'};
    options[FIELD_COUNT + 12] = {"get", required_argument, nullptr, 'g'};
    options[FIELD_COUNT + 13] = {"row", required_argument, nullptr, OPTION_ROW};
    options[FIELD_COUNT + 14] = {nullptr, 0, nullptr, 0};
    return options;
  }();
  return table.data();
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

// What the parse has seen so far beyond the settings: whether modes differ, and how often each
// path option that takes the last of several was given.
struct parse_state {
  char** argv = nullptr; // the words parsed, for the option getopt_long refuses
  bool modes_differ = false;
  // The first option given that --restore and --discard-journal do not take, as written.
  std::string first_other;
  int config_count = 0;
  int log_count = 0;
  int copy_count = 0;
};

// Takes a mode option; the last one given wins. Notes when it overrides a different mode.
void take_mode(run_settings& settings, operating_mode mode, parse_state& state) {
  if (settings.mode != OP_NONE && settings.mode != mode) {
    state.modes_differ = true;
  }
  settings.mode = mode;
}

const char* mode_option(operating_mode mode) {
  return mode == OP_READ ? "-r" : mode == OP_WRITE ? "-w" : "-u";
}

// Ends the parse with a failure of the command line: 255 and one line.
std::optional<int> refuse(parse_words& words, failure_kind kind, const std::string& subject,
                          std::string line) {
  words.refusal.emplace(EXIT_TOOL_ERROR, kind, std::move(line), subject);
  return EXIT_TOOL_ERROR;
}

// Takes the one path an option may be given; a second one ends the parse, since taking either
// could stamp or replace the wrong file.
std::optional<int> take_only_path(std::optional<std::string>& path, const char* option,
                                  parse_words& words) {
  if (path) {
    return refuse(words, failure_kind::usage, "",
                  format_text("%s given more than once; give it one file\n", option));
  }
  path = optarg;
  return std::nullopt;
}

void warn_if_repeated(int count, char option, const std::optional<std::string>& taken,
                      parse_words& words) {
  if (count > 1) {
    words.warnings.push_back(
        format_text("Warning: -%c given more than once; the last one, %s, is taken\n", option,
                    escape_control_bytes(taken.value_or("")).c_str()));
  }
}

// Takes --row FIELD=VALUE, the row of the batch table whose FIELD holds VALUE; the field must be
// one of the field names, so a misspelt one is refused before the table is read.
std::optional<int> take_row(run_settings& settings, parse_words& words) {
  const std::string row = optarg;
  const std::size_t equals = row.find('=');
  if (equals == std::string::npos || lookup_field(row.substr(0, equals).c_str()) < 0) {
    return refuse(words, failure_kind::usage, "",
                  format_text("--row takes FIELD=VALUE, FIELD a field name: '%s' is not\n",
                              escape_control_bytes(row).c_str()));
  }
  if (settings.batch_row) {
    return refuse(words, failure_kind::usage, "", "--row given more than once; give it one row\n");
  }
  settings.batch_row = row;
  return std::nullopt;
}

// The option getopt_long has just refused, as the operator wrote it.
std::string bad_option_word(char** argv) {
  if (optopt > 0 && optopt < 0x80) {
    return std::string("-") + static_cast<char>(optopt);
  }
  if (optopt >= 0 && optopt < FIELD_COUNT) {
    return std::string("--") + field_name(static_cast<field_id>(optopt));
  }
  return optind > 0 ? escape_control_bytes(argv[optind - 1]) : "";
}

// An option as the operator would write it, for messages.
std::string option_words(int option) {
  switch (option) {
  case OPTION_JSON:
    return "--json";
  case OPTION_RESTORE:
    return "--restore";
  case OPTION_DISCARD_JOURNAL:
    return "--discard-journal";
  case OPTION_BATCH:
    return "--batch";
  case OPTION_STRICT:
    return "--strict";
  case OPTION_EXPECT:
    return "--expect";
  case OPTION_ROW:
    return "--row";
  default:
    if (option >= 0 && option < FIELD_COUNT) {
      return std::string("--") + field_name(static_cast<field_id>(option));
    }
    return std::string("-") + static_cast<char>(option);
  }
}

// Takes one option. Returns the status the run must end with when the option ends the parse.
std::optional<int> take_option(int option, run_settings& settings, dmi_record& cmdline_record,
                               parse_state& state, parse_words& words) {
  if (state.first_other.empty() && option != 'l' && option != OPTION_RESTORE &&
      option != OPTION_DISCARD_JOURNAL) {
    state.first_other = option_words(option);
  }
  switch (option) {
  case 'r':
    take_mode(settings, OP_READ, state);
    break;
  case 'w':
    take_mode(settings, OP_WRITE, state);
    break;
  case 'u':
    take_mode(settings, OP_UPDATE, state);
    settings.bios_file = optarg;
    break;
  case 'c':
    settings.config_path = optarg;
    ++state.config_count;
    break;
  case 'l':
    settings.log_path = optarg;
    ++state.log_count;
    break;
  case 'b':
    settings.copy_path = optarg;
    ++state.copy_count;
    break;
  case 'v':
    settings.verbose = 1;
    break;
  case 'f':
    return take_only_path(settings.image_file, "-f", words);
  case 'o':
    return take_only_path(settings.output_file, "-o", words);
  case 'n':
    settings.dry_run = true;
    break;
  case OPTION_JSON:
    settings.json = true;
    break;
  case OPTION_RESTORE:
    settings.restore = true;
    break;
  case OPTION_DISCARD_JOURNAL:
    settings.discard_journal = true;
    break;
  case OPTION_BATCH:
    return take_only_path(settings.batch_table, "--batch", words);
  case OPTION_STRICT:
    settings.strict = true;
    break;
  case OPTION_EXPECT:
    settings.expect = true;
    break;
  case OPTION_ROW:
    return take_row(settings, words);
  case 'q':
    settings.quiet = true;
    break;
  case 'g': {
    const int field = lookup_field(optarg);
    if (field < 0) {
      return refuse(words, failure_kind::usage, "",
                    format_text("-g takes a field name: '%s' is none\n",
                                escape_control_bytes(optarg).c_str()));
    }
    settings.shown_fields.add(static_cast<field_id>(field));
    break;
  }
  case 'h':
    settings.shown = run_settings::notice::help;
    return 0;
  case OPTION_VERSION:
    settings.shown = run_settings::notice::version;
    return 0;
  default:
    if (option >= 0 && option < FIELD_COUNT) {
      settings.fields_given = true;
      const auto field = static_cast<field_id>(option);
      std::string why;
      if (set_field_value(cmdline_record, field, optarg, why) != value_result::taken) {
        return refuse(words, failure_kind::refused_value, field_name(field), why);
      }
      break;
    }
    // getopt_long has already named the bad option or the missing argument; the failure names
    // it too, for a script.
    settings.shown = run_settings::notice::help;
    return refuse(words, failure_kind::usage, bad_option_word(state.argv), "");
  }
  return std::nullopt;
}

// Refuses an output file that the run would not make: without an image file to make it from, or
// for a read, which writes nothing.
std::optional<int> check_output_file(const run_settings& settings, parse_words& words) {
  if (!settings.output_file) {
    return std::nullopt;
  }
  if (!settings.image_file) {
    return refuse(words, failure_kind::usage, "",
                  "-o needs -f: the output file is made from an image file\n");
  }
  // The check of a batch reads the images of the -o folder.
  const bool checks_batch = settings.batch_table && settings.expect && !settings.batch_row;
  if (settings.mode == OP_READ && !checks_batch) {
    return refuse(words, failure_kind::usage, "", "-o is for -w and -u: -r writes nothing\n");
  }
  return std::nullopt;
}

// Refuses the options of a batch given to another kind of run: a batch stamps images from an
// image file into a folder, or checks them there with --expect; with --row it is one run with the
// values of one row, a write or a check.
std::optional<int> check_batch_kind(const run_settings& settings, parse_words& words) {
  if (settings.batch_row && !settings.batch_table) {
    return refuse(words, failure_kind::usage, "",
                  "--row needs --batch: it picks a row of the batch table\n");
  }
  if (!settings.batch_table) {
    return std::nullopt;
  }
  if (settings.batch_row) {
    if (settings.mode != OP_WRITE && !settings.expect) {
      return refuse(words, failure_kind::usage, "",
                    "--row is for -w, or for -r with --expect: it writes or checks one board\n");
    }
    return std::nullopt;
  }
  if (settings.expect && (!settings.image_file || !settings.output_file)) {
    return refuse(words, failure_kind::usage, "",
                  "--expect --batch needs -f and -o: it checks the images of a folder against "
                  "those the image file makes\n");
  }
  if (!settings.expect &&
      (settings.mode != OP_WRITE || !settings.image_file || !settings.output_file)) {
    return refuse(words, failure_kind::usage, "",
                  "--batch needs -w, -f and -o: the images of a batch are stamped from an image "
                  "file into a folder\n");
  }
  return std::nullopt;
}

// Refuses the options of one kind of run given to another: a batch stamps or checks images,
// --expect and -g read a record.
std::optional<int> check_run_kind(const run_settings& settings, parse_words& words) {
  if (settings.expect && settings.mode != OP_READ) {
    return refuse(words, failure_kind::usage, "",
                  "--expect is for -r: it checks the record read\n");
  }
  if (const auto refused = check_batch_kind(settings, words)) {
    return refused;
  }
  if (!settings.shown_fields.empty() && (settings.mode != OP_READ || settings.expect)) {
    return refuse(words, failure_kind::usage, "", "-g is for -r: it prints values read\n");
  }
  if (!settings.shown_fields.empty() && settings.json) {
    return refuse(words, failure_kind::usage, "",
                  "-g prints values as text: --json prints them all in its document\n");
  }
  return std::nullopt;
}

} // namespace

std::optional<int> parse_arguments(int argc, char* argv[], run_settings& settings,
                                   dmi_record& cmdline_record, parse_words& words) {
  reset_getopt();
  parse_state state;
  state.argv = argv;
  std::optional<int> stop;
  const int saved_opterr = opterr;
  int option;
  while ((option = getopt_long(argc, argv, SHORT_OPTIONS, long_options(), nullptr)) != -1) {
    if (!stop) {
      stop = take_option(option, settings, cmdline_record, state, words);
      // Past the option that ended the parse only --json counts, and nothing more is said.
      opterr = stop ? 0 : opterr;
    } else if (option == OPTION_JSON) {
      settings.json = true;
    }
  }
  opterr = saved_opterr;
  if (stop) {
    return stop;
  }
  // getopt_long has moved the words that are not options to the end. Such a word is most often
  // a value written without its leading "--", which would otherwise be dropped without a word.
  if (optind < argc) {
    return refuse(words, failure_kind::usage, "",
                  format_text("Unexpected argument '%s': values are given as --NAME=VALUE\n",
                              escape_control_bytes(argv[optind]).c_str()));
  }
  // The restore and the discard of the journal are runs of their own on the chip, with nothing
  // to show but their progress: an option meant for another run is refused, not dropped.
  if (settings.restore && settings.discard_journal) {
    return refuse(words, failure_kind::usage, "",
                  "--restore and --discard-journal are runs of their own: give one\n");
  }
  if ((settings.restore || settings.discard_journal) && !state.first_other.empty()) {
    return refuse(words, failure_kind::usage, "",
                  format_text("%s takes no option but -l: %s given\n",
                              settings.restore ? "--restore" : "--discard-journal",
                              state.first_other.c_str()));
  }
  if (state.modes_differ) {
    words.warnings.push_back(
        format_text("Warning: more than one of -r, -w, -u given; the last one, %s, is taken\n",
                    mode_option(settings.mode)));
  }
  warn_if_repeated(state.config_count, 'c', settings.config_path, words);
  warn_if_repeated(state.log_count, 'l', settings.log_path, words);
  warn_if_repeated(state.copy_count, 'b', settings.copy_path, words);
  // --expect reads: without a mode it is a read.
  if (settings.expect && settings.mode == OP_NONE) {
    settings.mode = OP_READ;
  }
  if (const auto refused = check_output_file(settings, words)) {
    return refused;
  }
  if (const auto refused = check_run_kind(settings, words)) {
    return refused;
  }
  if (settings.mode == OP_UPDATE && settings.fields_given) {
    settings.mode = OP_UPDATE_DMI;
  }
  return std::nullopt;
}

std::string help_text() {
  std::string text = format_text("vek_smbios_util  -- version:%s \n", TOOL_VERSION);
  text += " Usage: vek_smbios_util -r -w -u <bios file> -c <config file> -l <log file> "
          "-b <bin file> -h -v\n"
          " -r read the DMI info from flash\n"
          " -w write the DMI info to flash\n"
          " -u update the coreboot region\n"
          " -c read DMI fields from config file\n"
          " -l log detailed information to log file\n"
          " -b save a binary copy of the updated DMI region to file\n"
          " -h help\n"
          " -v verbose\n"
          " -f <image file> use an image file instead of the flash\n"
          " -n dry run: show what would change, write nothing\n"
          " --json print the result as JSON on standard output\n"
          " -o <output file> with -f, make this file and leave the image file as it was\n"
          " --restore put back the flash region kept from before a failed write\n"
          " --discard-journal drop the journal of an earlier flash write\n"
          " --batch <table> with -w, -f and -o <folder>, stamp an image for each row of the table\n"
          " --strict refuse empty values, blanks at their ends and placeholders\n"
          " --expect read and check that the record holds the values given; with --batch, -f and "
          "-o <folder>, check every image of the folder\n"
          " --row <field>=<value> with --batch, write (-w) or check (--expect) the one row whose "
          "field holds the value\n"
          " -g <field> with -r, print only this field's value\n"
          " -q quiet: print nothing but the result\n"
          " dmi_fields:\n";
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
