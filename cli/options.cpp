// Command-line parsing and the help text.
#include "cli/options.h"

#include "cli/field_value.h"
#include "record/text_escape.h"
#include "util/fail.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>

namespace {

constexpr const char* SHORT_OPTIONS = "vrwhu:c:l:b:nf:";
// getopt_long's value for --json, which has no short form; beyond every character and field id.
constexpr int OPTION_JSON = 0x100;
constexpr int OPTION_RESTORE = 0x101;

// The field options, then the run's own long options. Their names share no prefix with a field
// name, so every abbreviation of a field name means what it did before.
const struct option* long_options() {
  static const auto table = [] {
    std::array<struct option, FIELD_COUNT + 5> options{};
    for (int id = 0; id < FIELD_COUNT; ++id) {
      options[id] = dmi_fields[id];
    }
    options[FIELD_COUNT] = {"image", required_argument, nullptr, 'f'};
    options[FIELD_COUNT + 1] = {"dry-run", no_argument, nullptr, 'n'};
    options[FIELD_COUNT + 2] = {"json", no_argument, nullptr, OPTION_JSON};
    options[FIELD_COUNT + 3] = {"restore", no_argument, nullptr, OPTION_RESTORE};
    options[FIELD_COUNT + 4] = {nullptr, 0, nullptr, 0};
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

// Takes a mode option; the last one given wins. Notes when it overrides a different mode.
void take_mode(run_settings& settings, operating_mode mode, bool& modes_differ) {
  if (settings.mode != OP_NONE && settings.mode != mode) {
    modes_differ = true;
  }
  settings.mode = mode;
}

const char* mode_option(operating_mode mode) {
  return mode == OP_READ ? "-r" : mode == OP_WRITE ? "-w" : "-u";
}

} // namespace

std::optional<int> parse_arguments(int argc, char* argv[], run_settings& settings,
                                   dmi_record& cmdline_record) {
  reset_getopt();
  bool modes_differ = false;
  int option;
  while ((option = getopt_long(argc, argv, SHORT_OPTIONS, long_options(), nullptr)) != -1) {
    switch (option) {
    case 'r':
      take_mode(settings, OP_READ, modes_differ);
      break;
    case 'w':
      take_mode(settings, OP_WRITE, modes_differ);
      break;
    case 'u':
      take_mode(settings, OP_UPDATE, modes_differ);
      settings.bios_file = optarg;
      break;
    case 'c':
      settings.config_path = optarg;
      break;
    case 'l':
      settings.log_path = optarg;
      break;
    case 'b':
      settings.copy_path = optarg;
      break;
    case 'v':
      settings.verbose = 1;
      break;
    case 'f':
      settings.image_file = optarg;
      break;
    case 'n':
      settings.dry_run = true;
      break;
    case OPTION_JSON:
      settings.json = true;
      break;
    case OPTION_RESTORE:
      settings.restore = true;
      break;
    case 'h':
      show_help();
      return 0;
    default:
      if (option >= 0 && option < FIELD_COUNT) {
        settings.fields_given = true;
        if (set_field_value(cmdline_record, static_cast<field_id>(option), optarg) !=
            value_result::taken) {
          return EXIT_TOOL_ERROR;
        }
        break;
      }
      // getopt_long has already named the bad option or the missing argument.
      show_help();
      return EXIT_TOOL_ERROR;
    }
  }
  // getopt_long has moved the words that are not options to the end. Such a word is most often
  // a value written without its leading "--", which would otherwise be dropped without a word.
  if (optind < argc) {
    std::fprintf(stderr, "Unexpected argument '%s': values are given as --NAME=VALUE\n",
                 escape_control_bytes(argv[optind]).c_str());
    return EXIT_TOOL_ERROR;
  }
  // The restore is a run of its own on the chip, with nothing to show but its progress.
  if (settings.restore &&
      (settings.mode != OP_NONE || settings.image_file || settings.dry_run || settings.json)) {
    std::fprintf(stderr, "--restore takes none of -r, -w, -u, -f, -n, --json\n");
    return EXIT_TOOL_ERROR;
  }
  if (modes_differ) {
    std::fprintf(stderr, "Warning: more than one of -r, -w, -u given; the last one, %s, is taken\n",
                 mode_option(settings.mode));
  }
  if (settings.mode == OP_UPDATE && settings.fields_given) {
    settings.mode = OP_UPDATE_DMI;
  }
  return std::nullopt;
}

void show_help() {
  std::printf("vek_smbios_util  -- version:%s \n", TOOL_VERSION);
  std::fputs(" Usage: vek_smbios_util -r -w -u <bios file> -c <config file> -l <log file> "
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
             " --restore put back the flash region kept from before a failed write\n"
             " dmi_fields:\n",
             stdout);
  for (const struct option* entry = dmi_fields; entry->name != nullptr; ++entry) {
    std::printf("\t%s\n", entry->name);
  }
}

bool json_requested(int argc, char* argv[]) {
  // getopt_long reorders the words it is given; it gets a copy of the list, not the list.
  const std::unique_ptr<char*[]> words(new char*[argc + 1]);
  std::copy(argv, argv + argc + 1, words.get());
  reset_getopt();
  const int saved_opterr = opterr;
  opterr = 0;
  bool json = false;
  int option;
  while ((option = getopt_long(argc, words.get(), SHORT_OPTIONS, long_options(), nullptr)) != -1) {
    json = json || option == OPTION_JSON;
  }
  opterr = saved_opterr;
  return json;
}
