// The reader of configuration files: lines of a field name, "=" and a value.
#pragma once

#include "record/dmi_record.h"

#include <cstdio>

// Result of parse_config_file for a line the reader cannot take (reported with its number).
constexpr int CONFIG_BAD_ENTRY = -1;
// Result of parse_config_file for a value that does not fit in the record (reported).
constexpr int CONFIG_NO_ROOM = -2;
// Result of parse_config_file when the file could not be read to its end (reported).
constexpr int CONFIG_READ_ERROR = -3;

// Reads `stream` line by line into `record`: "#" lines and empty lines are skipped; every other
// line loses its line end ("\n"; a carriage return before it stays) and is split at its first
// "=" into a field name and a value taken byte for byte. Returns 0 when the whole file was
// taken, CONFIG_BAD_ENTRY at the first line whose name is unknown or that has no "=",
// CONFIG_NO_ROOM at the first value that does not fit, CONFIG_READ_ERROR when reading failed
// part way. Does not close `stream`.
int parse_config_file(dmi_record& record, std::FILE* stream);
