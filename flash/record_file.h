// Whole-record writes to files.
#pragma once

#include "record/dmi_record.h"

// Whether a whole-record write follows a symbolic link at its path: the tool's own working files
// refuse one, a path the operator named follows it.
enum class link_policy { follow, refuse };

// Creates `path` with permissions 0664 less the umask, or truncates it, and writes the 256
// bytes of `record` into it. Returns 0, or -1 after writing to standard error why the file could
// not be opened or written.
int write_record_file(const char* path, link_policy links, const dmi_record& record);
