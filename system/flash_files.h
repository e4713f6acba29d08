// The working files of a run and the fixed places of the record in the flash image.
#pragma once

#include <sys/types.h>

#include <cstdint>
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
struct working_files {
  std::string image = WORKING_IMAGE_PATH;
  std::string layout = BIOS_LAYOUT_PATH;
  std::string record = DMI_RECORD_FILE_PATH;
  file_identity image_identity;
  file_identity layout_identity;
};

// The record's file in the image's CBFS.
constexpr const char* CBFS_RECORD_NAME = "vek_smbios";

// The chip is 16 MiB and mapped so that its last byte is at 0xFFFFFFFF.
constexpr off_t FLASH_IMAGE_SIZE = 0x1000000;
// The coreboot region runs from here to the image's end; only it is ever written.
constexpr off_t COREBOOT_REGION_OFFSET = 0xC00000;
constexpr off_t DMI_RECORD_OFFSET = 0xFF0100;
constexpr std::uint32_t DMI_RECORD_ADDRESS = 0xFFFF0100;
