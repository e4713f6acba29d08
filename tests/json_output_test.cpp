// --json runs of the built vek_smbios_util: standard output holds one document, read back with
// jq (and with Python's strict reader) and compared field by field; everything else goes to
// standard error.
#include "system/flash_files.h"
#include "tests/image_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <uuid/uuid.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>

namespace {

const std::string IMAGE = std::string(IMAGE_DIR) + "/a.rom";
const std::string NEW_IMAGE = "/tmp/board/new.rom";

std::string hex_of(const std::string& bytes) {
  std::string hex;
  for (const char c : bytes) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(c));
    hex += digits;
  }
  return hex;
}

std::string uuid_of(const dmi_record& record) {
  char text[37];
  uuid_unparse(dmi_record_uuid(record), text);
  return text;
}

// Expects the document's record at `path` (".record" or ".previous") to be `record`: its
// marker, every field by name, and its bytes, read in one jq run.
void expect_record(const std::string& document, const std::string& path, const dmi_record& record) {
  std::string filter =
      "[(" + path + ".marker | tostring), (" + path + ".fields | keys_unsorted | join(\",\"))";
  std::vector<std::string> expected = {
      std::to_string(dmi_record_marker(record)),
      "system-manufacturer,system-product-name,system-version,system-serial-number,"
      "system-uuid,system-sku,board-manufacturer,board-product-name,board-version,"
      "board-serial-number,chassis-manufacturer,chassis-version,chassis-serial-number,"
      "chassis-asset-tag"};
  for (int id = 0; id < FIELD_COUNT; ++id) {
    const auto field = static_cast<field_id>(id);
    filter += ", " + path + ".fields[\"" + field_name(field) + "\"]";
    expected.push_back(field == FIELD_SYSTEM_UUID ? uuid_of(record)
                                                  : std::string(dmi_record_text(record, field)));
  }
  filter += ", " + path + ".bytes] | join(\"\\n\")";
  expected.push_back(hex_of(record_bytes(record)));
  std::vector<std::string> found;
  std::string values = jq(filter, document) + "\n";
  for (std::size_t start = 0, end; (end = values.find('\n', start)) != std::string::npos;
       start = end + 1) {
    found.push_back(values.substr(start, end - start));
  }
  EXPECT_EQ(found, expected) << path;
}

class JsonOutput : public testing::Test {
protected:
  void SetUp() override {
    record_ = make_record({{FIELD_SYSTEM_MANUFACTURER, "Old Vendor"},
                           {FIELD_SYSTEM_SKU, "dead"},
                           {FIELD_SYSTEM_SKU, "SKU-1"}});
    EXPECT_EQ(dmi_record_parse_uuid(record_, "3f2504e0-4f89-11d3-9a0c-0305e82c3301"), 0);
    board_.make_chip(&record_);
    make_image_folder();
    // These runs are root's, so the folder is too: root takes no image from another user's folder.
    ASSERT_EQ(::chown(IMAGE_DIR, ::geteuid(), ::getegid()), 0);
    make_coreboot_image(IMAGE, &record_, 'I');
  }

  emulated_board board_;
  dmi_record record_;
};

TEST_F(JsonOutput, ReadOnTheChipPrintsTheDocumentAloneWhileFlashromTalks) {
  const child_result result = board_.run({"-r", "--json"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  ASSERT_TRUE(strict_json(result.out)) << result.out;
  EXPECT_EQ(result.out.find('\n'), result.out.size() - 1) << "one line, nothing else";
  EXPECT_EQ(jq("[.mode, .dry_run, .source] | @json", result.out), "[\"read\",false,\"flash\"]");
  EXPECT_EQ(jq("has(\"previous\"), has(\"changed\")", result.out), "falsefalse");
  expect_record(result.out, ".record", record_);
  // What would have been on standard output is on standard error, in its order.
  const std::size_t flashrom = result.err.find("Reading flash... done.");
  const std::size_t report = result.err.find("Type 1 Fields:\n system-manufacturer:\t'Old Vendor'");
  EXPECT_NE(flashrom, std::string::npos) << result.err;
  EXPECT_NE(report, std::string::npos) << result.err;
  EXPECT_LT(flashrom, report);
}

TEST_F(JsonOutput, WriteOnAnImageGivesTheStoredAndThePreviousRecordAndTheChanges) {
  const child_result result =
      board_.run({"-w", "-f", IMAGE, "--json", "--system-sku=SKU-2",
                  "--system-uuid=00112233-4455-6677-8899-aabbccddeeff", "--board-version="});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  ASSERT_TRUE(strict_json(result.out)) << result.out;
  EXPECT_EQ(jq("[.mode, .dry_run, .source] | @json", result.out),
            "[\"write\",false,\"" + IMAGE + "\"]");
  dmi_record given = make_record({{FIELD_SYSTEM_SKU, "SKU-2"}, {FIELD_BOARD_VERSION, ""}});
  ASSERT_EQ(dmi_record_parse_uuid(given, "00112233-4455-6677-8899-aabbccddeeff"), 0);
  dmi_record stored;
  ASSERT_EQ(merge_records(stored, record_, given), 0);
  dmi_record_set_marker(stored, DMI_MARKER_STORED);
  expect_record(result.out, ".record", stored);
  expect_record(result.out, ".previous", record_);
  // An empty text where none was set is no change.
  EXPECT_EQ(jq(".changed | @json", result.out), "[\"system-uuid\",\"system-sku\"]");
  EXPECT_EQ(image_record_bytes(IMAGE), record_bytes(stored));
  EXPECT_NE(result.err.find("Writing image...\n"), std::string::npos);
}

TEST_F(JsonOutput, WriteWithNoValuesChangesNoFieldButTheRecordsBytes) {
  const child_result result = board_.run({"-w", "-f", IMAGE, "--json"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  ASSERT_TRUE(strict_json(result.out)) << result.out;
  EXPECT_EQ(jq("[.format, .tool_version, .changed, .record_changed] | @json", result.out),
            "[1,\"" VEK_SMBIOS_UTIL_VERSION "\",[],true]");
  EXPECT_EQ(result.out.find("{\"format\":1,\"tool_version\":"), 0u) << "at the top";
  EXPECT_EQ(jq(".record.marker", result.out), "32769"); // the marker of a stored record
}

TEST_F(JsonOutput, DryRunsNameTheirModeAndTheRecordTheyWouldStore) {
  const dmi_record factory = make_record({{FIELD_SYSTEM_SKU, "factory"}});
  make_coreboot_image(NEW_IMAGE, &factory, 'N');
  const std::string chip = read_file(emulated_board::CHIP);
  const struct {
    std::vector<std::string> arguments;
    const char* mode;
  } runs[] = {
      {{"-u", NEW_IMAGE, "-n", "--json"}, "update"},
      {{"-u", NEW_IMAGE, "-n", "--json", "--chassis-version=7"}, "update-fields"},
  };
  for (const auto& run : runs) {
    const child_result result = board_.run(run.arguments);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    ASSERT_TRUE(strict_json(result.out)) << result.out;
    EXPECT_EQ(jq("[.mode, .dry_run, .source] | @json", result.out),
              std::string("[\"") + run.mode + "\",true,\"flash\"]");
    EXPECT_EQ(read_file(emulated_board::CHIP), chip);
    if (run.arguments.size() == 4) {
      expect_record(result.out, ".record", record_); // carried byte for byte
      EXPECT_EQ(jq(".changed | length", result.out), "0");
      EXPECT_NE(result.err.find("The record would be carried over unchanged\n"), std::string::npos);
    } else {
      EXPECT_EQ(jq(".changed | @json", result.out), "[\"chassis-version\"]");
      EXPECT_EQ(jq(".record.marker", result.out), "32769");
      EXPECT_NE(result.err.find("chassis-version: '' -> '7'\n"), std::string::npos);
    }
  }
}

TEST_F(JsonOutput, ControlBytesComeBackAsTheyWereStoredAndBytesThatAreNotUtf8AreNamed) {
  const dmi_record odd = make_record({
      {FIELD_SYSTEM_MANUFACTURER, "tab\there\nnewline \x1b[31mred\x7f"},
      {FIELD_SYSTEM_PRODUCT_NAME, "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {FIELD_SYSTEM_VERSION, "bad \xff\xfe \xc0\xaf \xed\xa0\x80 \xe2\x82"},
      {FIELD_SYSTEM_SERIAL_NUMBER, "quote \" backslash \\ slash /"},
  });
  make_coreboot_image(IMAGE, &odd, 'I');
  const child_result result = board_.run({"--json", "-r", "-f", IMAGE});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  ASSERT_TRUE(strict_json(result.out)) << result.out;
  EXPECT_NE(result.out.find("\"tab\\u0009here\\u000anewline \\u001b[31mred\\u007f\""),
            std::string::npos)
      << result.out;
  const std::string fields = ".record.fields";
  EXPECT_EQ(jq(fields + "[\"system-manufacturer\"]", result.out),
            "tab\there\nnewline \x1b[31mred\x7f");
  EXPECT_EQ(jq(fields + "[\"system-product-name\"]", result.out),
            "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
  // A field whose bytes are not well-formed UTF-8 is null and named; its bytes are in "bytes".
  EXPECT_EQ(jq(fields + "[\"system-version\"] | @json", result.out), "null");
  EXPECT_EQ(jq(".record.not_utf8 | @json", result.out), "[\"system-version\"]");
  EXPECT_EQ(jq(fields + "[\"system-serial-number\"]", result.out), "quote \" backslash \\ slash /");
  EXPECT_EQ(jq(".record.bytes", result.out), hex_of(record_bytes(odd)));
}

// A failed run prints a document too, of the schema the tool installs (every document a test
// run prints is checked against it): its exit status, its kind, the message as on standard
// error, and the field, program or path it concerns; a failed write says how it left the flash.
TEST_F(JsonOutput, FailedRunsPrintADocumentOfTheirFailure) {
  write_file("/tmp/board/board.conf", "system-serial-number=To Be Filled By O.E.M.\n");
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    std::string fault;
    int exit_status;
    const char* document; // jq's @json of the failure's members
  } failures[] = {
      {"bad option",
       {"-r", "-x", "--json"},
       "",
       255,
       R"({"status":255,"kind":"usage","message":"vek_smbios_util: invalid option -- 'x'","option":"-x"})"},
      {"unknown long option, as given",
       {"--json", "-r", "--system-serial=1", "--no-such=2"},
       "",
       255,
       R"({"status":255,"kind":"usage","message":"vek_smbios_util: unrecognized option '--no-such=2'","option":"--no-such"})"},
      {"no mode",
       {"--json", "--system-sku=x"},
       "",
       255,
       R"({"status":255,"kind":"usage","message":"Unknown Operation, Aborting..."})"},
      {"refused value",
       {"--json", "-w", "--system-uuid=nope"},
       "",
       255,
       R"({"status":255,"kind":"refused-value","message":"system-uuid value 'nope' is not a UUID","field":"system-uuid"})"},
      {"placeholder with --strict",
       {"--json", "-w", "--strict", "-c", "/tmp/board/board.conf"},
       "",
       255,
       R"({"status":255,"kind":"refused-value","message":"Value of system-serial-number in /tmp/board/board.conf is the placeholder \"To Be Filled By O.E.M.\"","field":"system-serial-number","path":"/tmp/board/board.conf"})"},
      {"missing image",
       {"--json", "-w", "-f", "/tmp/board/none.rom"},
       "",
       255,
       R"({"status":255,"kind":"file","message":"Unable to open image file /tmp/board/none.rom: No such file or directory","path":"/tmp/board/none.rom"})"},
      {"image whose name is not UTF-8",
       {"--json", "-r", "-f",
        "/tmp/board/Pr\xfc"
        "fplatz.rom"},
       "",
       255,
       "{\"status\":255,\"kind\":\"file\",\"message\":\"Unable to open image file "
       "/tmp/board/Pr\xef\xbf\xbd" // U+FFFD, as jq writes it
       "fplatz.rom: No such file or directory\",\"path\":null,\"not_utf8\":[\"source\",\"path\"]}"},
      {"log in a missing folder",
       {"--json", "-r", "-l", "/tmp/board/no/run.log"},
       "",
       255,
       R"({"status":255,"kind":"file","message":"Unable to open log file /tmp/board/no/run.log: No such file or directory","path":"/tmp/board/no/run.log"})"},
      {"mismatch",
       {"--json", "-r", "--expect", "--system-sku=SKU-1", "--board-version=2"},
       "",
       1,
       R"({"status":1,"kind":"mismatch","message":"board-version: found '', expected '2'","field":"board-version","mismatches":[{"field":"board-version","found":"","expected":"2"}]})"},
      {"failing cbfstool",
       {"--json", "-w", "--system-sku=x"},
       "cbfstool-add:exit:3",
       3,
       R"({"status":3,"kind":"outside-program","message":"","program":"cbfstool","program_status":3})"},
      {"failing read, --expect",
       {"--json", "-r", "--expect", "--system-sku=SKU-1"},
       "flashrom-read:exit:1",
       255,
       R"({"status":255,"kind":"outside-program","message":"flashrom ended with status 1","program":"flashrom","program_status":1})"},
      {"failed write, put back",
       {"--json", "-w", "--system-sku=x"},
       "flashrom-write:partial-exit:4",
       4,
       R"({"status":4,"kind":"outside-program","message":"The coreboot region of the flash was restored to its content before the run","program":"flashrom","flash":"restored"})"},
      {"failed write, kept",
       {"--json", "-w", "--system-sku=x"},
       "flashrom-write:partial-exit:4 flashrom-restore:exit:5",
       4,
       R"({"status":4,"kind":"outside-program","message":"The coreboot region of the flash may be partly written; its content before the write is kept in /var/lib/vek_smbios_util/region_before.bin; run vek_smbios_util --restore to put it back","program":"flashrom","flash":"needs-restore"})"},
      {"journal of that write",
       {"--json", "-w", "--system-sku=y"},
       "",
       255,
       R"({"status":255,"kind":"journal","message":"Refusing to write the flash: its coreboot region matches neither its content before an earlier write nor the content meant for it; its content before the write is kept in /var/lib/vek_smbios_util/region_before.bin; run vek_smbios_util --restore to put it back","path":"/var/lib/vek_smbios_util"})"},
  };
  board_.make_chip(&record_);
  for (const auto& failure : failures) {
    const child_result result = board_.run(failure.arguments, failure.fault);
    EXPECT_EQ(result.exit_status, failure.exit_status) << failure.name;
    // The failure's members, its message, and how many of its texts are not UTF-8, a line each.
    const std::string found =
        jq(R"jq((del(.format, .tool_version, .mode, .dry_run, .source) | @json) + "\n" +)jq"
           R"jq((.message // "") + "\n" + (.not_utf8 // [] | length | tostring))jq",
           result.out);
    const std::size_t first_end = found.find('\n');
    const std::size_t second_end = found.rfind('\n');
    EXPECT_EQ(found.substr(0, first_end), failure.document) << failure.name;
    // The message has no line end of its own; standard error says it whole, ended.
    const std::string message = found.substr(first_end + 1, second_end - first_end - 1);
    const bool said_as_is = found.substr(second_end + 1) == "0";
    EXPECT_TRUE(message.empty() || !said_as_is ||
                result.err.find(message + "\n") != std::string::npos)
        << failure.name << ": " << result.err;
  }
  ::unlink("/var/lib/vek_smbios_util/region_meant.bin");
  ::unlink("/var/lib/vek_smbios_util/region_before.bin");
  const int lock = ::open("/var/run/vek_smbios_util.lock", O_RDWR | O_CREAT, 0644);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  const child_result held = board_.run({"--json", "-r"});
  EXPECT_EQ(held.exit_status, 255);
  EXPECT_EQ(jq(".kind + \" \" + .path", held.out), "lock /var/run/vek_smbios_util.lock");
  ::close(lock);
}

} // namespace

namespace {

// The runs on the journal say what they did: a region put back, or the files dropped with what
// each held.
TEST_F(JsonOutput, RunsOnTheJournalPrintWhatTheyDid) {
  board_.make_chip(&record_);
  const std::string cut = "flashrom-write:partial-exit:4 flashrom-restore:exit:5";
  ASSERT_EQ(board_.run({"-w", "--system-sku=x"}, cut).exit_status, 4);
  const child_result restored = board_.run({"--restore", "--json"});
  EXPECT_EQ(restored.exit_status, 0) << restored.err;
  EXPECT_EQ(jq("[.mode, .restored] | @json", restored.out), R"(["restore",true])");
  EXPECT_EQ(image_record_bytes(emulated_board::CHIP), record_bytes(record_));

  ASSERT_EQ(board_.run({"-w", "--system-sku=x"}, cut).exit_status, 4);
  const child_result discarded = board_.run({"--discard-journal", "--json"});
  EXPECT_EQ(discarded.exit_status, 0) << discarded.err;
  EXPECT_EQ(jq("[.mode, (.discarded[] | .path)] | @json", discarded.out),
            R"(["discard-journal","/var/lib/vek_smbios_util/region_before.bin",)"
            R"("/var/lib/vek_smbios_util/region_meant.bin"])");
  EXPECT_EQ(jq(".discarded[0].held | test(\"^1024 blocks, written \")", discarded.out), "true");
}

// A reader that went away before the document: the chip was changed all the same, and the run
// says so instead of ending silently by SIGPIPE.
TEST_F(JsonOutput, ADocumentThatCannotBeWrittenStillSaysWhatWasStored) {
  const child_result result = board_.run({"-w", "--json", "--system-sku=SKU-2"}, "", [] {
    int ends[2];
    if (::pipe(ends) == 0) {
      ::dup2(ends[1], STDOUT_FILENO);
      ::close(ends[0]);
      ::close(ends[1]);
    }
  });
  EXPECT_EQ(result.exit_status, 255);
  const std::string stored = stored_merge(record_, make_record({{FIELD_SYSTEM_SKU, "SKU-2"}}));
  EXPECT_EQ(image_record_bytes(emulated_board::CHIP), stored);
  const std::string said = "Unable to write the JSON document: Broken pipe\n"
                           "The flash was changed all the same; the record stored: ";
  const std::size_t at = result.err.find(said);
  ASSERT_NE(at, std::string::npos) << result.err;
  const std::string note = result.err.substr(at + said.size());
  EXPECT_EQ(note.find('\n'), note.size() - 1) << "one line, the last";
  EXPECT_EQ(jq(".fields[\"system-sku\"]", note), "SKU-2");
}

} // namespace
