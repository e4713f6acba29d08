// Runs of the built vek_smbios_util as a factory script makes them: stamping an image into a new
// file (-o), image files given through symbolic links, and an image with no record stored.
#include "system/flash_files.h"
#include "tests/image_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string IMAGE = std::string(IMAGE_DIR) + "/base.rom";
const std::string OUT = std::string(IMAGE_DIR) + "/board-1.rom";
const std::string NEW_IMAGE = "/tmp/board/new.rom";

struct stat status_of(const std::string& path) {
  struct stat status {};
  ::lstat(path.c_str(), &status);
  return status;
}

class Factory : public testing::Test {
protected:
  void SetUp() override {
    board_.remove_program("flashrom");
    write_file("/tmp/board/calls", "");
    ::chmod("/tmp/board/calls", 0666);
    make_image_folder();
    record_ = make_record({{FIELD_SYSTEM_SERIAL_NUMBER, "SN-0"}, {FIELD_BOARD_VERSION, "rev A"}});
    make_coreboot_image(IMAGE, &record_, 'I');
    ::unlink((IMAGE + ".fmd").c_str());
    ::unlink((IMAGE + ".fmap").c_str());
    ::unlink((IMAGE + ".record").c_str());
    ::chmod(IMAGE.c_str(), 0640);
    give_to_unprivileged_user(IMAGE);
    before_ = read_file(IMAGE);
  }

  child_result run(const std::vector<std::string>& arguments) {
    return board_.run(arguments, "", drop_privileges);
  }

  emulated_board board_;
  dmi_record record_;
  std::string before_;
};

TEST_F(Factory, OutputFileIsMadeFromTheImageWhichStaysByteForByte) {
  const dmi_record serial = make_record({{FIELD_SYSTEM_SERIAL_NUMBER, "SN-7"}});
  // The longest name a folder entry may have but five: the working copy's name must not grow
  // with it.
  const std::string long_out = std::string(IMAGE_DIR) + "/" + std::string(246, 'L') + ".rom";
  const uid_t user = can_drop_privileges() ? unprivileged_id() : ::geteuid();
  // Whatever was at the name, the result is a new file of the run's user, 0644 less the umask.
  const struct {
    const char* name;
    std::string out;
    std::function<void()> arrange;
  } cases[] = {
      {"new", OUT, [] {}},
      {"replaced by a new file, its old permissions dropped", OUT,
       [] {
         write_file(OUT, "old");
         give_to_unprivileged_user(OUT);
         ::chmod(OUT.c_str(), 04600);
       }},
      {"name of 250 bytes", long_out, [] {}},
  };
  for (const auto& c : cases) {
    std::system(("rm -f " + OUT + " " + long_out).c_str());
    c.arrange();
    const child_result result =
        board_.run({"-w", "-f", IMAGE, "-o", c.out, "--system-serial-number=SN-7"}, "", [] {
          ::umask(022);
          drop_privileges();
        });
    ASSERT_EQ(result.exit_status, 0) << c.name << result.out << result.err;
    EXPECT_TRUE(read_file(IMAGE) == before_) << c.name;
    EXPECT_EQ(image_record_bytes(c.out), stored_merge(record_, serial)) << c.name;
    EXPECT_TRUE(S_ISREG(status_of(c.out).st_mode)) << c.name;
    EXPECT_EQ(status_of(c.out).st_mode & 07777, 0644u) << c.name;
    EXPECT_EQ(status_of(c.out).st_uid, user) << c.name;
    EXPECT_EQ(read_file(IMAGE).substr(0, COREBOOT_REGION_OFFSET),
              read_file(c.out).substr(0, COREBOOT_REGION_OFFSET));
    EXPECT_EQ(folder_entries("/tmp"), (std::vector<std::string>{"board"})) << c.name;
  }
  ::unlink(long_out.c_str());

  // An update into a new file: the new coreboot region over the image's own bytes below it.
  const dmi_record factory = make_record({{FIELD_SYSTEM_SKU, "factory"}});
  make_coreboot_image(NEW_IMAGE, &factory, 'N');
  const child_result update = run({"-u", NEW_IMAGE, "-f", IMAGE, "-o", OUT, "--json"});
  ASSERT_EQ(update.exit_status, 0) << update.out << update.err;
  // The document names the output beside the image it was made from.
  EXPECT_EQ(jq("[.source, .output] | @json", update.out), "[\"" + IMAGE + "\",\"" + OUT + "\"]");
  EXPECT_TRUE(read_file(IMAGE) == before_);
  EXPECT_EQ(image_record_bytes(OUT), record_bytes(record_)) << "carried byte for byte";
  EXPECT_EQ(read_file(OUT).substr(0, COREBOOT_REGION_OFFSET),
            before_.substr(0, COREBOOT_REGION_OFFSET));
  EXPECT_EQ(folder_entries(IMAGE_DIR), (std::vector<std::string>{"base.rom", "board-1.rom"}));
}

TEST_F(Factory, OutputFileThatIsTheImageAFolderOrADeviceIsRefusedAndADryRunMakesNone) {
  const std::string folder = std::string(IMAGE_DIR) + "/sub";
  const struct {
    std::vector<std::string> arguments;
    int status;
    std::string err;
  } cases[] = {
      {{"-o", IMAGE}, 255, "Refusing -o " + IMAGE + ": it is the same file as -f " + IMAGE + "\n"},
      {{"-o", std::string(IMAGE_DIR) + "/../images/base.rom"}, 255, " as -f " + IMAGE + "\n"},
      {{"-o", std::string(IMAGE_DIR) + "/link"}, 255, " as -f " + IMAGE + "\n"},
      {{"-o", folder},
       255,
       "Unable to open output file " + folder + ": file " + folder + " is not a regular file\n"},
      // The rename would replace the device's entry, not write to it: no device is taken,
      // root's neither.
      {{"-o", "/dev/null"},
       255,
       "Unable to open output file /dev/null: file /dev/null is not a regular file\n"},
      {{"-o", "/dev/full"},
       255,
       "Unable to open output file /dev/full: file /dev/full is not a regular file\n"},
      // A link is refused wherever it leads: replaced, /dev/stdout would be gone for everyone.
      {{"-o", std::string(IMAGE_DIR) + "/elsewhere"},
       255,
       "Output file " + std::string(IMAGE_DIR) + "/elsewhere is a symbolic link\n"},
      {{"-o", "/dev/stdout"}, 255, "Output file /dev/stdout is a symbolic link\n"},
      {{"-o", "/proc/self/fd/1"}, 255, "Output file /proc/self/fd/1 is a symbolic link\n"},
      {{"-o", OUT, "-n"}, 0, ""},
  };
  ::symlink("base.rom", (std::string(IMAGE_DIR) + "/link").c_str());
  ::symlink("/tmp/board/nowhere", (std::string(IMAGE_DIR) + "/elsewhere").c_str());
  ::mkdir(folder.c_str(), 0755);
  for (const auto& c : cases) {
    std::vector<std::string> arguments = {"-w", "-f", IMAGE, "--system-serial-number=SN-7"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const child_result result = run(arguments);
    EXPECT_EQ(result.exit_status, c.status) << c.arguments[1] << result.err;
    EXPECT_EQ(result.err.substr(result.err.size() - std::min(result.err.size(), c.err.size())),
              c.err);
    EXPECT_TRUE(read_file(IMAGE) == before_);
    EXPECT_EQ(folder_entries(IMAGE_DIR),
              (std::vector<std::string>{"base.rom", "elsewhere", "link", "sub"}));
  }
}

TEST_F(Factory, LinkToTheImageIsFollowedToReadAndRefusedToReplace) {
  const std::string link = std::string(IMAGE_DIR) + "/link.rom";
  ASSERT_EQ(::symlink("base.rom", link.c_str()), 0);
  make_coreboot_image(NEW_IMAGE, &record_, 'N');
  const std::string refused = "Image file " + link +
                              " is a symbolic link: replacing it would replace the link, not the "
                              "file it names\n";
  const struct {
    std::vector<std::string> arguments;
    int status;
    std::string err;
  } cases[] = {
      {{"-r"}, 0, ""},
      {{"-n", "-w", "--system-sku=S"}, 0, ""},
      {{"-w", "--system-sku=S"}, 255, refused},
      {{"-u", NEW_IMAGE}, 255, refused},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = c.arguments;
    arguments.insert(arguments.end(), {"-f", link});
    const child_result result = run(arguments);
    EXPECT_EQ(result.exit_status, c.status) << c.arguments[0];
    EXPECT_EQ(result.err, c.err) << c.arguments[0];
    EXPECT_TRUE(read_file(IMAGE) == before_);
    EXPECT_TRUE(S_ISLNK(status_of(link).st_mode));
  }
}

TEST_F(Factory, ErasedRecordAreaIsNoRecordAndTheLinesKeepTheirOrder) {
  const std::string erased = std::string(IMAGE_DIR) + "/erased.rom";
  make_image(erased, std::string(DMI_RECORD_SIZE, '\xff'));
  // Both streams into one file, as `>log 2>&1` has them.
  const child_result together = board_.run({"-r", "-f", erased}, "", [] {
    ::dup2(STDOUT_FILENO, STDERR_FILENO);
    drop_privileges();
  });
  EXPECT_EQ(together.exit_status, 255);
  EXPECT_EQ(together.out,
            "Reading image...\nNo record is stored in " + erased + ": its record area is erased\n");
  const child_result json = run({"-r", "-f", erased, "--json"});
  EXPECT_EQ(json.exit_status, 255);
  EXPECT_EQ(jq(".kind", json.out), "image");
}

} // namespace
