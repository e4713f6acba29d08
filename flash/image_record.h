// The record's 256 bytes at their fixed place in the 16 MiB working image.
#pragma once

#include "flash/flash_files.h"
#include "record/dmi_record.h"

// Reads the record at 0xFF0100 of the image file `image_path`, which must be exactly 16 MiB.
// Ends the run on failure, saying why on standard error.
void read_dmi_record(const std::string& image_path, dmi_record& record);

// Copies the record region of `source_path` into the working image, then writes the coreboot
// region to the chip. Ends the run on failure.
void patch_record_region(const std::string& source_path, const working_files& files);
