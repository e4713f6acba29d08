// The reader of configuration files: lines of a field name, "=" and a value.
#pragma once

#include "record/dmi_record.h"

#include <cstddef>
#include <cstdio>
#include <string>

// The most bytes a line of a configuration file may hold, its line end not counted.
constexpr std::size_t MAX_CONFIG_LINE_LENGTH = 65536;

enum class config_result {
  taken,      // the whole file was taken
  bad_entry,  // a line whose name is unknown or that has no "=" (said with its number)
  bad_value,  // a value refused: not a UUID, or holding a control character
  no_room,    // a value that does not fit in the record
  read_error, // the file could not be read to its end
  too_long,   // a line longer than MAX_CONFIG_LINE_LENGTH (said with its number)
};

// How a configuration file was taken: whole, or, when not, why in one line (naming its number).
struct config_outcome {
  config_result result = config_result::taken;
  std::string why;
};

// Reads `stream` line by line into `record`: a UTF-8 byte-order mark at the very start is
// skipped; "#" lines and empty lines are skipped; every other line loses its line end ("\n" or
// "\r\n") and is split at its first "=" into a field name and a value taken byte for byte.
// Stops at the first line it cannot take, and says why. Does not close `stream`.
config_outcome parse_config_file(dmi_record& record, std::FILE* stream);
