// The record's 256 bytes at their fixed place in a 16 MiB image.
#pragma once

#include "record/dmi_record.h"
#include "util/output.h"

#include <string>

// The record at 0xFF0100 of the image file `image_path`, which must be exactly 16 MiB. Ends the
// run on failure.
dmi_record read_dmi_record(const std::string& image_path);

// The record at 0xFF0100 of the image open on `image_fd`, named `image_path` in messages, read
// with one positioned read. Ends the run on failure.
dmi_record read_dmi_record(int image_fd, const std::string& image_path);

// Copies the 256-byte record region of `source_path` into the image at `image_path` and says so
// through `out`. Ends the run on failure.
void patch_record_region(run_output& out, const std::string& source_path,
                         const std::string& image_path);
