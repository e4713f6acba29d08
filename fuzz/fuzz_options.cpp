// The input is a command line, its arguments separated by NUL bytes. Whatever it holds, the
// parse ends in a known state and the record of the field options stays sound.
#include "cli/options.h"
#include "fuzz/record_invariants.h"
#include "util/failure.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr std::size_t MAX_ARGUMENTS = 64;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Owned, writable copies: getopt_long reorders the vector.
  std::vector<std::string> arguments{"vek_smbios_util"};
  std::string current;
  for (std::size_t i = 0; i < size && arguments.size() < MAX_ARGUMENTS; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty() && arguments.size() < MAX_ARGUMENTS) {
    arguments.push_back(current);
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);

  run_settings settings;
  dmi_record record;
  dmi_record_init(record);
  std::optional<run_failure> refused;
  try {
    parse_arguments(static_cast<int>(arguments.size()), argv.data(), settings, record);
  } catch (const run_failure& failure) {
    refused = failure;
  }
  const std::optional<int> status = refused ? refused->status()
                                    : settings.shown != run_settings::notice::none
                                        ? std::optional<int>(0)
                                        : std::nullopt;

  FUZZ_CHECK(!refused || refused->status() == EXIT_TOOL_ERROR);
  // A parse that failed says why: in its own words, or in getopt_long's (then the help follows).
  FUZZ_CHECK(!refused || !refused->message().empty() ||
             settings.shown == run_settings::notice::help);
  FUZZ_CHECK(settings.mode >= OP_READ && settings.mode <= OP_NONE);
  FUZZ_CHECK(settings.mode != OP_UPDATE_DMI || settings.fields_given);
  FUZZ_CHECK(status || settings.mode != OP_UPDATE || !settings.fields_given);
  FUZZ_CHECK((settings.mode != OP_UPDATE && settings.mode != OP_UPDATE_DMI) ||
             settings.bios_file.has_value());
  // Only a parse that ended early names a text to show, and only a failed one the help alone.
  FUZZ_CHECK(status || settings.shown == run_settings::notice::none);
  FUZZ_CHECK(!status || *status == 0 || settings.shown != run_settings::notice::version);
  FUZZ_CHECK(dmi_record_marker(record) == 0);
  check_record_invariants(record);
  check_no_control_bytes(record);
  return 0;
}
