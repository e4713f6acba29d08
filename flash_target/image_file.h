// An image file as a run's target: opening and locking it, and its working files.
#pragma once

#include "flash_target/image_destination.h"
#include "system/flash_files.h"
#include "util/unique_fd.h"

#include <string>

// Opens the image file at `path` read-only; it must be a regular file of exactly 16 MiB. A
// symbolic link is followed with `follow_link`, refused otherwise (a run that replaces the image
// would replace the link, not the file it names). With `lock`, takes an exclusive lock on it,
// refusing when another run holds one. Returns the descriptor, kept open (and so locked) for the
// run. Ends the run on failure.
unique_fd open_image_file(const std::string& path, bool lock, bool follow_link);

// Makes the working copy in the destination's folder (in a dry run, with no destination, in the
// private folder) and the private folder under /tmp for the record file, all owned as the run's
// leftovers by the files returned; the working copy and the private folder stay locked while
// owned, as a live run's (see system/stale_files.h). Ends the run on failure.
working_files make_image_working_files(const image_destination* destination);

// Copies the whole image file into the working copy. Ends the run on failure.
void copy_image_file(int image_fd, const std::string& image_path, const std::string& copy_path);

// Copies the whole image open on `image_fd` into the working copy at `copy_path` of the image
// `output_path` is to be, as copy_image_file does; a failure names `output_path`, the image that
// could not be made.
void copy_image_for(int image_fd, const std::string& copy_path, const std::string& output_path);

// Lays the image file's bytes below the coreboot region into the working copy, which holds a new
// image. Ends the run on failure.
void lay_image_low_region(int image_fd, const std::string& image_path,
                          const std::string& copy_path);
