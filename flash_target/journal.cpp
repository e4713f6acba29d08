// The journal's file format: the header at the start of each journal file.
#include "flash_target/journal.h"

#include "system/flash_geometry.h"

#include <cstring>

namespace {

// The header's fields, little-endian at fixed offsets. Format 1 had the first 256 bytes alone;
// format 2 adds the board's identity after them.
constexpr char MAGIC[16] = "vek_smbios jrnl";
constexpr std::uint32_t FORMAT = 2;
constexpr std::uint32_t FORMAT_WITHOUT_IDENTITY = 1;
constexpr std::size_t AT_MAGIC = 0;
constexpr std::size_t AT_FORMAT = 16;
constexpr std::size_t AT_KIND = 20;
constexpr std::size_t AT_CHIP_SIZE = 24;
constexpr std::size_t AT_REGION_OFFSET = 32;
constexpr std::size_t AT_REGION_SIZE = 40;
constexpr std::size_t AT_BLOCK_SIZE = 48;
constexpr std::size_t AT_BLOCK_COUNT = 52;
constexpr std::size_t AT_WRITE_ID = 56;
constexpr std::size_t AT_TIME = 64;
constexpr std::size_t AT_VERSION = 72; // NUL-padded
constexpr std::size_t VERSION_SIZE = 24;
constexpr std::size_t AT_CHECKSUM = 96;   // see journal_checksum
constexpr std::size_t AT_BLOCK_MAP = 128; // one bit a block, block 0 in the low bit of byte 0
constexpr std::size_t AT_IDENTITY = AT_BLOCK_MAP + REGION_BLOCKS / 8;
static_assert(AT_IDENTITY == 256);
// The identity: which values were read (bit 0 the system serial number, bit 1 the baseboard's,
// bit 2 the UUID), then each serial as a length byte and up to 255 bytes, then the UUID's bytes.
constexpr std::size_t AT_VALUES_READ = AT_IDENTITY;
constexpr std::uint8_t ALL_VALUES_READ = 0x7;
constexpr std::size_t AT_SYSTEM_SERIAL = AT_IDENTITY + 4;
constexpr std::size_t AT_BOARD_SERIAL = AT_SYSTEM_SERIAL + 1 + IDENTITY_TEXT_MAX;
constexpr std::size_t AT_SYSTEM_UUID = AT_BOARD_SERIAL + 1 + IDENTITY_TEXT_MAX;
constexpr std::size_t IDENTITY_END = AT_SYSTEM_UUID + 16;
static_assert(IDENTITY_TEXT_MAX <= 255 && IDENTITY_END <= JOURNAL_HEADER_SIZE);

void put_le(std::uint8_t* at, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) {
    at[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

std::uint64_t get_le(const std::uint8_t* at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    value |= static_cast<std::uint64_t>(at[i]) << (8 * i);
  }
  return value;
}

// Whether the header describes this chip's flash layout.
bool same_layout(const std::uint8_t* bytes) {
  return get_le(bytes + AT_CHIP_SIZE, 8) == FLASH_IMAGE_SIZE &&
         get_le(bytes + AT_REGION_OFFSET, 8) == COREBOOT_REGION_OFFSET &&
         get_le(bytes + AT_REGION_SIZE, 8) == REGION_SIZE &&
         get_le(bytes + AT_BLOCK_SIZE, 4) == JOURNAL_BLOCK_SIZE;
}

void put_text(std::uint8_t* at, const std::optional<std::string>& text) {
  if (text) {
    at[0] = static_cast<std::uint8_t>(text->size());
    std::memcpy(at + 1, text->data(), text->size());
  }
}

void put_identity(std::uint8_t* bytes, const board_identity& identity) {
  bytes[AT_VALUES_READ] = (identity.system_serial ? 1 : 0) | (identity.board_serial ? 2 : 0) |
                          (identity.system_uuid ? 4 : 0);
  put_text(bytes + AT_SYSTEM_SERIAL, identity.system_serial);
  put_text(bytes + AT_BOARD_SERIAL, identity.board_serial);
  if (identity.system_uuid) {
    std::memcpy(bytes + AT_SYSTEM_UUID, identity.system_uuid->bytes, 16);
  }
}

// A serial recorded at `at` when `read`: none when it was not; false for one that cannot be a
// value read (empty, or longer than any).
bool get_text(const std::uint8_t* at, bool read, std::optional<std::string>& text) {
  if (read) {
    text = std::string(reinterpret_cast<const char*>(at + 1), at[0]);
  }
  return !read || (at[0] > 0 && at[0] <= IDENTITY_TEXT_MAX);
}

// The identity recorded in the header's bytes; false when it cannot be one read.
bool get_identity(const std::uint8_t* bytes, board_identity& identity) {
  const std::uint8_t read = bytes[AT_VALUES_READ];
  if ((read & ~ALL_VALUES_READ) != 0 ||
      !get_text(bytes + AT_SYSTEM_SERIAL, (read & 1) != 0, identity.system_serial) ||
      !get_text(bytes + AT_BOARD_SERIAL, (read & 2) != 0, identity.board_serial)) {
    return false;
  }
  if ((read & 4) != 0) {
    identity.system_uuid = identity_uuid_of_bytes(bytes + AT_SYSTEM_UUID);
    return identity.system_uuid.has_value();
  }
  return true;
}

// What is wrong with the parts of a header that are the same in every journal file of `kind` on
// this chip, or null.
const char* fixed_part_fault(const std::uint8_t* bytes, journal_kind kind) {
  if (std::memcmp(bytes + AT_MAGIC, MAGIC, sizeof MAGIC) != 0) {
    return "it is not a journal file of vek_smbios_util";
  }
  const std::uint64_t format = get_le(bytes + AT_FORMAT, 4);
  if (format != FORMAT && format != FORMAT_WITHOUT_IDENTITY) {
    return "its format is not one this version knows";
  }
  if (get_le(bytes + AT_KIND, 4) != static_cast<std::uint32_t>(kind)) {
    return "it holds the other region of a write";
  }
  if (!same_layout(bytes)) {
    return "it describes another flash layout";
  }
  return nullptr;
}

} // namespace

std::string journal_path(const char* name) {
  return std::string(STATE_FOLDER) + "/" + name;
}

void encode_journal_header(const journal_header& header, std::uint8_t* bytes) {
  std::memset(bytes, 0, JOURNAL_HEADER_SIZE);
  std::memcpy(bytes + AT_MAGIC, MAGIC, sizeof MAGIC);
  put_le(bytes + AT_FORMAT, FORMAT, 4);
  put_le(bytes + AT_KIND, static_cast<std::uint32_t>(header.kind), 4);
  put_le(bytes + AT_CHIP_SIZE, FLASH_IMAGE_SIZE, 8);
  put_le(bytes + AT_REGION_OFFSET, COREBOOT_REGION_OFFSET, 8);
  put_le(bytes + AT_REGION_SIZE, REGION_SIZE, 8);
  put_le(bytes + AT_BLOCK_SIZE, JOURNAL_BLOCK_SIZE, 4);
  put_le(bytes + AT_BLOCK_COUNT, header.blocks.count(), 4);
  put_le(bytes + AT_WRITE_ID, header.write_id, 8);
  put_le(bytes + AT_TIME, static_cast<std::uint64_t>(header.written), 8);
  std::strncpy(reinterpret_cast<char*>(bytes + AT_VERSION), header.tool_version.c_str(),
               VERSION_SIZE - 1);
  std::memcpy(bytes + AT_CHECKSUM, header.checksum.bytes, sizeof header.checksum.bytes);
  for (std::size_t block = 0; block < REGION_BLOCKS; ++block) {
    bytes[AT_BLOCK_MAP + block / 8] |= header.blocks[block] ? 1u << (block % 8) : 0;
  }
  put_identity(bytes, header.identity.value_or(board_identity{}));
}

const char* decode_journal_header(const std::uint8_t* bytes, journal_kind kind,
                                  journal_header& header) {
  if (const char* fault = fixed_part_fault(bytes, kind)) {
    return fault;
  }
  header.kind = kind;
  for (std::size_t block = 0; block < REGION_BLOCKS; ++block) {
    header.blocks.set(block, ((bytes[AT_BLOCK_MAP + block / 8] >> (block % 8)) & 1) != 0);
  }
  const auto version = reinterpret_cast<const char*>(bytes + AT_VERSION);
  header.identity.reset();
  if (get_le(bytes + AT_FORMAT, 4) == FORMAT) {
    header.identity.emplace();
  }
  if (get_le(bytes + AT_BLOCK_COUNT, 4) != header.blocks.count() ||
      strnlen(version, VERSION_SIZE) == VERSION_SIZE ||
      (header.identity && !get_identity(bytes, *header.identity))) {
    return "its header does not hold";
  }
  // The region from before is written back as it stands: a block it lacks would reach the chip
  // as whatever the file holds there.
  if (kind == journal_kind::region_before && !header.blocks.all()) {
    return "it does not hold every block of the region";
  }
  header.write_id = get_le(bytes + AT_WRITE_ID, 8);
  header.written = static_cast<std::time_t>(get_le(bytes + AT_TIME, 8));
  header.tool_version = version;
  std::memcpy(header.checksum.bytes, bytes + AT_CHECKSUM, sizeof header.checksum.bytes);
  return nullptr;
}

sha256_digest journal_checksum::finish(const std::uint8_t* header_bytes) {
  if (get_le(header_bytes + AT_FORMAT, 4) != FORMAT_WITHOUT_IDENTITY) {
    hash_.update(header_bytes + AT_IDENTITY, IDENTITY_END - AT_IDENTITY);
  }
  return hash_.finish();
}
