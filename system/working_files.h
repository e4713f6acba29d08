// Making the fixed working files in /tmp so that no other user can choose what reaches the chip.
#pragma once

#include "system/flash_files.h"

// Clears the names of the three working files, then creates each file anew, empty, mode 0600
// whatever the umask, without following a link and only where nothing else took the name
// meanwhile, and records the identities of the image and the layout in `files`. In a sticky
// /tmp no other user can then replace, rename or write them for the rest of the run. A leftover
// of an earlier run (a regular file of the tool's own user with one link) is removed; anything
// else at a name ends the run with one line naming it; a layout file that cannot be created for
// another reason ends it as refuse_layout_file does. Ends the run on failure.
void make_fixed_working_files(working_files& files);

// Ends the run with 255: the layout file at `path` cannot be created (said on standard output,
// where the run has always said it).
[[noreturn]] void refuse_layout_file(const std::string& path);

// Ends the run with one line unless the working image and the layout file are still the files
// make_fixed_working_files created: the same device and inode, regular, of the tool's own user,
// with one link. Called right before the flash write.
void check_working_files(const working_files& files);
