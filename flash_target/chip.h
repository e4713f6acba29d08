// The flash layout file and the flashrom runs that move the coreboot region.
#pragma once

#include "flash_target/region.h"
#include "system/command_runner.h"
#include "system/flash_files.h"

// Writes the layout file at `path` (mode 0600 when it has to be created, never through a link):
// the descriptor, the middle and the coreboot region of the chip. Ends the run as
// refuse_layout_file does when the file cannot be written.
void write_bios_layout(const std::string& path);

// Reads the chip's coreboot region into the working image with flashrom; a symbolic link in the
// working image's place is refused, and a working image of another size than the chip's ends the
// run ("Incorrect flash image file size."). Ends the run on failure.
void read_coreboot_region(command_runner& runner, const working_files& files);

// Reads the coreboot region of the working image into `region`. Ends the run on failure.
void load_working_region(const working_files& files, region_buffer& region);

// Writes the journal's region from before the run back to the chip with flashrom; the caller has
// announced it and holds a flash_write_shield. Returns 0, or the failed write's status.
int write_back_region_before(command_runner& runner, const std::string& layout);
