// The flash chip the tool works on, and the places in it: stated once, for every room above.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// The chip is 16 MiB and mapped so that its last byte is at 0xFFFFFFFF.
constexpr off_t FLASH_IMAGE_SIZE = 0x1000000;
// The flash descriptor at the chip's start, and the part between it and the coreboot region.
constexpr off_t DESCRIPTOR_SIZE = 0x1000;
// The coreboot region runs from here to the chip's end; it is the only part ever written.
constexpr off_t COREBOOT_REGION_OFFSET = 0xC00000;
constexpr std::size_t REGION_SIZE = FLASH_IMAGE_SIZE - COREBOOT_REGION_OFFSET;

// The record's 256 bytes in the image, and the address the firmware sees them at.
constexpr off_t DMI_RECORD_OFFSET = 0xFF0100;
constexpr std::uint32_t DMI_RECORD_ADDRESS =
    static_cast<std::uint32_t>(0x100000000 - FLASH_IMAGE_SIZE + DMI_RECORD_OFFSET);
static_assert(DMI_RECORD_ADDRESS == 0xFFFF0100);
static_assert(DMI_RECORD_OFFSET >= COREBOOT_REGION_OFFSET);

// The record's file in the image's CBFS.
constexpr const char* CBFS_RECORD_NAME = "vek_smbios";
