// The rules of batch values.
#include "cli/value_rules.h"

#include "cli/character_names.h"
#include "record/utf8.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

namespace {

// Texts that firmware vendors' reference firmware and board makers' tools leave in SMBIOS where
// the board maker was to put a value. A value equal to one, without regard to ASCII letter case,
// is refused: it would make boards look alike to asset systems and to software licensed per
// machine. Case-only variants ("To Be Filled By O.E.M.") need no entry of their own, nor do values
// of one character repeated ("000000", "XXXXXXXX"), which is_one_character_repeated finds.
constexpr const char* PLACEHOLDER_TEXTS[] = {
    "To be filled by O.E.M.",
    "Default string",
    "Default",
    "Not Specified",
    "Not Applicable",
    "Not Available",
    "System manufacturer",
    "System Product Name",
    "System Version",
    "System Serial Number",
    "Base Board Serial Number",
    "Chassis Manufacture",
    "Chassis Version",
    "Chassis Serial Number",
    "Asset-1234567890",
    "SKU",
    "Type1ProductConfigId",
    "Serial Number",
    "0",
    "0123456789",
    "123456789",
    "1234567890",
    "None",
    "N/A",
    "NA",
    "TBD",
    "Unknown",
    "OEM",
    "O.E.M.",
};

// The fewest times a character repeated makes a value a placeholder: "00" may be a real version.
constexpr std::size_t PLACEHOLDER_REPEATS = 3;

// UUIDs that firmware leaves where no UUID was set: all bits set (erased flash), and a common
// reference firmware's default, in both of the byte orders tools show it in.
constexpr const char* PLACEHOLDER_UUIDS[] = {
    "ffffffff-ffff-ffff-ffff-ffffffffffff",
    "03000200-0400-0500-0006-000700080009",
    "00020003-0004-0005-0006-000700080009",
};

// The fields that identify one board, one chassis or one order: scripts, label printers and
// asset systems compare them byte for byte, so they hold printable ASCII only.
bool is_identifier(field_id field) {
  return field == FIELD_SYSTEM_SERIAL_NUMBER || field == FIELD_SYSTEM_SKU ||
         field == FIELD_BOARD_SERIAL_NUMBER || field == FIELD_CHASSIS_SERIAL_NUMBER ||
         field == FIELD_CHASSIS_ASSET_TAG;
}

// The fields whose values must differ from row to row.
bool is_one_per_board(field_id field) {
  return field == FIELD_SYSTEM_SERIAL_NUMBER || field == FIELD_BOARD_SERIAL_NUMBER ||
         field == FIELD_CHASSIS_SERIAL_NUMBER || field == FIELD_SYSTEM_UUID ||
         field == FIELD_CHASSIS_ASSET_TAG;
}

// A row of a column checked for duplicates, by the hash of its key: eight bytes a row. A table
// has far fewer than 2^32 rows (a batch table is at most 64 MiB); hashes that collide in their
// 32 bits only cost a comparison of the keys.
struct keyed_row {
  std::uint32_t hash;
  std::uint32_t row;
};

// The key a cell is compared by: for system-uuid its 16 bytes, none when the text is no UUID;
// else the text; none for an empty cell.
std::optional<std::string> duplicate_key(const csv_table& table, std::size_t row, int column) {
  const std::string_view cell = table.cell(row, column);
  if (cell.empty()) {
    return std::nullopt;
  }
  if (column == table.output_column || table.columns[column] != FIELD_SYSTEM_UUID) {
    return std::string(cell);
  }
  uuid_t parsed;
  if (uuid_parse(cell.data(), parsed) != 0) {
    return std::nullopt;
  }
  return std::string(std::begin(parsed), std::end(parsed));
}

bool comes_first(const duplicate_value& a, const duplicate_value& b) {
  return a.line != b.line ? a.line < b.line : a.column < b.column;
}

// The duplicates found: the first `limit` of them in the order of lines and columns kept, in
// room for twice as many, sorted and cut back whenever that is full; the others counted.
class first_duplicates {
public:
  explicit first_duplicates(std::size_t limit)
      : limit_(limit), kept_(std::make_unique<duplicate_value[]>(2 * limit + 1)) {}

  void push_back(const duplicate_value& found) {
    ++found_;
    kept_[size_++] = found;
    if (size_ == 2 * limit_ + 1) {
      keep_first();
    }
  }

  duplicate_values take() {
    keep_first();
    duplicate_values values;
    for (std::size_t i = 0; i < size_; ++i) {
      values.first.push_back(kept_[i]);
    }
    values.not_listed = found_ - size_;
    return values;
  }

private:
  void keep_first() {
    std::sort(kept_.get(), kept_.get() + size_, comes_first);
    size_ = std::min(size_, limit_);
  }

  std::size_t limit_;
  std::unique_ptr<duplicate_value[]> kept_;
  std::size_t size_ = 0;
  std::size_t found_ = 0;
};

// Adds each row of `first` to `last` (one hash, rows in order) whose key an earlier row of them
// holds, against the first such row.
void add_duplicates(const csv_table& table, int column, const keyed_row* first,
                    const keyed_row* last, first_duplicates& duplicates) {
  for (const keyed_row* later = first + 1; later < last; ++later) {
    const auto key = duplicate_key(table, later->row, column);
    for (const keyed_row* earlier = first; earlier < later; ++earlier) {
      if (duplicate_key(table, earlier->row, column) == key) {
        duplicates.push_back({column, table.row_lines[earlier->row], table.row_lines[later->row]});
        break;
      }
    }
  }
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) {
      return false;
    }
  }
  return true;
}

// Whether `value` is one character (one byte, or one UTF-8 sequence), in any ASCII letter case,
// written PLACEHOLDER_REPEATS times or more.
bool is_one_character_repeated(std::string_view value) {
  std::size_t length = utf8_multibyte_length(value);
  length = length == 0 ? 1 : length;
  if (value.size() < PLACEHOLDER_REPEATS * length || value.size() % length != 0) {
    return false;
  }
  for (std::size_t at = length; at < value.size(); at += length) {
    if (!equal_ignoring_ascii_case(value.substr(at, length), value.substr(0, length))) {
      return false;
    }
  }
  return true;
}

// The place of the first byte outside printable ASCII, or npos.
std::size_t first_unprintable(std::string_view text) {
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] < 0x20 || text[at] > 0x7E) {
      return at;
    }
  }
  return std::string_view::npos;
}

broken_rule placeholder(std::string_view shown) {
  return {value_rule::placeholder, "is the placeholder \"" + std::string(shown) + "\""};
}

// The placeholder rule alone.
std::optional<broken_rule> check_placeholder(std::string_view value) {
  for (const char* text : PLACEHOLDER_TEXTS) {
    if (equal_ignoring_ascii_case(value, text)) {
      return placeholder(value); // as given: the operator looks for it in their own table
    }
  }
  if (is_one_character_repeated(value)) {
    return placeholder(value);
  }
  return std::nullopt;
}

} // namespace

std::optional<broken_rule> check_value_rules(field_id field, std::string_view value) {
  if (value.empty()) {
    return broken_rule{value_rule::empty, "is empty"};
  }
  if (is_blank(value.front())) {
    return broken_rule{value_rule::leading_blank, "begins with a blank"};
  }
  if (is_blank(value.back())) {
    return broken_rule{value_rule::trailing_blank, "ends with a blank"};
  }
  if (auto broken = check_placeholder(value)) {
    return broken;
  }
  if (const std::size_t at = first_unprintable(value); is_identifier(field) && at != value.npos) {
    // Named, with its place: an en dash or a no-break space looks like its ASCII twin in a sheet.
    return broken_rule{value_rule::not_printable_ascii,
                       "holds " + character_name(value.substr(at)) + " at byte " +
                           std::to_string(at + 1) + ", outside printable ASCII"};
  }
  return std::nullopt;
}

std::optional<broken_rule> check_uuid_rules(const std::uint8_t* uuid) {
  for (const char* text : PLACEHOLDER_UUIDS) {
    uuid_t known;
    if (uuid_parse(text, known) == 0 && std::memcmp(uuid, known, sizeof known) == 0) {
      return placeholder(text);
    }
  }
  return std::nullopt;
}

std::optional<carried_placeholder> find_carried_placeholder(const dmi_record& found,
                                                            const dmi_record& given) {
  for (int id = 0; id < FIELD_COUNT; ++id) {
    const auto field = static_cast<field_id>(id);
    std::optional<broken_rule> broken;
    if (field == FIELD_SYSTEM_UUID) {
      if (uuid_is_null(dmi_record_uuid(given)) && !uuid_is_null(dmi_record_uuid(found))) {
        broken = check_uuid_rules(dmi_record_uuid(found));
      }
    } else if (dmi_record_index(given, field) == 0 && dmi_record_index(found, field) != 0) {
      broken = check_placeholder(dmi_record_text(found, field));
    }
    if (broken) {
      return carried_placeholder{field, std::move(*broken)};
    }
  }
  return std::nullopt;
}

duplicate_values find_duplicate_values(const csv_table& table, std::size_t limit) {
  // One column at a time, its rows sorted by the hash of their key, so rows with equal keys sit
  // together: two numbers per row, where a map would hold a node and a copy of every value.
  const std::size_t rows = table.row_count();
  const std::unique_ptr<keyed_row[]> keyed(new keyed_row[rows == 0 ? 1 : rows]);
  first_duplicates duplicates(limit);
  for (int column = 0; column < table.column_count; ++column) {
    if (column != table.output_column && !is_one_per_board(table.columns[column])) {
      continue;
    }
    std::size_t count = 0;
    for (std::size_t row = 0; row < rows; ++row) {
      if (const auto key = duplicate_key(table, row, column)) {
        keyed[count++] = {static_cast<std::uint32_t>(std::hash<std::string_view>()(*key)),
                          static_cast<std::uint32_t>(row)};
      }
    }
    std::sort(keyed.get(), keyed.get() + count, [](const keyed_row& a, const keyed_row& b) {
      return a.hash != b.hash ? a.hash < b.hash : a.row < b.row;
    });
    for (std::size_t start = 0, end = 0; start < count; start = end) {
      while (end < count && keyed[end].hash == keyed[start].hash) {
        ++end;
      }
      add_duplicates(table, column, keyed.get() + start, keyed.get() + end, duplicates);
    }
  }
  return duplicates.take();
}
