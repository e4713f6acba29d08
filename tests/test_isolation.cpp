// Keeps the cases of one test process apart: before any case runs, /tmp and the folder holding
// the journal's state folder must be the private tmpfs that tests/private_tmp mounts, and after
// every case that /tmp is emptied (mounts a case made below it included), the state folder
// removed, and the process-wide state of the runner and of getopt is reset. So the
// whole binary passes in one private /tmp as each case does in its own, and the host's /tmp is
// never written nor emptied.
#include "flash_target/journal.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace {

// The names tests/private_tmp gives its tmpfs on /tmp and on the folder behind /var/lib.
constexpr const char* PRIVATE_TMP_SOURCE = "vek_test_tmp";
constexpr const char* PRIVATE_LIB_SOURCE = "vek_test_lib";

// A mount point as /proc/self/mountinfo writes it, with its octal escapes (\040 for a blank)
// turned back into bytes.
std::string unescape_mount_point(const std::string& field) {
  std::string path;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      path += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      path += field[i];
    }
  }
  return path;
}

struct mount_entry {
  std::string point;
  std::string type;
  std::string source;
};

// The mounts this process sees, in the order they were made.
std::vector<mount_entry> mounts() {
  std::vector<mount_entry> entries;
  std::ifstream mountinfo("/proc/self/mountinfo");
  for (std::string line; std::getline(mountinfo, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point, field;
    fields >> id >> parent >> device >> root >> point;
    // Optional fields run up to a lone "-"; the type and the source follow it.
    while (fields >> field && field != "-") {
    }
    mount_entry entry{unescape_mount_point(point), "", ""};
    fields >> entry.type >> entry.source;
    entries.push_back(entry);
  }
  return entries;
}

// Whether the mount on top at `point` is the tmpfs `source` of tests/private_tmp.
bool is_private_mount(const std::string& point, const char* source) {
  const std::vector<mount_entry> entries = mounts();
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    if (entry->point == point) {
      return entry->type == "tmpfs" && entry->source == source;
    }
  }
  return false;
}

bool tmp_is_private() {
  return is_private_mount("/tmp", PRIVATE_TMP_SOURCE);
}

// Whether the folder that holds the state folder is the private tmpfs.
bool state_is_private() {
  std::error_code error;
  const std::filesystem::path parent =
      std::filesystem::weakly_canonical(std::filesystem::path(STATE_FOLDER).parent_path(), error);
  return !error && is_private_mount(parent.string(), PRIVATE_LIB_SOURCE);
}

// Empties the private /tmp: first detaches what a case mounted below it, newest first, then
// removes every entry without following links.
void empty_private_tmp() {
  const std::vector<mount_entry> entries = mounts();
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    if (entry->point.rfind("/tmp/", 0) == 0 && ::umount2(entry->point.c_str(), MNT_DETACH) != 0) {
      ADD_FAILURE() << "cannot unmount " << entry->point << " left by this case";
    }
  }
  std::error_code error;
  for (const auto& item : std::filesystem::directory_iterator("/tmp", error)) {
    std::filesystem::remove_all(item.path(), error);
    if (error) {
      ADD_FAILURE() << "cannot remove " << item.path() << ": " << error.message();
    }
  }
  if (error) {
    ADD_FAILURE() << "cannot list /tmp: " << error.message();
  }
}

// Refuses to run any case outside the private /tmp: the cases write fixed names under /tmp and
// the clean-up after each case empties it.
class private_tmp_check : public testing::Environment {
public:
  void SetUp() override {
    ASSERT_TRUE(tmp_is_private()) << "/tmp is not the private tmpfs '" << PRIVATE_TMP_SOURCE
                                  << "': run the tests through tests/private_tmp (ctest does)";
    ASSERT_TRUE(state_is_private()) << "the folder holding " << STATE_FOLDER
                                    << " is not the private tmpfs '" << PRIVATE_LIB_SOURCE << "'";
  }
};

class clean_up_after_each_case : public testing::EmptyTestEventListener {
public:
  // Runs before the result of the case is printed, so a failed clean-up fails the case.
  void OnTestEnd(const testing::TestInfo&) override {
    reset_process_state();
    if (!tmp_is_private()) {
      ADD_FAILURE() << "/tmp is not the private tmpfs: nothing in it removed";
      return;
    }
    empty_private_tmp();
    if (state_is_private()) {
      std::error_code error;
      std::filesystem::remove_all(STATE_FOLDER, error);
    }
  }
};

[[maybe_unused]] const bool registered = [] {
  testing::AddGlobalTestEnvironment(new private_tmp_check);
  testing::UnitTest::GetInstance()->listeners().Append(new clean_up_after_each_case);
  return true;
}();

} // namespace
