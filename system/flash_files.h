// The working files of a run.
#pragma once

#include "system/flash_geometry.h"
#include "system/leftovers.h"

#include <sys/types.h>

#include <string>

constexpr const char* WORKING_IMAGE_PATH = "/tmp/flash_backup.bin";
constexpr const char* BIOS_LAYOUT_PATH = "/tmp/bios_layout";
constexpr const char* DMI_RECORD_FILE_PATH = "/tmp/dmi.bin";

// Which file a name led to when the run made it: its device and inode.
struct file_identity {
  dev_t device = 0;
  ino_t inode = 0;
};

// The files a run works with: the working image that flashrom reads into and writes from and
// that cbfstool edits, the layout file flashrom reads, and the record file cbfstool adds. The
// identities are those of the image and the layout as the run made them, so that the flash write
// can tell they are still the same files.
// An image file run makes its files for itself, removed when the run ends: a private folder
// under /tmp with the record file, and the working image beside its destination (kept once it has
// replaced the destination). The chip's fixed files stay.
struct working_files {
  std::string image = WORKING_IMAGE_PATH;
  std::string layout = BIOS_LAYOUT_PATH;
  std::string record = DMI_RECORD_FILE_PATH;
  file_identity image_identity;
  file_identity layout_identity;
  leftover folder_leftover; // first made, last removed: the files may be in it
  leftover record_leftover;
  leftover image_leftover;
};
