// The record's 256 bytes at their fixed place in the 16 MiB working image.
#pragma once

#include "record/dmi_record.h"
#include "system/flash_files.h"

// Reads the record at 0xFF0100 of the image file `image_path`, which must be exactly 16 MiB.
// Ends the run on failure, saying why on standard error.
void read_dmi_record(const std::string& image_path, dmi_record& record);

// Reads the record at 0xFF0100 of the image open on `image_fd`, named `image_path` in messages,
// with one positioned read. Ends the run on failure.
void read_dmi_record(int image_fd, const std::string& image_path, dmi_record& record);

// Copies the 256-byte record region of `source_path` into the image at `image_path` and says so on
// standard output. Ends the run on failure.
void patch_record_region(const std::string& source_path, const std::string& image_path);
