// The board's identity as its firmware reported it at boot: the SMBIOS system serial number,
// baseboard serial number and system UUID, as the kernel keeps them, and when two are one board's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A serial number is kept to its first bytes, which is more than either system reports.
constexpr std::size_t IDENTITY_TEXT_MAX = 255;

// A UUID's 16 bytes in the order of its text, as libuuid parses it.
struct identity_uuid {
  std::uint8_t bytes[16] = {};
};

// The three values, each read or not. A value is not read when the system does not report it,
// it cannot be read, or it is empty; a UUID also when its text is no UUID, or it is all zeros or
// all ones (SMBIOS's "not set" and "not present"), since none of these tells one board from
// another. The identity is known when at least one value was read.
struct board_identity {
  std::optional<std::string> system_serial;
  std::optional<std::string> board_serial;
  std::optional<identity_uuid> system_uuid;

  bool known() const {
    return system_serial || board_serial || system_uuid;
  }
};

// Whether `a` and `b` are the identity of one board: every value equal as read, a value not read
// equal only to one not read. UUIDs are equal as 16 bytes in either byte order of their first
// three fields, since SMBIOS stores those fields little-endian from version 2.6 on and the
// record's bytes are in the order of the text.
bool same_identity(const board_identity& a, const board_identity& b);

// Whether two UUIDs, each read or not, are equal as same_identity takes them.
bool same_uuid(const std::optional<identity_uuid>& a, const std::optional<identity_uuid>& b);

// A serial number as the system reports it: the line end taken off, kept to IDENTITY_TEXT_MAX
// bytes; none when empty.
std::optional<std::string> identity_text(std::string_view text);

// A UUID from its text or its 16 bytes; none when it is no UUID, or all zeros or all ones.
std::optional<identity_uuid> identity_uuid_of_text(std::string_view text);
std::optional<identity_uuid> identity_uuid_of_bytes(const std::uint8_t* bytes);

// Reads the identity from a folder laid out as Linux's /sys/class/dmi/id: the files
// product_serial, board_serial and product_uuid.
board_identity read_identity_folder(const std::string& folder);

// Where a run reads the board's identity: the system's kernel, unless a test hands in another.
class board_identity_source {
public:
  virtual ~board_identity_source() = default;
  // The identity now; never ends the run (what cannot be read is not read).
  virtual board_identity read() const = 0;
};

// The kernel's identity: on FreeBSD the loader's smbios.system.serial, smbios.planar.serial and
// smbios.system.uuid (kenv(2)), elsewhere /sys/class/dmi/id.
const board_identity_source& system_board_identity();
