// Runs of the built vek_smbios_util on image files (-f): as an unprivileged user, with no
// flashrom on PATH, with the real cbfstool and cp; failures leave the image as it was.
#include "system/flash_files.h"
#include "tests/build_paths.h"
#include "tests/image_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

namespace {

const std::string IMAGE = std::string(IMAGE_DIR) + "/board 7.rom";
const std::string NEW_IMAGE = "/tmp/board/new.rom";

// The record the images of these tests start with: not compact, with a UUID and a marker.
dmi_record board_record() {
  dmi_record record = make_record({{FIELD_SYSTEM_MANUFACTURER, "Old Vendor"},
                                   {FIELD_SYSTEM_SERIAL_NUMBER, "first"},
                                   {FIELD_SYSTEM_SERIAL_NUMBER, "SN-0001"},
                                   {FIELD_BOARD_VERSION, "rev A"}});
  EXPECT_EQ(dmi_record_parse_uuid(record, "3f2504e0-4f89-11d3-9a0c-0305e82c3301"), 0);
  dmi_record_set_marker(record, 0x1234);
  return record;
}

mode_t mode_of(const std::string& path) {
  struct stat status {};
  ::stat(path.c_str(), &status);
  return status.st_mode & 07777;
}

class ImageFile : public testing::Test {
protected:
  void SetUp() override {
    board_.remove_program("flashrom");
    allow_calls();
    make_image_folder();
    record_ = board_record();
    // Made elsewhere (the helper takes plain names only), then given a name with a blank.
    make_coreboot_image("/tmp/board/image.rom", &record_, 'I');
    ASSERT_EQ(std::rename("/tmp/board/image.rom", IMAGE.c_str()), 0);
    give_to_unprivileged_user(IMAGE);
    ::chmod(IMAGE.c_str(), 0640);
    before_ = read_file(IMAGE);
    const dmi_record factory = make_record({{FIELD_SYSTEM_MANUFACTURER, "Factory"}});
    make_coreboot_image(NEW_IMAGE, &factory, 'N');
    // The new firmware proper: a file only the new image's CBFS holds.
    write_file("/tmp/board/version.txt", "firmware 2.0");
    ASSERT_EQ(std::system("PATH=/usr/sbin:/usr/bin:/sbin:/bin; cbfstool /tmp/board/new.rom add -f "
                          "/tmp/board/version.txt -n firmware-version -t raw -r COREBOOT "
                          ">/dev/null"),
              0);
  }

  // The stand-ins record their calls in a file the unprivileged user may write too.
  static void allow_calls() {
    write_file("/tmp/board/calls", "");
    ::chmod("/tmp/board/calls", 0666);
  }

  // Runs the tool as the unprivileged user, on a board without flashrom.
  child_result run(const std::vector<std::string>& arguments, const std::string& fault = "") {
    return board_.run(arguments, fault, drop_privileges);
  }

  // Nothing beside the image, nothing in /tmp but the board: no working file is left anywhere.
  void expect_no_working_files() const {
    EXPECT_EQ(folder_entries(IMAGE_DIR), std::vector<std::string>{"board 7.rom"});
    EXPECT_EQ(folder_entries("/tmp"), (std::vector<std::string>{"board"}));
  }

  emulated_board board_;
  dmi_record record_;
  std::string before_;
};

TEST_F(ImageFile, ReadPrintsTheImagesRecord) {
  const child_result result = run({"-r", "-f", IMAGE});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out.rfind("Reading image...\nType 1 Fields:\n", 0), 0u) << result.out;
  EXPECT_NE(result.out.find(" system-serial-number:\t'SN-0001'\n"
                            " system-uuid:\t\t'3f2504e0-4f89-11d3-9a0c-0305e82c3301'\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(board_.calls().empty());
  EXPECT_EQ(read_file(IMAGE), before_);
  expect_no_working_files();
}

TEST_F(ImageFile, WriteStoresTheValuesInTheRecordAndKeepsTheImagesMode) {
  const child_result result = run({"--image", IMAGE, "-w", "--system-serial-number=SN-0002"});
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_EQ(result.out, "Programming DMI...\n"
                        "Reading image...\n"
                        "Removing old SMBIOS information from CBFS...\n"
                        "system() exit with return_code=0, child exit status=0\n"
                        "Adding new SMBIOS information to CBFS...\n"
                        "system() exit with return_code=0, child exit status=0\n"
                        "Writing coreboot SMBIOS region 0x100 bytes @ 0xff0100...\n"
                        "Writing image...\n");

  const std::string after = read_file(IMAGE);
  ASSERT_EQ(after.size(), before_.size());
  EXPECT_EQ(after.substr(DMI_RECORD_OFFSET, DMI_RECORD_SIZE),
            stored_merge(record_, make_record({{FIELD_SYSTEM_SERIAL_NUMBER, "SN-0002"}})));
  EXPECT_EQ(after.substr(0, COREBOOT_REGION_OFFSET), before_.substr(0, COREBOOT_REGION_OFFSET));
  EXPECT_EQ(mode_of(IMAGE), 0640u);
  if (can_drop_privileges()) {
    struct stat status {};
    ASSERT_EQ(::stat(IMAGE.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, unprivileged_id()) << "the run made the new image as that user";
  }

  // cbfstool edits only the working copy, a hidden file beside the image; its record file sits
  // in a private folder under /tmp.
  const std::vector<std::string> calls = board_.calls();
  ASSERT_EQ(calls.size(), 2u);
  // (The stand-ins record the words they were given, joined by blanks.)
  const std::string copy = "/tmp/board/images/\\.vek_smbios_util\\.[A-Za-z0-9]{6}";
  EXPECT_TRUE(std::regex_match(calls[0], std::regex("cbfstool " + copy + " remove -n vek_smbios")))
      << calls[0];
  EXPECT_TRUE(std::regex_match(calls[1], std::regex("cbfstool " + copy +
                                                    " add -f /tmp/vek_smbios_util\\.[A-Za-z0-9]{6}"
                                                    "/dmi\\.bin -n vek_smbios -t struct -r "
                                                    "COREBOOT -b 0xffff0100")))
      << calls[1];
  expect_no_working_files();
}

TEST_F(ImageFile, UpdateTakesTheNewCorebootRegionAndKeepsTheImagesOwnBelowIt) {
  const child_result result = run({"-u", NEW_IMAGE, "-f", IMAGE});
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_EQ(result.out.rfind("Updating image  ...\nReading image...\n", 0), 0u) << result.out;
  const std::string after = read_file(IMAGE);
  EXPECT_EQ(after.substr(0, COREBOOT_REGION_OFFSET), before_.substr(0, COREBOOT_REGION_OFFSET));
  EXPECT_EQ(after.substr(DMI_RECORD_OFFSET, DMI_RECORD_SIZE), record_bytes(record_))
      << "a plain update carries the record byte for byte";
  EXPECT_NE(after.find("firmware 2.0", COREBOOT_REGION_OFFSET), std::string::npos)
      << "the new image's CBFS";
  EXPECT_EQ(
      board_.calls().at(0).rfind("cp /tmp/board/new.rom /tmp/board/images/.vek_smbios_util.", 0),
      0u);
  expect_no_working_files();
}

TEST_F(ImageFile, UpdateWithFieldsAndAConfigurationFileMergesThem) {
  write_file("/tmp/board/board.conf", "chassis-asset-tag=TAG 7\nsystem-sku=from file\n");
  const child_result result =
      run({"-f", IMAGE, "-u", NEW_IMAGE, "-c", "board.conf", "--system-sku=from option"});
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_EQ(result.out.rfind("Programming DMI...\nReading image...\n", 0), 0u) << result.out;
  EXPECT_NE(result.out.find("Updating image ...\nWriting image...\n"), std::string::npos);
  EXPECT_EQ(image_record_bytes(IMAGE),
            stored_merge(record_, make_record({{FIELD_SYSTEM_SKU, "from option"},
                                               {FIELD_CHASSIS_ASSET_TAG, "TAG 7"}})));
  expect_no_working_files();
}

// The same run on the chip and on an image file holding the same bytes ends with the same bytes:
// one step list, two ways to fetch and put back the working image.
TEST_F(ImageFile, EndsWithTheBytesTheChipWouldHold) {
  const std::vector<std::vector<std::string>> runs = {
      {"-w", "--board-version=rev B", "--system-uuid=00112233-4455-6677-8899-aabbccddeeff"},
      {"-u", NEW_IMAGE, "--chassis-version=2"},
  };
  for (const std::vector<std::string>& arguments : runs) {
    write_file(emulated_board::CHIP, read_file(IMAGE));
    const emulated_board chip_board; // flashrom back on PATH for the chip's run only
    const child_result on_chip = chip_board.run(arguments);
    ASSERT_EQ(on_chip.exit_status, 0) << on_chip.out << on_chip.err;
    board_.remove_program("flashrom");
    allow_calls();

    std::vector<std::string> with_image = arguments;
    with_image.insert(with_image.end(), {"-f", IMAGE});
    const child_result on_image = run(with_image);
    ASSERT_EQ(on_image.exit_status, 0) << on_image.out << on_image.err;
    EXPECT_TRUE(read_file(IMAGE) == read_file(emulated_board::CHIP)) << arguments[0];
  }
}

TEST_F(ImageFile, SecondRunStartedWhileTheFirstWorksIsRefusedAndAReadIsNot) {
  // The first run's cbfstool starts the others on the same image, then does its own work.
  const std::string wrapper = "/tmp/board/bin/cbfstool";
  const std::string tool = "\"" VEK_SMBIOS_UTIL_PATH "\" -f \"" + IMAGE + "\" ";
  const std::string out = std::string(IMAGE_DIR) + "/others.out";
  ::unlink(wrapper.c_str());
  write_file(wrapper, "#!/bin/sh\n"
                      "if [ \"$2\" = remove ]; then\n"
                      "  " +
                          tool + "-u /tmp/board/new.rom 2>>" + out + "; echo $? >>" + out + "\n  " +
                          tool + "-r >/dev/null; echo $? >>" + out +
                          "\nfi\n"
                          "exec \"" VEK_FAKE_TOOLS_DIR "/cbfstool\" \"$@\"\n");
  ASSERT_EQ(::chmod(wrapper.c_str(), 0755), 0);

  ASSERT_EQ(run({"-w", "-f", IMAGE, "--system-sku=first"}).exit_status, 0);
  EXPECT_EQ(read_file(out), "Image file " + IMAGE + " is in use by another run\n255\n0\n");
  ::unlink(out.c_str());
  // Once the first has ended, the next run takes the lock and builds on its result.
  ::unlink(wrapper.c_str());
  ASSERT_EQ(::symlink(VEK_FAKE_TOOLS_DIR "/cbfstool", wrapper.c_str()), 0);
  ASSERT_EQ(run({"-w", "-f", IMAGE, "--board-serial-number=second"}).exit_status, 0);
  EXPECT_EQ(image_record_bytes(IMAGE),
            stored_merge(record_, make_record({{FIELD_SYSTEM_SKU, "first"},
                                               {FIELD_BOARD_SERIAL_NUMBER, "second"}})));
  expect_no_working_files();
}

// What a factory script does, as the manual shows it: stamp copies of a release image, read
// each back as JSON and check it with jq; unprivileged, without flashrom anywhere on PATH.
TEST_F(ImageFile, FactoryScriptStampsASetOfImagesAndChecksEachWithJq) {
  ASSERT_EQ(::symlink(VEK_SMBIOS_UTIL_PATH, "/tmp/board/bin/vek_smbios_util"), 0);
  const std::string script =
      "set -e\n"
      "cd /tmp/board/images\n"
      "for n in 0001 0002 0003; do\n"
      "  cp 'board 7.rom' board-$n.rom\n"
      "  vek_smbios_util -w -f board-$n.rom --system-serial-number=SN-$n \\\n"
      "      --board-serial-number=MB-$n >board-$n.log 2>&1\n"
      "  vek_smbios_util -r -f board-$n.rom --json 2>/dev/null |\n"
      "      jq -e --arg sn SN-$n '.record.fields[\"system-serial-number\"] == $sn'\n"
      "done\n"
      "vek_smbios_util -r -f board-0002.rom --json | jq -j "
      "'.record.fields[\"board-serial-number\"]'"
      "\n";
  const child_result result = run_in_child([&] {
    drop_privileges();
    ::execle("/bin/sh", "sh", "-c", script.c_str(), nullptr,
             std::vector<const char*>{"PATH=/tmp/board/bin:/usr/bin:/bin", nullptr}.data());
    ::_exit(126);
  });
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out, "true\ntrue\ntrue\nMB-0002");
  for (const char* n : {"0001", "0002", "0003"}) {
    const std::string image = std::string(IMAGE_DIR) + "/board-" + n + ".rom";
    EXPECT_EQ(
        image_record_bytes(image),
        stored_merge(record_, make_record({{FIELD_SYSTEM_SERIAL_NUMBER, std::string("SN-") + n},
                                           {FIELD_BOARD_SERIAL_NUMBER, std::string("MB-") + n}})));
  }
}

struct image_fault {
  std::string name;
  std::vector<std::string> arguments;
  std::string fault; // a VEK_FAULT value, or "missing:PROGRAM"
  int exit_status;
};

void PrintTo(const image_fault& fault, std::ostream* out) {
  *out << fault.name;
}

class ImageFileFault : public ImageFile, public testing::WithParamInterface<image_fault> {};

TEST_P(ImageFileFault, LeavesTheImageByteForByteAndNoFileBehind) {
  const image_fault& fault = GetParam();
  std::string injected = fault.fault;
  if (injected.rfind("missing:", 0) == 0) {
    board_.remove_program(injected.substr(8));
    injected.clear();
  }
  std::vector<std::string> arguments = fault.arguments;
  arguments.insert(arguments.end(), {"-f", IMAGE});
  const child_result result = run(arguments, injected);
  EXPECT_EQ(result.exit_status, fault.exit_status) << result.out << result.err;
  EXPECT_EQ(result.out.find("Writing image..."), std::string::npos);
  EXPECT_TRUE(read_file(IMAGE) == before_);
  EXPECT_EQ(mode_of(IMAGE), 0640u);
  expect_no_working_files();
}

const std::vector<std::string> WRITE = {"-w", "--chassis-version=2"};
const std::vector<std::string> UPDATE = {"-u", NEW_IMAGE};
const std::vector<std::string> UPDATE_FIELDS = {"-u", NEW_IMAGE, "--system-sku=9"};

INSTANTIATE_TEST_SUITE_P(
    Steps, ImageFileFault,
    testing::Values(image_fault{"WriteRemoveExit3", WRITE, "cbfstool-remove:exit:3", 3},
                    image_fault{"WriteAddSignal", WRITE, "cbfstool-add:signal", 255},
                    image_fault{"WriteCbfstoolMissing", WRITE, "missing:cbfstool", 127},
                    image_fault{"UpdateCpExit3", UPDATE, "cp:exit:3", 3},
                    image_fault{"UpdateCpSignal", UPDATE, "cp:signal", 255},
                    image_fault{"UpdateFieldsAddExit5", UPDATE_FIELDS, "cbfstool-add:exit:5", 5},
                    image_fault{"UpdateFieldsRemoveSignal", UPDATE_FIELDS, "cbfstool-remove:signal",
                                255}),
    [](const testing::TestParamInfo<image_fault>& param_info) { return param_info.param.name; });

struct bad_image {
  const char* name;
  std::function<void()> arrange;
  std::string err;
};

TEST_F(ImageFile, ImageThatIsNotARegularFileOf16MiBIsRefusedBeforeAnythingIsWritten) {
  const std::string path = std::string(IMAGE_DIR) + "/bad.rom";
  const std::string copy = std::string(IMAGE_DIR) + "/copy.bin";
  const std::string log = std::string(IMAGE_DIR) + "/run.log";
  const std::string refused = "Image file " + path + " is not a regular file of 16777216 bytes\n";
  const bad_image cases[] = {
      {"one byte short", [&] { write_file(path, std::string(FLASH_IMAGE_SIZE - 1, 'x')); },
       refused},
      {"one byte long", [&] { write_file(path, std::string(FLASH_IMAGE_SIZE + 1, 'x')); }, refused},
      {"folder", [&] { ::mkdir(path.c_str(), 0755); }, refused},
      {"fifo", [&] { ::mkfifo(path.c_str(), 0666); }, refused},
      {"missing", [] {}, "Unable to open image file " + path + ": No such file or directory\n"},
  };
  for (const bad_image& c : cases) {
    for (const char* mode : {"-r", "-w"}) {
      std::system(("rm -rf '" + path + "'").c_str());
      c.arrange();
      const child_result result = run({mode, "-f", path, "-b", copy, "-l", log});
      EXPECT_EQ(result.exit_status, 255) << c.name << " " << mode;
      EXPECT_EQ(result.err, c.err) << c.name << " " << mode;
      EXPECT_EQ(result.out, "") << c.name << " " << mode;
      EXPECT_FALSE(file_exists(copy)) << c.name << " " << mode;
      EXPECT_FALSE(file_exists(log)) << c.name << " " << mode;
    }
  }
  EXPECT_EQ(read_file(IMAGE), before_);
  EXPECT_TRUE(board_.calls().empty());
}

} // namespace
