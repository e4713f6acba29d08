// An image file as a run's target: opening and locking it, its working copy, and replacing it.
#pragma once

#include "system/flash_files.h"

#include <string>

// Opens the image file at `path` read-only; it must be a regular file of exactly 16 MiB (a
// symbolic link is refused). With `lock`, takes an exclusive lock on it, refusing when another
// run holds one. Returns the descriptor, kept open for the run. Ends the run on failure.
int open_image_file(const std::string& path, bool lock);

// Makes the working copy beside the image file (a hidden file in its folder) and the private
// folder for the record file, and notes both as the run's leftovers. Ends the run on failure.
working_files make_image_working_files(const std::string& image_path);

// Copies the whole image file into the working copy. Ends the run on failure.
void copy_image_file(int image_fd, const std::string& image_path, const std::string& copy_path);

// Lays the image file's bytes below the coreboot region into the working copy, gives the copy
// the image file's permissions (and, as root, its owner), flushes it to disk and renames it over
// the image file. Ends the run on failure with the image file as it was.
void replace_image_file(int image_fd, const std::string& image_path, const std::string& copy_path);
