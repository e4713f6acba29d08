// Tests of the board's identity: what counts as read from the kernel's files, and when two
// identities are one board's.
#include "system/board_identity.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace {

const std::string FOLDER = "/tmp/dmi_id";
const char* const UUID_TEXT = "4c4c4544-0042-3510-8052-b4c04f333232";
// The same UUID with its first three fields in the other byte order, as SMBIOS 2.6 stores them.
const char* const UUID_SWAPPED = "44454c4c-4200-1035-8052-b4c04f333232";

std::optional<identity_uuid> uuid(const char* text) {
  return identity_uuid_of_text(text);
}

// A value the kernel reports: its file's content, or none for a missing file.
TEST(BoardIdentity, TakesEachValueAsTheKernelReportsItWithoutItsLineEnd) {
  const struct {
    const char* name;
    std::optional<std::string> serial_file, uuid_file;
    std::optional<std::string> serial;
    std::optional<identity_uuid> system_uuid;
  } cases[] = {
      {"a serial and a UUID", "SN-2024-0041\n", std::string(UUID_TEXT) + "\n", "SN-2024-0041",
       uuid(UUID_TEXT)},
      {"blanks kept, one line end taken", " SN 7 \n\n", "4C4C4544-0042-3510-8052-B4C04F333232",
       " SN 7 \n", uuid(UUID_TEXT)},
      {"missing files", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      {"empty files", "\n", "", std::nullopt, std::nullopt},
      {"a UUID not set, and a serial longer than kept", std::string(300, 'x') + "\n",
       "00000000-0000-0000-0000-000000000000\n", std::string(IDENTITY_TEXT_MAX, 'x'), std::nullopt},
      {"no UUID present", "S", "ffffffff-ffff-ffff-ffff-ffffffffffff", "S", std::nullopt},
      {"text that is no UUID", "S", "Not Settable\n", "S", std::nullopt},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(::mkdir(FOLDER.c_str(), 0755), 0);
    for (const auto& [name, content] :
         {std::pair{"product_serial", c.serial_file}, {"product_uuid", c.uuid_file}}) {
      if (content) {
        write_file(FOLDER + "/" + name, *content);
      }
    }
    const board_identity identity = read_identity_folder(FOLDER);
    EXPECT_EQ(identity.system_serial, c.serial) << c.name;
    EXPECT_FALSE(identity.board_serial) << c.name;
    EXPECT_TRUE(same_uuid(identity.system_uuid, c.system_uuid)) << c.name;
    EXPECT_EQ(identity.known(), c.serial || c.system_uuid) << c.name;
    std::filesystem::remove_all(FOLDER);
  }
}

TEST(BoardIdentity, IsOneBoardsWhenEveryValueIsEqualAsRead) {
  const board_identity board{"SN-1", "BB-1", uuid(UUID_TEXT)};
  const struct {
    const char* name;
    board_identity other;
    bool same;
  } cases[] = {
      {"the same values", {"SN-1", "BB-1", uuid(UUID_TEXT)}, true},
      {"the UUID in the other byte order", {"SN-1", "BB-1", uuid(UUID_SWAPPED)}, true},
      {"another serial", {"SN-2", "BB-1", uuid(UUID_TEXT)}, false},
      {"another board serial", {"SN-1", "BB-2", uuid(UUID_TEXT)}, false},
      {"another UUID", {"SN-1", "BB-1", uuid("4c4c4544-0042-3510-8052-b4c04f333233")}, false},
      {"a value not read", {"SN-1", std::nullopt, uuid(UUID_TEXT)}, false},
      {"the serial in another case", {"sn-1", "BB-1", uuid(UUID_TEXT)}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(same_identity(board, c.other), c.same) << c.name;
    EXPECT_EQ(same_identity(c.other, board), c.same) << c.name;
  }
  EXPECT_TRUE(same_identity(board_identity{}, board_identity{}));
  EXPECT_FALSE(board_identity{}.known());
}

} // namespace
