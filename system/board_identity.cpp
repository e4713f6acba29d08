// The board's identity: read from the kernel, and compared.
#include "system/board_identity.h"

#include "util/unique_fd.h"

#include <uuid/uuid.h>

#include <fcntl.h>
#include <unistd.h>

#if defined(__FreeBSD__)
#include <kenv.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The UUID with its first three fields (4, 2 and 2 bytes) in the other byte order.
identity_uuid swapped_fields(const identity_uuid& uuid) {
  identity_uuid swapped = uuid;
  std::reverse(swapped.bytes, swapped.bytes + 4);
  std::reverse(swapped.bytes + 4, swapped.bytes + 6);
  std::reverse(swapped.bytes + 6, swapped.bytes + 8);
  return swapped;
}

// The text of the file `name` in `folder`, none when it cannot be read. The files of the kernel
// are short: a longer one is read to the bytes the identity keeps.
std::optional<std::string> read_value_file(const std::string& folder, const char* name) {
  const unique_fd file(
      ::open((folder + "/" + name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) {
    return std::nullopt;
  }
  char text[IDENTITY_TEXT_MAX + 2];
  std::size_t size = 0;
  while (size < sizeof text) {
    const ssize_t got = ::read(file.get(), text + size, sizeof text - size);
    if (got == 0) {
      break;
    }
    if (got < 0 && errno != EINTR) {
      return std::nullopt;
    }
    size += got > 0 ? static_cast<std::size_t>(got) : 0;
  }
  return std::string(text, size);
}

#if defined(__FreeBSD__)

// The loader's value of the kernel environment variable `name`, none when it has none.
std::optional<std::string> kernel_value(const char* name) {
  char value[KENV_MVALLEN + 1] = {};
  if (::kenv(KENV_GET, name, value, KENV_MVALLEN) < 0) {
    return std::nullopt;
  }
  return std::string(value, strnlen(value, KENV_MVALLEN));
}

class kernel_identity : public board_identity_source {
public:
  board_identity read() const override {
    board_identity identity;
    identity.system_serial = identity_text(kernel_value("smbios.system.serial").value_or(""));
    identity.board_serial = identity_text(kernel_value("smbios.planar.serial").value_or(""));
    identity.system_uuid = identity_uuid_of_text(kernel_value("smbios.system.uuid").value_or(""));
    return identity;
  }
};

#else

class kernel_identity : public board_identity_source {
public:
  board_identity read() const override {
    return read_identity_folder("/sys/class/dmi/id");
  }
};

#endif

} // namespace

bool same_uuid(const std::optional<identity_uuid>& a, const std::optional<identity_uuid>& b) {
  if (!a || !b) {
    return !a && !b;
  }
  const identity_uuid other_order = swapped_fields(*b);
  return std::memcmp(a->bytes, b->bytes, 16) == 0 ||
         std::memcmp(a->bytes, other_order.bytes, 16) == 0;
}

bool same_identity(const board_identity& a, const board_identity& b) {
  return a.system_serial == b.system_serial && a.board_serial == b.board_serial &&
         same_uuid(a.system_uuid, b.system_uuid);
}

std::optional<std::string> identity_text(std::string_view text) {
  if (text.ends_with('\n')) {
    text.remove_suffix(1);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  return std::string(text.substr(0, IDENTITY_TEXT_MAX));
}

std::optional<identity_uuid> identity_uuid_of_text(std::string_view text) {
  const std::optional<std::string> value = identity_text(text);
  identity_uuid uuid;
  if (!value || uuid_parse(value->c_str(), uuid.bytes) != 0) {
    return std::nullopt;
  }
  return identity_uuid_of_bytes(uuid.bytes);
}

std::optional<identity_uuid> identity_uuid_of_bytes(const std::uint8_t* bytes) {
  const auto all = [bytes](std::uint8_t byte) {
    return std::all_of(bytes, bytes + 16, [byte](std::uint8_t b) { return b == byte; });
  };
  if (all(0x00) || all(0xFF)) {
    return std::nullopt;
  }
  identity_uuid uuid;
  std::memcpy(uuid.bytes, bytes, 16);
  return uuid;
}

board_identity read_identity_folder(const std::string& folder) {
  board_identity identity;
  identity.system_serial = identity_text(read_value_file(folder, "product_serial").value_or(""));
  identity.board_serial = identity_text(read_value_file(folder, "board_serial").value_or(""));
  identity.system_uuid =
      identity_uuid_of_text(read_value_file(folder, "product_uuid").value_or(""));
  return identity;
}

const board_identity_source& system_board_identity() {
  static const kernel_identity kernel;
  return kernel;
}
