// A second, unprivileged user of the board (uid 65534) attacks the fixed working files in /tmp
// and the paths given with -l, -b and -o while root runs the tool, end to end on the emulated chip:
// nothing of theirs reaches the chip and no file of root's is written through their links.
#include "system/flash_files.h"
#include "tests/image_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <thread>

namespace {

const char* const NEW_IMAGE = "/tmp/board/new.rom";
const char* const CANARY = "/tmp/board/canary"; // a file of root's that no run may change
const std::string EVIL = "EVIL-BYTES-OF-ANOTHER-USER";
const std::string EVIL_LAYOUT = "00000000:00ffffff coreboot\n";

// In a forked child: from here on the child is the attacker. Ends it when that fails.
void become_attacker() {
  if (::setgroups(0, nullptr) != 0 ||
      ::setresgid(unprivileged_id(), unprivileged_id(), unprivileged_id()) != 0 ||
      ::setresuid(unprivileged_id(), unprivileged_id(), unprivileged_id()) != 0) {
    ::_exit(125);
  }
}

void as_attacker(const std::function<void()>& act) {
  ASSERT_EQ(run_in_child([&] {
              become_attacker();
              act();
            }).exit_status,
            0);
}

// Writes what the attacker wants flashrom or cbfstool to find in `path`: a layout covering the
// whole chip, or their bytes where the coreboot region and the record lie.
void write_their_bytes(int fd, const std::string& path) {
  const auto put = [fd](const std::string& bytes, off_t offset) {
    if (::pwrite(fd, bytes.data(), bytes.size(), offset) < 0) {
      return; // a file of root's: what the attack is meant to meet
    }
  };
  if (path == BIOS_LAYOUT_PATH) {
    put(EVIL_LAYOUT, 0);
  } else if (path == WORKING_IMAGE_PATH) {
    put(EVIL, COREBOOT_REGION_OFFSET);
    put(EVIL, DMI_RECORD_OFFSET);
  } else {
    put(EVIL + std::string(DMI_RECORD_SIZE - EVIL.size(), 'E'), 0);
  }
}

void plant_their_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  ASSERT_GE(fd, 0) << path;
  ::fchmod(fd, 0666);
  write_their_bytes(fd, path);
  ::close(fd);
}

// Rewrites whatever is at `path` and tries to swap a file of theirs in for a file of root's.
void rewrite(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK);
  if (fd >= 0) {
    write_their_bytes(fd, path);
    ::close(fd);
  }
  struct stat status;
  if (::lstat(path.c_str(), &status) == 0 && status.st_uid != unprivileged_id()) {
    ::unlink(path.c_str());
    ::rename("/tmp/theirs", path.c_str());
  }
}

void relink(const std::string& path) {
  ::unlink(path.c_str());
  ::symlink(CANARY, path.c_str());
}

enum class attack_kind {
  their_file, // a file of theirs at the name, rewritten through the run
  rewriting,  // the run's own files rewritten, removed or replaced through the run (umask 000)
  relinking,  // a link to root's file planted at the name again and again
  hard_link,  // a second name of root's file (Linux refuses it to other users; FreeBSD does not)
  fifo,       // a FIFO of theirs
};

struct attack {
  const char* name;
  const char* path;
  attack_kind kind;
  const char* refusal; // standard error of a run that must refuse, null when either outcome goes
};

void PrintTo(const attack& a, std::ostream* out) {
  *out << a.name;
}

class AttackedBoard : public testing::Test {
protected:
  void SetUp() override {
    if (run_in_child(become_attacker).exit_status != 0) {
      GTEST_SKIP() << "no second user to attack with";
    }
    old_record_ = make_record({{FIELD_SYSTEM_MANUFACTURER, "Vendor"}});
    board_.make_chip(&old_record_);
    const dmi_record factory = make_record({{FIELD_SYSTEM_MANUFACTURER, "Factory"}});
    make_coreboot_image(NEW_IMAGE, &factory, 'N');
    chip_before_ = read_file(emulated_board::CHIP);
    write_file(CANARY, "canary\n");
    ::chmod(CANARY, 0600);
  }

  // No byte of theirs on the chip, root's file untouched, and either a refusal before the chip
  // was read or exactly the values asked for stored.
  void expect_nothing_of_theirs(const child_result& result, const char* refusal) const {
    const std::string chip = read_file(emulated_board::CHIP);
    EXPECT_EQ(chip.find(EVIL), std::string::npos);
    EXPECT_EQ(chip.substr(0, COREBOOT_REGION_OFFSET),
              chip_before_.substr(0, COREBOOT_REGION_OFFSET));
    EXPECT_EQ(read_file(CANARY), "canary\n");
    if (refusal != nullptr || result.exit_status != 0) {
      EXPECT_EQ(result.exit_status, 255) << result.out << result.err;
      EXPECT_EQ(as_written_in_tests(result.err), refusal != nullptr ? refusal : result.err);
      EXPECT_TRUE(board_.calls().empty()) << "refused before the chip is read";
      EXPECT_EQ(chip, chip_before_);
    } else {
      EXPECT_EQ(chip.substr(DMI_RECORD_OFFSET, DMI_RECORD_SIZE),
                stored_merge(old_record_, make_record({{FIELD_SYSTEM_SKU, "asked"}})));
    }
  }

  emulated_board board_;
  dmi_record old_record_;
  std::string chip_before_;
};

class Attacker : public AttackedBoard, public testing::WithParamInterface<attack> {};

mode_t mode_of(const char* path) {
  struct stat status;
  return ::lstat(path, &status) == 0 ? status.st_mode & 07777 : 0;
}

TEST_P(Attacker, NothingOfTheirsReachesTheChipNorAFileOfRoots) {
  const attack& a = GetParam();
  const std::string path = a.path;
  std::vector<std::string> arguments = {"-w", "--system-sku=asked"};
  if (path == WORKING_IMAGE_PATH) {
    arguments = {"-u", NEW_IMAGE, "--system-sku=asked"};
  }
  switch (a.kind) {
  case attack_kind::their_file:
    as_attacker([&] { plant_their_file(path); });
    break;
  case attack_kind::rewriting:
    as_attacker([] { plant_their_file("/tmp/theirs"); });
    arguments.insert(arguments.end(), {"-l", "/tmp/run.log", "-b", "/tmp/copy.bin"});
    break;
  case attack_kind::hard_link:
    ASSERT_EQ(::link(CANARY, path.c_str()), 0);
    break;
  case attack_kind::fifo:
    as_attacker([&] { ::mkfifo(path.c_str(), 0666); });
    break;
  case attack_kind::relinking:
    break;
  }
  std::optional<background_child> loop;
  if (a.kind == attack_kind::their_file || a.kind == attack_kind::rewriting ||
      a.kind == attack_kind::relinking) {
    loop.emplace([&] {
      become_attacker();
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (std::chrono::steady_clock::now() < end) {
        a.kind == attack_kind::relinking ? relink(path) : rewrite(path);
        std::this_thread::yield();
      }
    });
  }
  const bool umask_zero = a.kind == attack_kind::rewriting;
  const child_result result = board_.run(arguments, "", [umask_zero] {
    if (umask_zero) {
      ::umask(0);
    }
  });
  loop.reset();
  expect_nothing_of_theirs(result, a.refusal);
  if (umask_zero) {
    ASSERT_EQ(result.exit_status, 0) << result.err;
    for (const char* file : {WORKING_IMAGE_PATH, BIOS_LAYOUT_PATH, DMI_RECORD_FILE_PATH}) {
      EXPECT_EQ(mode_of(file), 0600u) << file;
    }
    for (const char* file : {"/tmp/run.log", "/tmp/copy.bin", "/var/run/vek_smbios_util.lock"}) {
      EXPECT_EQ(mode_of(file), 0644u) << file;
    }
  }
}

// clang-format off
const attack ATTACKS[] = {
    {"TheirImage", WORKING_IMAGE_PATH, attack_kind::their_file,
     "Refusing to use /tmp/flash_backup.bin: it is owned by uid 65534\n"},
    {"TheirLayout", BIOS_LAYOUT_PATH, attack_kind::their_file,
     "Refusing to use /tmp/bios_layout: it is owned by uid 65534\n"},
    {"TheirRecordFile", DMI_RECORD_FILE_PATH, attack_kind::their_file,
     "Refusing to use /tmp/dmi.bin: it is owned by uid 65534\n"},
    {"RewritingImage", WORKING_IMAGE_PATH, attack_kind::rewriting, nullptr},
    {"RewritingLayout", BIOS_LAYOUT_PATH, attack_kind::rewriting, nullptr},
    {"RewritingRecordFile", DMI_RECORD_FILE_PATH, attack_kind::rewriting, nullptr},
    {"RelinkingImage", WORKING_IMAGE_PATH, attack_kind::relinking, nullptr},
    {"RelinkingLayout", BIOS_LAYOUT_PATH, attack_kind::relinking, nullptr},
    {"RelinkingRecordFile", DMI_RECORD_FILE_PATH, attack_kind::relinking, nullptr},
    {"HardLinkAtImage", WORKING_IMAGE_PATH, attack_kind::hard_link,
     "Refusing to use /tmp/flash_backup.bin: it has more than one link\n"},
    {"HardLinkAtLayout", BIOS_LAYOUT_PATH, attack_kind::hard_link,
     "Refusing to use /tmp/bios_layout: it has more than one link\n"},
    {"HardLinkAtRecordFile", DMI_RECORD_FILE_PATH, attack_kind::hard_link,
     "Refusing to use /tmp/dmi.bin: it has more than one link\n"},
    {"FifoAtLayout", BIOS_LAYOUT_PATH, attack_kind::fifo,
     "Refusing to use /tmp/bios_layout: it is not a regular file\n"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(FixedNames, Attacker, testing::ValuesIn(ATTACKS),
                         [](const testing::TestParamInfo<attack>& param_info) {
                           return param_info.param.name;
                         });

struct output_trap {
  std::vector<std::string> arguments;
  std::function<void()> plant;
  const char* err; // the refusal; null when the run succeeds
  // The step (a VEK_FAULT step name) during which `plant` runs, the run held meanwhile; null
  // when it runs before the run starts.
  const char* during = nullptr;
  uid_t user = 0;                      // who runs the tool
  std::function<void()> check = [] {}; // what must hold afterwards besides
};

// A normal user of the board who runs the tool, other than the attacker.
// One of the mapped users but the attacker.
uid_t operator_id() {
  return unprivileged_id() - 1;
}

const char* const OUT = "/tmp/out.rom";
const std::string THEIR_OUT_BYTES = EVIL + std::string(DMI_RECORD_SIZE - EVIL.size(), 'E');

// A file of theirs at OUT, set-user-id and set-group-id and writable by all, as a file that
// would let them change root's image if the run kept its owner and permissions.
void plant_their_out() {
  as_attacker([] {
    plant_their_file(OUT);
    ::chmod(OUT, 06777);
  });
}

void expect_their_out_untouched() {
  struct stat status {};
  ASSERT_EQ(::lstat(OUT, &status), 0);
  EXPECT_EQ(status.st_uid, unprivileged_id());
  EXPECT_EQ(status.st_mode & 07777, 06777u);
  EXPECT_TRUE(read_file(OUT) == THEIR_OUT_BYTES) << "their bytes";
}

TEST_F(AttackedBoard, OutputsInTmpNeitherFollowTheirLinksNorTakeTheirFiles) {
  const std::vector<std::string> stamp = {"-w", "-f", NEW_IMAGE, "-o", OUT, "--system-sku=asked"};
  const output_trap traps[] = {
      {{"-w", "-l", "/tmp/run.log"},
       [] { as_attacker([] { ::symlink(CANARY, "/tmp/run.log"); }); },
       "Unable to open log file /tmp/run.log: it is a symbolic link, in a sticky world-writable "
       "folder\n"},
      {{"-w", "-b", "/tmp/copy.bin"},
       [] { as_attacker([] { plant_their_file("/tmp/copy.bin"); }); },
       "Unable to open /tmp/copy.bin for writing: it is owned by uid 65534, in a sticky "
       "world-writable folder\n"},
      {{"-w", "-l", "/tmp/fifo.log"},
       [] { as_attacker([] { ::mkfifo("/tmp/fifo.log", 0666); }); },
       "Unable to open log file /tmp/fifo.log: it is not a regular file, in a sticky "
       "world-writable "
       "folder\n"},
      {{"-w", "-b", "/tmp/linked.bin"},
       [] { ASSERT_EQ(::link(CANARY, "/tmp/linked.bin"), 0); },
       "Unable to open /tmp/linked.bin for writing: it has more than one link, in a sticky "
       "world-writable folder\n"},
      // The -o file is replaced, never written into, yet a file of theirs found there is refused
      // as in any other folder: keeping its owner or permissions would hand them the result.
      {stamp, plant_their_out,
       "Unable to open output file /tmp/out.rom: file /tmp/out.rom is owned by uid 65534\n",
       nullptr, 0, expect_their_out_untouched},
      {{"-w", "-f", NEW_IMAGE, "-o", "/tmp/out.fifo"},
       [] { as_attacker([] { ::mkfifo("/tmp/out.fifo", 0666); }); },
       "Unable to open output file /tmp/out.fifo: file /tmp/out.fifo is not a regular file\n"},
      // Planted once the checks are over: root's rename puts its own new file in its place,
      // made with its permissions from the start, so they never held the result.
      {stamp, plant_their_out, nullptr, "cbfstool-add", 0,
       [] {
         struct stat status {};
         ASSERT_EQ(::lstat(OUT, &status), 0);
         EXPECT_TRUE(S_ISREG(status.st_mode));
         EXPECT_EQ(status.st_uid, 0u);
         EXPECT_EQ(status.st_mode & 07777, 0640u) << "0644 less the run's umask 027";
         EXPECT_EQ(image_record_bytes(OUT),
                   stored_merge(make_record({{FIELD_SYSTEM_MANUFACTURER, "Factory"}}),
                                make_record({{FIELD_SYSTEM_SKU, "asked"}})));
       }},
      // A normal user cannot replace another user's file in a sticky folder: the run fails and
      // leaves it.
      {stamp, plant_their_out, "Unable to replace /tmp/out.rom: Operation not permitted\n",
       "cbfstool-add", operator_id(), expect_their_out_untouched},
  };
  for (const output_trap& trap : traps) {
    write_file("/tmp/board/calls", "");
    ::chmod("/tmp/board/calls", 0666);
    std::optional<held_step> hold;
    std::optional<background_child> planter;
    if (trap.during != nullptr) {
      hold.emplace(board_, trap.during);
      planter.emplace([&] {
        if (hold->started()) {
          trap.plant();
          hold->release();
        }
      });
    } else {
      trap.plant();
    }
    const child_result result = board_.run(trap.arguments, "", [&trap] {
      ::umask(027);
      if (trap.user != 0 &&
          (::setgroups(0, nullptr) != 0 || ::setresgid(trap.user, trap.user, trap.user) != 0 ||
           ::setresuid(trap.user, trap.user, trap.user) != 0)) {
        ::_exit(125);
      }
    });
    planter.reset();
    hold.reset();
    const char* label = trap.err != nullptr ? trap.err : "success";
    EXPECT_EQ(result.exit_status, trap.err != nullptr ? 255 : 0) << label << result.err;
    EXPECT_EQ(as_written_in_tests(result.err), trap.err != nullptr ? trap.err : "");
    EXPECT_EQ(board_.calls().empty(), trap.during == nullptr) << label;
    trap.check();
    EXPECT_EQ(read_file(CANARY), "canary\n");
    EXPECT_EQ(read_file(emulated_board::CHIP), chip_before_);
    for (const std::string& name : folder_entries("/tmp")) {
      EXPECT_EQ(name.find("vek_smbios_util"), std::string::npos) << label << ": " << name;
    }
    ::unlink(OUT);
  }
}

} // namespace
