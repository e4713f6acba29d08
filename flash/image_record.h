// The record's 256 bytes at their fixed place in the 16 MiB working image.
#pragma once

#include "record/dmi_record.h"

// Reads the record at 0xFF0100 of the working image, which must be exactly 16 MiB. Ends the run
// on failure, saying why on standard error.
void read_dmi_record(dmi_record& record);

// Copies the record region of `source_path` into the working image, then writes the coreboot
// region to the chip. Ends the run on failure.
void patch_record_region(const char* source_path);
