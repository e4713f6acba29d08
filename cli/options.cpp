// Command-line parsing and the help text.
#include "cli/options.h"

#include <cstdio>
#include <cstdlib>

std::optional<std::string> log_path;

namespace {

// getopt_long keeps its position between calls; start each parse from the first argument.
void reset_getopt() {
#if defined(__FreeBSD__)
  optreset = 1;
  optind = 1;
#else
  optind = 0;
#endif
}

// Returns 0, or -1 when the value does not fit in the record (reported).
int set_field(dmi_record& cmdline_record, field_id field, const char* value) {
  if (field == FIELD_SYSTEM_UUID) {
    if (dmi_record_parse_uuid(cmdline_record, value) != 0) {
      report_bad_uuid(value);
    }
    return 0;
  }
  if (dmi_record_set_text(cmdline_record, field, value) != 0) {
    report_field_overflow(field);
    return -1;
  }
  return 0;
}

} // namespace

void parse_options(int argc, char* argv[], run_settings& settings, dmi_record& cmdline_record) {
  const int status = parse_arguments(argc, argv, settings, cmdline_record);
  if (status != PARSE_GO_ON) {
    std::exit(status);
  }
}

int parse_arguments(int argc, char* argv[], run_settings& settings, dmi_record& cmdline_record) {
  reset_getopt();
  int option;
  while ((option = getopt_long(argc, argv, "vrwhu:c:l:b:", dmi_fields, nullptr)) != -1) {
    switch (option) {
    case 'r':
      settings.mode = OP_READ;
      break;
    case 'w':
      settings.mode = OP_WRITE;
      break;
    case 'u':
      settings.mode = OP_UPDATE;
      settings.bios_file = optarg;
      break;
    case 'c':
      settings.config_path = optarg;
      break;
    case 'l':
      log_path = optarg;
      break;
    case 'b':
      settings.copy_path = optarg;
      break;
    case 'v':
      settings.verbose = 1;
      break;
    case 'h':
      show_help();
      return 0;
    default:
      if (option >= 0 && option < FIELD_COUNT) {
        settings.fields_given = true;
        if (set_field(cmdline_record, static_cast<field_id>(option), optarg) != 0) {
          return EXIT_TOOL_ERROR;
        }
        break;
      }
      // getopt_long has already named the bad option or the missing argument.
      show_help();
      return EXIT_TOOL_ERROR;
    }
  }
  if (settings.mode == OP_UPDATE && settings.fields_given) {
    settings.mode = OP_UPDATE_DMI;
  }
  return PARSE_GO_ON;
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
             " dmi_fields:\n",
             stdout);
  for (const struct option* entry = dmi_fields; entry->name != nullptr; ++entry) {
    std::printf("\t%s\n", entry->name);
  }
}
