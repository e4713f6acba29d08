// Tests of the trusted-path rule: each kind of path element another user could change, and the
// paths that no other user can.
#include "system/file_checks.h"
#include "tests/image_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

namespace {

constexpr uid_t OTHER = 65534;

struct path_case {
  const char* name;
  const char* path;
  path_use use;
  std::string refusal; // empty: trusted
  int error = 0;
};

TEST(TrustedPathRule, RefusesEveryElementAnotherUserCouldChangeAndNamesIt) {
  ASSERT_EQ(::mkdir("/tmp/t", 0755), 0);
  ASSERT_EQ(::mkdir("/tmp/t/theirs", 0755), 0);
  // Writable by others, by its group and others, and by its group alone.
  for (const auto& [folder, mode] :
       {std::pair{"/tmp/t/open", 0777}, {"/tmp/t/group", 0775}, {"/tmp/t/team", 0770}}) {
    ASSERT_EQ(::mkdir(folder, 0700), 0);
    ASSERT_EQ(::chmod(folder, static_cast<mode_t>(mode)), 0);
  }
  ASSERT_EQ(::mkdir("/tmp/t/sticky", 01777), 0);
  ASSERT_EQ(::chmod("/tmp/t/sticky", 01777), 0);
  write_file("/tmp/t/mine.rom", "x");
  write_file("/tmp/t/theirs.rom", "x");
  write_file("/tmp/t/linked.rom", "x");
  write_file("/tmp/t/shared.rom", "x");
  ASSERT_EQ(::chmod("/tmp/t/shared.rom", 0664), 0);
  ASSERT_EQ(::link("/tmp/t/linked.rom", "/tmp/t/second.rom"), 0);
  ASSERT_EQ(::symlink("/tmp/t/theirs", "/tmp/t/to_theirs"), 0);
  ASSERT_EQ(::symlink("/tmp/t/mine.rom", "/tmp/t/their_link"), 0);
  ASSERT_EQ(::symlink("/tmp/t/none.rom", "/tmp/t/to_nothing"), 0);
  // A user namespace that maps no second user cannot give files away: those cases are left out.
  const bool can_give = ::chown("/tmp/t/theirs", unprivileged_id(), unprivileged_id()) == 0 &&
                        ::chown("/tmp/t/theirs.rom", unprivileged_id(), unprivileged_id()) == 0 &&
                        ::lchown("/tmp/t/their_link", unprivileged_id(), unprivileged_id()) == 0;
  const path_case cases[] = {
      {"own file", "/tmp/t/mine.rom", path_use::input, ""},
      {"relative, from the working folder", "t/./../t/mine.rom", path_use::input, ""},
      {"new file in a sticky folder", "/tmp/t/sticky/new.log", path_use::output, ""},
      {"root's device as an output", "/dev/null", path_use::output, ""},
      {"device as an input", "/dev/null", path_use::input, "file /dev/null is not a regular file"},
      {"open folder", "/tmp/t/open/a.rom", path_use::input,
       "folder /tmp/t/open is writable by group or others"},
      {"folder its group may write", "/tmp/t/group/a.log", path_use::output,
       "folder /tmp/t/group is writable by group or others"},
      {"folder its group alone may write", "/tmp/t/team/a.rom", path_use::replaced,
       "folder /tmp/t/team is writable by group or others"},
      {"second link", "/tmp/t/second.rom", path_use::output,
       "file /tmp/t/second.rom has more than one link"},
      // The rule a folder is held to holds for a file too: another user of its group could
      // change it under the run.
      {"file its group may write", "/tmp/t/shared.rom", path_use::input,
       "file /tmp/t/shared.rom is writable by group or others"},
      {"missing folder", "/tmp/t/none/a.log", path_use::output, "", ENOENT},
      {"their folder", "/tmp/t/theirs/a.rom", path_use::input,
       "folder /tmp/t/theirs is owned by uid 65534"},
      {"their folder through my link", "/tmp/t/to_theirs/a.log", path_use::output,
       "folder /tmp/t/theirs is owned by uid 65534"},
      {"their file", "/tmp/t/theirs.rom", path_use::input,
       "file /tmp/t/theirs.rom is owned by uid 65534"},
      {"their link", "/tmp/t/their_link", path_use::output,
       "symbolic link /tmp/t/their_link is owned by uid 65534"},
      // What a replaced file's name holds: a link to nothing is not a missing file.
      {"link to nothing, replaced", "/tmp/t/to_nothing", path_use::replaced,
       "symbolic link /tmp/t/to_nothing leads to no file"},
  };
  ASSERT_EQ(::chdir("/tmp"), 0);
  std::string not_tried;
  for (const path_case& c : cases) {
    const bool needs_second_user = c.refusal.find("65534") != std::string::npos;
    const bool needs_roots_devices = std::string(c.path).starts_with("/dev/") && c.refusal.empty();
    if ((needs_second_user && !can_give) || (needs_roots_devices && !devices_are_roots())) {
      not_tried += std::string(not_tried.empty() ? "" : "; ") + c.name;
      continue;
    }
    const path_verdict verdict = check_trusted_path(c.path, c.use);
    EXPECT_EQ(as_written_in_tests(verdict.refusal), c.refusal) << c.name;
    EXPECT_EQ(verdict.error, c.error) << c.name;
  }
  if (!not_tried.empty()) {
    GTEST_SKIP() << "not tried in this user namespace (no second user, devices not root's): "
                 << not_tried;
  }
}

// Root of the machine maps every id, 65534 included: a folder of that id is another user's. A
// user namespace that leaves 65534 unmapped (as the tests' own do) shows every owner outside it
// as 65534, the machine's root among them.
TEST(TrustedPathRule, TheOverflowIdIsTrustedOnlyInANamespaceThatMapsNoUserToIt) {
  EXPECT_TRUE(is_trusted_owner(0));
  EXPECT_TRUE(is_trusted_owner(::geteuid()));
  unsigned long inside = 0;
  unsigned long outside = 0;
  unsigned long count = 0;
  bool mapped = false;
  std::istringstream map(read_file("/proc/self/uid_map"));
  while (map >> inside >> outside >> count) {
    mapped = mapped || (OTHER >= inside && OTHER - inside < count);
  }
  EXPECT_EQ(is_trusted_owner(OTHER), !mapped);
}

} // namespace
