// Whole-record writes to files.
#pragma once

#include "record/dmi_record.h"

// Whether a whole-record write follows a symbolic link at its path: the tool's own working files
// refuse one, a path the operator named follows it (but see open_output_file).
enum class link_policy { follow, refuse };

// Opens `path` as open_output_file does (created with permissions 0644 less the umask, or
// truncated; in a sticky world-writable folder only a regular file of the tool's own user) and
// writes the 256 bytes of `record` into it. Ends the run, naming the file, when it cannot be
// opened or written.
void write_record_file(const char* path, link_policy links, const dmi_record& record);
