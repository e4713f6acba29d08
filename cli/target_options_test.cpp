// Tests of the options that choose the target and the form of the result: -f, -n and --json.
#include "cli/options.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// argv as main gets it, owned by the test.
struct words {
  explicit words(std::vector<std::string> arguments) : strings(std::move(arguments)) {
    strings.insert(strings.begin(), "vek_smbios_util");
    for (std::string& text : strings) {
      pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
  }
  int argc() const {
    return static_cast<int>(strings.size());
  }
  std::vector<std::string> strings;
  std::vector<char*> pointers;
};

// Parses in a child, so a parse that ends the run cannot end the test; prints the settings.
child_result parse(const std::vector<std::string>& arguments) {
  return run_in_child([&] {
    words line(arguments);
    run_settings settings;
    dmi_record record;
    dmi_record_init(record);
    const auto status = parse_arguments(line.argc(), line.pointers.data(), settings, record);
    std::printf("status=%d mode=%d image=%s dry=%d json=%d sku=%.*s\n", status.value_or(-1),
                settings.mode, settings.image_file.value_or("-").c_str(), settings.dry_run,
                settings.json, static_cast<int>(dmi_record_text(record, FIELD_SYSTEM_SKU).size()),
                dmi_record_text(record, FIELD_SYSTEM_SKU).data());
  });
}

TEST(TargetOptions, ShortAndLongFormsSetTheSameSettings) {
  const std::string expected =
      "status=-1 mode=" + std::to_string(OP_WRITE) + " image=/img/a.rom dry=1 json=1 sku=\n";
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"-w", "-f", "/img/a.rom", "-n", "--json"},
           {"-wnf/img/a.rom", "--json"},
           {"-w", "--image=/img/a.rom", "--dry-run", "--json"},
           {"--im", "/img/a.rom", "-w", "--dry", "--js"},
       }) {
    const child_result result = parse(arguments);
    EXPECT_EQ(result.out, expected) << testing::PrintToString(arguments);
    EXPECT_EQ(result.err, "") << testing::PrintToString(arguments);
  }
}

TEST(TargetOptions, ImageWithoutItsFileIsABadOption) {
  const child_result result = parse({"-r", "-f"});
  EXPECT_EQ(result.err, "vek_smbios_util: option requires an argument -- 'f'\n");
  EXPECT_NE(result.out.find("status=255"), std::string::npos);
}

TEST(TargetOptions, EveryAbbreviationOfAFieldNameKeepsItsMeaning) {
  // Each prefix that names exactly one field still names it: the new long options share no
  // prefix with a field name.
  for (int id = 0; id < FIELD_COUNT; ++id) {
    const auto field = static_cast<field_id>(id);
    const std::string name = field_name(field);
    const std::string value =
        field == FIELD_SYSTEM_UUID ? "00112233-4455-6677-8899-aabbccddeeff" : "v";
    for (std::size_t length = 1; length <= name.size(); ++length) {
      const std::string prefix = name.substr(0, length);
      int matches = 0;
      for (int other = 0; other < FIELD_COUNT; ++other) {
        matches += std::string(dmi_fields[other].name).rfind(prefix, 0) == 0 ? 1 : 0;
      }
      if (matches != 1) {
        continue;
      }
      words line({"--" + prefix + "=" + value});
      run_settings settings;
      dmi_record record;
      dmi_record_init(record);
      ASSERT_FALSE(parse_arguments(line.argc(), line.pointers.data(), settings, record)) << prefix;
      const bool set = field == FIELD_SYSTEM_UUID ? dmi_record_uuid(record)[15] == 0xff
                                                  : dmi_record_text(record, field) == "v";
      EXPECT_TRUE(set) << prefix;
      EXPECT_EQ(settings.image_file, std::nullopt) << prefix;
      EXPECT_FALSE(settings.dry_run || settings.json) << prefix;
    }
  }
}

TEST(JsonRequested, SeesTheOptionWhereverParsingWouldAndNowhereElse) {
  const struct {
    std::vector<std::string> arguments;
    bool json;
  } cases[] = {
      {{"-r", "--json"}, true},
      {{"--js", "-r"}, true},
      {{"-x", "-r", "--json"}, true},            // after a bad option, so its help goes aside too
      {{"--system-sku", "--json", "-r"}, false}, // the value of --system-sku
      {{"-f", "--json", "-r"}, false},           // the image file's name
      {{"-r", "--", "--json"}, false},           // after the end of the options
      {{"-r"}, false},
  };
  for (const auto& c : cases) {
    words line(c.arguments);
    EXPECT_EQ(json_requested(line.argc(), line.pointers.data()), c.json)
        << testing::PrintToString(c.arguments);
    // The list itself is left in its order for the parse that follows.
    for (std::size_t i = 0; i < c.arguments.size(); ++i) {
      EXPECT_EQ(std::string(line.pointers[i + 1]), c.arguments[i]);
    }
  }
}

} // namespace
