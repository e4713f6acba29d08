// The flash layout file and the flashrom runs that move the coreboot region.
#pragma once

#include "system/flash_files.h"

// Writes the layout file at `path` (mode 0600 when it has to be created, never through a link):
// the descriptor, the middle and the coreboot region of a 16 MiB chip. Ends the run as
// refuse_layout_file does when the file cannot be written.
void write_bios_layout(const std::string& path);

// Reads the chip's coreboot region into the working image with flashrom; a symbolic link in the
// working image's place is refused. Ends the run on failure.
void read_coreboot_region(const working_files& files);

// Writes the journal's region from before the run back to the chip with flashrom, announcing it
// on standard output; the caller holds a flash_write_shield. Returns 0, or the failed write's
// status after saying on standard error that the region may be partly written and where its
// content before the run is kept.
int write_back_region_before(const std::string& layout);

// Writes the working image's coreboot region to the chip with flashrom, once check_working_files
// has found the image and the layout to be the files the run made, under a flash_write_shield.
// With the state folder `journal_folder` (-1 for none), the region meant for the chip joins the
// journal before the write, and the journal is removed once the write has succeeded; when the
// write fails, the region the journal kept from before the run is written back at once, with
// the same command form. Without one, a failed write is reported as possibly partial,
// naming the image meant for the chip. Ends the run on failure, with the failed write's status.
void write_coreboot_region(const working_files& files, int journal_folder);
