// The working files under /tmp and the fixed places of the record in the flash image.
#pragma once

#include <sys/types.h>

#include <cstdint>

constexpr const char* WORKING_IMAGE_PATH = "/tmp/flash_backup.bin";
constexpr const char* BIOS_LAYOUT_PATH = "/tmp/bios_layout";
constexpr const char* DMI_RECORD_FILE_PATH = "/tmp/dmi.bin";

// The record's file in the image's CBFS.
constexpr const char* CBFS_RECORD_NAME = "vek_smbios";

// The chip is 16 MiB and mapped so that its last byte is at 0xFFFFFFFF.
constexpr off_t FLASH_IMAGE_SIZE = 0x1000000;
constexpr off_t DMI_RECORD_OFFSET = 0xFF0100;
constexpr std::uint32_t DMI_RECORD_ADDRESS = 0xFFFF0100;
