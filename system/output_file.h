// Opening the files the operator names for output: the log and the -b copy.
#pragma once

#include "util/unique_fd.h"

#include <string>

// Opens `path` for writing, creating it with mode 0644 less the umask (never group- or
// world-writable) or emptying it; `flags` adds to O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC
// (O_APPEND, O_NOFOLLOW). Only a path that check_trusted_path trusts as an output is opened, so
// no other user can pick the file. In a folder that every user may write and that is sticky,
// like /tmp, it follows no symbolic link and takes only a regular file of the tool's own user
// with one link, emptied once that is known, as Linux's protected_symlinks and protected_regular
// would have it. Elsewhere the path is opened as named. Returns the descriptor, or none and the
// reason (nothing printed).
struct opened_output {
  unique_fd file;
  std::string why;
};
opened_output open_output_file(const char* path, int flags);
