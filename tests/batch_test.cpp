// A factory's runs of the built vek_smbios_util: a batch of images stamped from one table, the
// check of an image against the values it should hold, and the values alone for a script.
#include "tests/build_paths.h"
#include "tests/image_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

const std::string MASTER = "/tmp/board/master.rom";
const std::string TABLE = "/tmp/board/table.csv";
const std::string OUT = "/tmp/board/out";
const std::string SINGLE = "/tmp/board/single.rom";
const std::string MANIFEST = "manifest.jsonl";
const std::string TOOL_PID = "/tmp/board/tool.pid";

// The SHA-256 of the file at `path` in hexadecimal, as sha256sum prints it.
std::string sha256_hex(const std::string& path) {
  std::string digest(64, '\0');
  std::FILE* sum = ::popen(("sha256sum " + path).c_str(), "r");
  EXPECT_TRUE(sum != nullptr && std::fread(digest.data(), 1, digest.size(), sum) == digest.size());
  if (sum != nullptr) {
    ::pclose(sum);
  }
  return digest;
}

class Batch : public testing::Test {
protected:
  void SetUp() override {
    master_ = make_record({{FIELD_SYSTEM_MANUFACTURER, "Vendor"}, {FIELD_BOARD_VERSION, "rev A"}});
    make_batch_board(board_, master_, MASTER, OUT);
    write_file("/tmp/board/board.conf", "system-sku=from file\nboard-version=rev B\n");
  }

  // The names in the output folder, sorted.
  static std::vector<std::string> made() {
    return folder_entries(OUT);
  }

  // What a single -o run with `values` makes of the master.
  std::string single_run(const std::vector<std::string>& values) {
    ::unlink(SINGLE.c_str());
    std::vector<std::string> arguments = {"-w", "-f", MASTER, "-o", SINGLE};
    arguments.insert(arguments.end(), values.begin(), values.end());
    const child_result result = board_.run(arguments);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    return read_file(SINGLE);
  }

  emulated_board board_;
  dmi_record master_;
};

// Every image is what a single -o run with the same values makes: the row's values over the
// options', over the file's, over the master's. The first two go through cbfstool; the others
// are the first with their own record, which only shows in the calls.
TEST_F(Batch, StampsAnImagePerRowAsSingleRunsWould) {
  write_file(TABLE, "\xEF\xBB\xBFoutput,system-serial-number,system-uuid,chassis-asset-tag\r\n"
                    "a.rom,SN-1,00112233-4455-6677-8899-AABBCCDDEE01,\"Rack 1, slot \"\"A\"\"\"\r\n"
                    "b.rom,SN-2,00112233-4455-6677-8899-aabbccddee02,Rack 2\r\n"
                    "c.rom,SN-3,00112233-4455-6677-8899-aabbccddee03,Rack 3\r\n"
                    "d.rom,SN-4,00112233-4455-6677-8899-aabbccddee04,Rack 4\r\n");
  ::unlink("/tmp/board/calls");
  const child_result result =
      board_.run({"-w", "-f", MASTER, "--batch", TABLE, "-o", OUT, "-c", "/tmp/board/board.conf",
                  "--board-version=rev C", "--system-sku=SKU-9"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_TRUE(result.out.ends_with("Batch table " + TABLE + ": 4 images made, 0 failed\n"))
      << result.out;
  EXPECT_EQ(made(), (std::vector<std::string>{"a.rom", "b.rom", "c.rom", "d.rom", MANIFEST}));
  EXPECT_EQ(board_.calls().size(), 4u) << "cbfstool for the first two images alone";
  // The manifest: the batch's line, then each image with its SHA-256, that of the file made.
  const std::string manifest = read_file(OUT + "/" + MANIFEST);
  EXPECT_EQ(manifest_fault(manifest), "") << manifest;
  EXPECT_EQ(jq(R"jq("\(.master_sha256) \(.table_sha256)")jq", read_lines(OUT + "/" + MANIFEST)[0]),
            sha256_hex(MASTER) + " " + sha256_hex(TABLE));
  std::string listed;
  for (const char* name : {"a.rom", "b.rom", "c.rom", "d.rom"}) {
    listed += std::string(name) + " " + sha256_hex(OUT + "/" + name) + "\n";
  }
  EXPECT_EQ(jq(R"jq(select(.output) | "\(.output) \(.sha256)\n")jq", manifest), listed);
  const struct {
    const char* name;
    std::vector<std::string> values;
  } rows[] = {
      {"a.rom",
       {"--system-serial-number=SN-1", "--system-uuid=00112233-4455-6677-8899-aabbccddee01",
        "--chassis-asset-tag=Rack 1, slot \"A\""}},
      {"d.rom",
       {"--system-serial-number=SN-4", "--system-uuid=00112233-4455-6677-8899-aabbccddee04",
        "--chassis-asset-tag=Rack 4"}},
  };
  for (const auto& row : rows) {
    std::vector<std::string> values = {"-c", "/tmp/board/board.conf", "--board-version=rev C",
                                       "--system-sku=SKU-9"};
    values.insert(values.end(), row.values.begin(), row.values.end());
    EXPECT_TRUE(single_run(values) == read_file(OUT + "/" + row.name)) << row.name;
  }
}

// When cbfstool changes more than the record (here a stand-in that also counts its runs in the
// image), every image goes through cbfstool and is still what a single run makes.
TEST_F(Batch, ImagesThatDifferBeyondTheRecordAllGoThroughCbfstool) {
  board_.remove_program("cbfstool");
  write_file("/tmp/board/bin/cbfstool",
             "#!/bin/sh\n"
             "PATH=/usr/bin:/bin\n"
             "n=$(cat /tmp/board/adds 2>/dev/null || echo 0)\n"
             "[ \"$2\" != add ] || { n=$((n + 1)); echo $n >/tmp/board/adds; }\n"
             "printf %s \"$n\" | dd of=\"$1\" bs=1 seek=100 conv=notrunc status=none\n"
             "exec " VEK_FAKE_TOOLS_DIR "/cbfstool \"$@\"\n");
  ASSERT_EQ(::chmod("/tmp/board/bin/cbfstool", 0755), 0);
  write_file(TABLE, "output,system-serial-number\na.rom,SN-1\nb.rom,SN-2\nc.rom,SN-3\n");
  ::unlink("/tmp/board/calls");
  const child_result result = board_.run({"-w", "-f", MASTER, "--batch", TABLE, "-o", OUT});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(board_.calls().size(), 6u) << "cbfstool for every image";
  write_file("/tmp/board/adds", "2");
  EXPECT_TRUE(single_run({"--system-serial-number=SN-3"}) == read_file(OUT + "/c.rom"));
}

// Before anything is made, every row is checked, and every problem is listed by its line and
// column: values that break the rules, values two rows share, outputs that exist or name folders,
// a table that is not well formed.
TEST_F(Batch, ATableWithProblemsIsRefusedWhole) {
  write_file(OUT + "/taken.rom", "earlier");
  const struct {
    const char* name;
    std::string table;
    std::vector<std::string> lines; // after "Refusing batch table ..., nothing made:"
  } cases[] = {
      {"values and outputs",
       "output,system-serial-number,system-uuid,chassis-asset-tag\n"
       "a.rom,SN-1,00112233-4455-6677-8899-aabbccddee01,T-1\n"
       "a.rom,,00112233-4455-6677-8899-AABBCCDDEE01,T-1\n"
       "taken.rom,Default String,ffffffff-ffff-ffff-ffff-ffffffffffff,T-3 \n"
       "../up.rom,SN-1,not a uuid,Pr\xc3\xbc"
       "f\n",
       {"line 3, column system-serial-number: is empty", "line 4, column output: exists already",
        "line 4, column system-serial-number: is the placeholder \"Default String\"",
        "line 4, column system-uuid: is the placeholder \"ffffffff-ffff-ffff-ffff-ffffffffffff\"",
        "line 4, column chassis-asset-tag: ends with a blank",
        "line 5, column output: names a folder: give the name of a file in the output folder",
        "line 5, column system-uuid: system-uuid value 'not a uuid' is not a UUID",
        "line 5, column chassis-asset-tag: holds U+00FC at byte 3, outside printable ASCII",
        "line 3, column output: the same value as line 2",
        "line 3, column system-uuid: the same value as line 2",
        "line 3, column chassis-asset-tag: the same value as line 2",
        "line 5, column system-serial-number: the same value as line 2"}},
      {"the table's form",
       "output,system-sku,colour\na.rom,\"S\"x,blue\nb.rom,S\n",
       {"line 1, column 3: 'colour' is neither \"output\" nor a field name (the names taken: "
        "output, system-manufacturer, system-product-name, system-version, system-serial-number, "
        "system-uuid, system-sku, board-manufacturer, board-product-name, board-version, "
        "board-serial-number, chassis-manufacturer, chassis-version, chassis-serial-number, "
        "chassis-asset-tag; letter case aside, with '_' or a blank for '-'); a name beginning "
        "with '#' marks a note column, which is ignored",
        "line 2, column system-sku: text after the closing quote of a cell",
        "line 3: 2 cells where the header has 3"}},
      {"the manifest's name",
       "output,system-sku\nmanifest.jsonl,S\n",
       {"line 2, column output: is the name of the batch's manifest"}},
  };
  for (const auto& c : cases) {
    write_file(TABLE, c.table);
    ::unlink("/tmp/board/calls");
    const child_result result = board_.run({"-w", "-f", MASTER, "--batch", TABLE, "-o", OUT});
    EXPECT_EQ(result.exit_status, 255) << c.name;
    std::string expected = "Refusing batch table " + TABLE + ", nothing made:\n";
    for (const std::string& line : c.lines) {
      expected += line + "\n";
    }
    EXPECT_EQ(result.err, expected) << c.name;
    EXPECT_TRUE(board_.calls().empty()) << c.name;
    EXPECT_EQ(made(), std::vector<std::string>{"taken.rom"}) << c.name;
  }
  // A dry run checks a good table and makes nothing.
  write_file(TABLE, "output,system-serial-number\nnew.rom,SN-1\n");
  const child_result dry = board_.run({"-n", "-w", "-f", MASTER, "--batch", TABLE, "-o", OUT});
  EXPECT_EQ(dry.exit_status, 0) << dry.err;
  EXPECT_EQ(dry.out, "Batch table " + TABLE + " checked: 1 rows, nothing made\n");
  EXPECT_EQ(made(), std::vector<std::string>{"taken.rom"});
  // A placeholder the master holds in a field the table and the options leave unset would be
  // stamped into every image: refused once, naming where it comes from.
  const std::string oem = "/tmp/board/oem.rom";
  const dmi_record placeholder = make_record({{FIELD_SYSTEM_SKU, "To be filled by O.E.M."}});
  make_coreboot_image(oem, &placeholder, 'O');
  const child_result carried = board_.run({"-w", "-f", oem, "--batch", TABLE, "-o", OUT});
  EXPECT_EQ(carried.exit_status, 255);
  EXPECT_EQ(carried.err, "Refusing batch table " + TABLE +
                             ", nothing made:\nline 1, column system-sku: is the placeholder "
                             "\"To be filled by O.E.M.\", carried over from the master image: set "
                             "it in a column or an option\n");
  EXPECT_EQ(board_.run({"-w", "-f", oem, "--batch", TABLE, "-o", OUT, "-n", "--system-sku=S-1"})
                .exit_status,
            0);
  // The manifest is opened as carefully as any output: never through a link, never another file.
  write_file("/tmp/board/elsewhere", "");
  using link_maker = int (*)(const char*, const char*);
  const std::pair<link_maker, const char*> links[] = {{::symlink, "it is a symbolic link"},
                                                      {::link, "it has more than one link"}};
  for (const auto& [make, refusal] : links) {
    ASSERT_EQ(make("/tmp/board/elsewhere", (OUT + "/" + MANIFEST).c_str()), 0);
    const child_result refused = board_.run({"-w", "-f", MASTER, "--batch", TABLE, "-o", OUT});
    EXPECT_EQ(refused.exit_status, 255);
    EXPECT_TRUE(refused.err.ends_with(std::string(refusal) + "\n")) << refused.err;
    EXPECT_EQ(read_file("/tmp/board/elsewhere"), "");
    ::unlink((OUT + "/" + MANIFEST).c_str());
  }
  EXPECT_EQ(made(), std::vector<std::string>{"taken.rom"});
}

// A row that fails while its image is made is said with its line; the others are made; the run
// ends with 255; the JSON document lists each image, made or failed.
TEST_F(Batch, ARowThatFailsIsSaidAndTheOthersGoOn) {
  write_file(TABLE, "output,system-serial-number\na.rom,SN-1\nb.rom,SN-2\nc.rom,SN-3\n");
  // b.rom's name is taken by a folder once the table is checked, while the first image is made.
  held_step hold(board_, "cbfstool-remove");
  background_child taker([&hold] {
    for (int step = 0; step < 2 && hold.started(); ++step) {
      if (step == 0) {
        ::mkdir((OUT + "/b.rom").c_str(), 0755);
        write_file(OUT + "/b.rom/x", "");
      }
      hold.release();
    }
  });
  const child_result result =
      board_.run({"--json", "-w", "-f", MASTER, "--batch", TABLE, "-o", OUT});
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_NE(result.err.find("line 3, b.rom: Unable to open output file " + OUT + "/b.rom: file " +
                            OUT + "/b.rom is not a regular file\n"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(jq("[.made, .failed, (.images | map(.status))] | @json", result.out),
            "[2,1,[0,255,0]]");
  EXPECT_EQ(jq(".images[1].kind", result.out), "file");
  EXPECT_TRUE(file_exists(OUT + "/a.rom") && file_exists(OUT + "/c.rom"));
}

// A batch cut short (here by SIGTERM while its second image is stamped) and run again, with rows
// added and the manifest's last line cut short as a power cut would leave it, makes only what is
// missing: every image ends as its row makes it, the manifest lists each once, and an image that
// is not its row's is refused as any file in the way.
TEST_F(Batch, ABatchCutShortAndRunAgainMakesOnlyWhatIsMissing) {
  const std::string header = "output,system-serial-number\n";
  write_file(TABLE, header + "a.rom,SN-1\nb.rom,SN-2\nc.rom,SN-3\n");
  {
    const held_step add(board_, "cbfstool-add");
    // Stopped while the second image is made: the batch abandons it once its step is over.
    background_child killer([&add] {
      if (add.started() && add.release() && add.started()) {
        ::kill(std::stoi(read_file(TOOL_PID)), SIGTERM);
        add.release();
      }
    });
    const child_result cut = board_.run({"-w", "-f", MASTER, "--batch", TABLE, "-o", OUT}, "",
                                        [] { write_file(TOOL_PID, std::to_string(::getpid())); });
    EXPECT_EQ(cut.exit_status, -1) << cut.err;
  }
  ASSERT_EQ(made(), (std::vector<std::string>{"a.rom", MANIFEST}));
  const std::string manifest = read_file(OUT + "/" + MANIFEST);
  write_file(OUT + "/" + MANIFEST, manifest.substr(0, manifest.size() - 20));
  write_file(TABLE, header + "a.rom,SN-1\nb.rom,SN-2\nc.rom,SN-3\nd.rom,SN-4\n");
  const child_result again =
      board_.run({"-q", "--json", "-w", "-f", MASTER, "--batch", TABLE, "-o", OUT});
  EXPECT_EQ(again.exit_status, 0) << again.err;
  EXPECT_EQ(again.err, "Manifest " + OUT + "/" + MANIFEST +
                           " ended in a line cut short; that line is taken off\n");
  EXPECT_EQ(jq(R"jq("\(.made) \(.already_there) \(.images[0].already_there)")jq", again.out),
            "3 1 true");
  const child_result check = board_.run({"--expect", "--batch", TABLE, "-f", MASTER, "-o", OUT});
  EXPECT_EQ(check.exit_status, 0) << check.err;
  EXPECT_TRUE(check.out.ends_with("4 images match, 0 differ, 0 missing\n")) << check.out;
  const std::string listed = read_file(OUT + "/" + MANIFEST);
  EXPECT_EQ(manifest_fault(listed), "") << listed;
  EXPECT_EQ(jq(R"jq(select(.output) | .output)jq", listed), "a.romb.romc.romd.rom");
  EXPECT_TRUE(single_run({"--system-serial-number=SN-4"}) == read_file(OUT + "/d.rom"));

  write_file(TABLE, header + "a.rom,SN-1\nb.rom,SN-22\ne.rom,SN-5\n");
  const child_result changed = board_.run({"-w", "-f", MASTER, "--batch", TABLE, "-o", OUT});
  EXPECT_EQ(changed.exit_status, 255);
  EXPECT_EQ(changed.err, "Refusing batch table " + TABLE +
                             ", nothing made:\nline 3, column output: exists already, and is "
                             "not the image this row makes\n");
  EXPECT_FALSE(file_exists(OUT + "/e.rom"));
}

// How the made images reach the disk, as the system sees the calls on the output folder: about
// once a second, and before the batch ends, each image made meanwhile is flushed, then renamed
// from its working copy to its name and given its line in the manifest; then the folder and the
// manifest are flushed. Every name and line on disk is that of a whole image, after a power cut
// too. Three rows take one such group, or two on a slow machine.
TEST_F(Batch, ImagesReachTheDiskBeforeTheirNamesAndLinesAndBeforeTheBatchEnds) {
  write_file(TABLE, "output,system-serial-number\na.rom,SN-1\nb.rom,SN-2\nc.rom,SN-3\n");
  const char* const trace = "/tmp/board/trace";
  child_result traced;
  const std::string why_not =
      run_traced(trace, "write,fsync,rename,renameat,renameat2",
                 {"-q", "-w", "-f", MASTER, "--batch", TABLE, "-o", OUT}, traced);
  if (!why_not.empty()) {
    GTEST_SKIP() << why_not;
  }
  ASSERT_EQ(traced.exit_status, 0) << traced.err;
  std::vector<traced_call> calls;
  for (traced_call& call : traced_calls(trace, OUT)) {
    if (call.call == "fsync" || call.call.starts_with("rename") ||
        (call.call == "write" && call.file == MANIFEST)) {
      calls.push_back(std::move(call));
    }
  }
  const auto is = [&calls](std::size_t at, const std::string& call, const std::string& file) {
    return at < calls.size() && calls[at].call.starts_with(call) && calls[at].file == file;
  };
  // A working copy flushed, renamed to its name, and given its line.
  const auto placed_at = [&](std::size_t at) {
    return at + 2 < calls.size() && calls[at].call == "fsync" && !calls[at].file.empty() &&
           calls[at].file != MANIFEST && calls[at + 1].call.starts_with("rename") &&
           calls[at + 1].name == calls[at].file && is(at + 2, "write", MANIFEST);
  };
  ASSERT_TRUE(is(0, "fsync", "")) << read_file(trace); // the manifest made
  std::vector<std::string> named;
  for (std::size_t at = 1; at < calls.size(); at += 2) {
    ASSERT_TRUE(placed_at(at)) << read_file(trace);
    for (; placed_at(at); at += 3) {
      named.push_back(calls[at + 1].new_name);
    }
    ASSERT_TRUE(is(at, "fsync", "") && is(at + 1, "fsync", MANIFEST)) << read_file(trace);
  }
  EXPECT_EQ(named, (std::vector<std::string>{"a.rom", "b.rom", "c.rom"}));
}

// --expect --batch checks a whole folder in one run: each image byte for byte against the one its
// row makes from the master, and the manifest's SHA-256 against that image's. Each image that
// differs is said in a line, with what differs; 1 when any does or is missing.
TEST_F(Batch, ExpectChecksAWholeFolderInOneRun) {
  write_file(TABLE, "output,system-serial-number\na.rom,SN-1\nb.rom,SN-2\nc.rom,SN-3\n"
                    "d.rom,SN-4\ne.rom,SN-5\n");
  ASSERT_EQ(board_.run({"-q", "-w", "-f", MASTER, "--batch", TABLE, "-o", OUT}).exit_status, 0);
  const auto change = [](const std::string& name, off_t offset, const std::string& bytes) {
    const int file = ::open((OUT + "/" + name).c_str(), O_WRONLY);
    EXPECT_EQ(::pwrite(file, bytes.data(), bytes.size(), offset), ssize_t(bytes.size()));
    ::close(file);
  };
  change("b.rom", 0x100000, "\x01");
  change("d.rom", DMI_RECORD_OFFSET + 0x29, "X");
  ::unlink((OUT + "/c.rom").c_str());
  // e.rom's line is taken out of the manifest.
  std::string manifest;
  for (const std::string& line : read_lines(OUT + "/" + MANIFEST)) {
    manifest += line.find("\"e.rom\"") == std::string::npos ? line + "\n" : "";
  }
  write_file(OUT + "/" + MANIFEST, manifest);
  const child_result check =
      board_.run({"-q", "--json", "--expect", "--batch", TABLE, "-f", MASTER, "-o", OUT});
  EXPECT_EQ(check.exit_status, 1);
  EXPECT_EQ(check.err, "line 3, b.rom: other bytes differ, the first at offset 0x00100000\n"
                       "line 4, c.rom: missing\n"
                       "line 5, d.rom: system-serial-number: found 'XN-4', expected 'SN-4'\n"
                       "line 6, e.rom: not in the manifest\n");
  EXPECT_EQ(jq(R"jq([.images[] | .verdict] | join(" "))jq", check.out),
            "matches differs missing differs differs");
  EXPECT_EQ(jq(R"jq(.images[1].first_other_offset, .images[3].mismatches[0].found)jq", check.out),
            "1048576XN-4");
}

// --row writes the one row of the table whose field holds the value given to the chip, its
// values over the options', after the whole table is checked; a value no row holds, or several
// do, ends the run before the chip is read. With --expect, the chip is checked against the row.
TEST_F(Batch, RowWritesOneBoardOfTheTableToTheChip) {
  const emulated_board chip_board; // with flashrom, for the chip
  chip_board.make_chip(&master_);
  write_file(TABLE, "output,system-serial-number,system-uuid,system-sku\n"
                    "a.rom,SN-1,00112233-4455-6677-8899-aabbccddee01,S\n"
                    "b.rom,SN-2,00112233-4455-6677-8899-aabbccddee02,S\n");
  const child_result written = chip_board.run({"-w", "--batch", TABLE, "--row",
                                               "system-uuid=00112233-4455-6677-8899-AABBCCDDEE02",
                                               "--system-sku=over", "--board-version=rev C"});
  ASSERT_EQ(written.exit_status, 0) << written.err;
  EXPECT_EQ(image_record_bytes(emulated_board::CHIP), stored_merge(master_, [] {
              dmi_record values = make_record({{FIELD_SYSTEM_SERIAL_NUMBER, "SN-2"},
                                               {FIELD_SYSTEM_SKU, "S"},
                                               {FIELD_BOARD_VERSION, "rev C"}});
              dmi_record_parse_uuid(values, "00112233-4455-6677-8899-aabbccddee02");
              return values;
            }()));
  const struct {
    std::vector<std::string> arguments;
    int exit_status;
    std::string err;
  } cases[] = {
      {{"--expect", "--row", "system-serial-number=SN-2"}, 0, ""},
      {{"--expect", "--row", "system-serial-number=SN-1"},
       1,
       "system-serial-number: found 'SN-2', expected 'SN-1'\n"
       "system-uuid: found '00112233-4455-6677-8899-aabbccddee02', expected "
       "'00112233-4455-6677-8899-aabbccddee01'\n"},
      {{"-w", "--row", "system-serial-number=SN-3"},
       255,
       "No row of batch table " + TABLE +
           " has system-serial-number 'SN-3'; nothing is read or written\n"},
      {{"-w", "--row", "system-sku=S"},
       255,
       "Lines 2, 3 of batch table " + TABLE +
           " all have system-sku 'S': --row picks one row; nothing is read or written\n"},
  };
  for (const auto& c : cases) {
    ::unlink("/tmp/board/calls");
    std::vector<std::string> arguments = {"--batch", TABLE};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const child_result result = chip_board.run(arguments);
    EXPECT_EQ(result.exit_status, c.exit_status) << c.arguments.back();
    EXPECT_EQ(result.err, c.err) << c.arguments.back();
    EXPECT_EQ(chip_board.calls().empty(), c.exit_status == 255) << c.arguments.back();
  }
}

// --expect: 0 when the record holds every value given, 1 naming each field that differs with
// what was found and what was expected, UUIDs compared as UUIDs; with -c, the file's values too.
TEST_F(Batch, ExpectChecksAnImageAgainstTheValuesItShouldHold) {
  dmi_record stamped = master_;
  ASSERT_EQ(dmi_record_set_text(stamped, FIELD_SYSTEM_SERIAL_NUMBER, "SN-1"), 0);
  ASSERT_EQ(dmi_record_parse_uuid(stamped, "00112233-4455-6677-8899-aabbccddeeff"), 0);
  make_coreboot_image(SINGLE, &stamped, 'S');
  const struct {
    const char* name;
    std::vector<std::string> values;
    int exit_status;
    const char* err;
  } cases[] = {
      {"match", {"--system-serial-number=SN-1", "--board-version=rev A"}, 0, ""},
      {"UUID in capitals", {"--system-uuid=00112233-4455-6677-8899-AABBCCDDEEFF"}, 0, ""},
      {"two fields differ",
       {"--system-serial-number=SN-2", "-c", "/tmp/board/board.conf"},
       1,
       "system-serial-number: found 'SN-1', expected 'SN-2'\n"
       "system-sku: found '', expected 'from file'\n"
       "board-version: found 'rev A', expected 'rev B'\n"},
      {"no values", {}, 255, "--expect needs values to check: give them as options or with -c\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = {"-r", "--expect", "-f", SINGLE};
    arguments.insert(arguments.end(), c.values.begin(), c.values.end());
    const child_result result = board_.run(arguments);
    EXPECT_EQ(result.exit_status, c.exit_status) << c.name;
    EXPECT_EQ(result.err, c.err) << c.name;
    EXPECT_EQ(result.out, "Reading image...\n") << c.name;
  }
  const child_result json =
      board_.run({"--json", "-r", "--expect", "-f", SINGLE, "--system-serial-number=SN-1"});
  EXPECT_EQ(json.exit_status, 0);
  EXPECT_EQ(jq(".matches", json.out), "true");
}

// -g prints the values of the fields named, as stored, one a line and nothing else; -q prints
// nothing but the result, and an outside program's output only when it fails.
TEST_F(Batch, ValuesAloneAndQuietRunsForScripts) {
  dmi_record stamped = master_;
  ASSERT_EQ(dmi_record_set_text(stamped, FIELD_SYSTEM_SERIAL_NUMBER, "SN \"1\""), 0);
  make_coreboot_image(SINGLE, &stamped, 'S');
  const child_result values = board_.run({"-r", "-f", SINGLE, "-g", "system-serial-number", "-g",
                                          "system-uuid", "--get=board-version"});
  EXPECT_EQ(values.exit_status, 0) << values.err;
  EXPECT_EQ(values.out, "SN \"1\"\n00000000-0000-0000-0000-000000000000\nrev A\n");
  const child_result quiet = board_.run({"-q", "-w", "-f", SINGLE, "--system-sku=Q"});
  EXPECT_EQ(quiet.exit_status, 0) << quiet.err;
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "");
  const child_result failing =
      board_.run({"-q", "-w", "-f", SINGLE, "--system-sku=R"}, "cbfstool-add:exit:3");
  EXPECT_EQ(failing.exit_status, 3);
  EXPECT_EQ(failing.out, "");
  EXPECT_EQ(board_.run({"-r", "-q", "-f", SINGLE, "-g", "system-sku"}).out, "Q\n");
}

} // namespace
