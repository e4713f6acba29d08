// The flash layout file and the flashrom runs that move the coreboot region.
#pragma once

#include "system/flash_files.h"

// The program part of both flashrom command lines.
constexpr const char* FLASHROM_PROGRAM = "flashrom -p internal:boardmismatch=force";

// Writes the layout file at `path` (mode 0600 when it has to be created, never through a link):
// the descriptor, the middle and the coreboot region of a 16 MiB chip. Ends the run as
// refuse_layout_file does when the file cannot be written.
void write_bios_layout(const std::string& path);

// Reads the chip's coreboot region into the working image with flashrom; a symbolic link in the
// working image's place is refused. Ends the run on failure.
void read_coreboot_region(const working_files& files);

// Writes the working image's coreboot region to the chip with flashrom, once check_working_files
// has found the image and the layout to be the files the run made. Terminal and kill signals are
// ignored while flashrom runs, so the write is never cut short by them. When flashrom fails,
// says on standard error that the region may be partly written and which image was meant for
// it. Ends the run on failure.
void write_coreboot_region(const working_files& files);
