// The rules a field value must pass in a batch table: no empty values, no blanks at the ends, no
// placeholder that firmware vendors leave in SMBIOS, plain ASCII for identifiers; and no serial
// number, UUID, asset tag or output file given to two rows.
#pragma once

#include "cli/csv_table.h"
#include "record/dmi_record.h"
#include "util/item_list.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum class value_rule {
  empty,               // the value is empty
  leading_blank,       // it begins with a space or a tab
  trailing_blank,      // it ends with a space or a tab
  placeholder,         // it is a placeholder text or UUID
  not_printable_ascii, // an identifier field holds a byte outside 0x20..0x7E
};

// The rule a value breaks, and a short text for messages, to follow the field's name: "is empty",
// "begins with a blank", "ends with a blank", "is the placeholder \"default string\"" (the value as
// given), "holds U+2013 EN DASH at byte 4, outside printable ASCII" (see character_name; bytes
// counted from 1).
struct broken_rule {
  value_rule rule;
  std::string text;
};

// The first rule `value` breaks as the value of `field`, in the order of value_rule, or none.
// Placeholders are compared whole and without regard to ASCII letter case, so a value that only
// holds one is fine; a value of one character written three times or more is one too. Printable
// ASCII is asked of the serial numbers, the SKU and the asset tag, which scripts and asset systems
// match byte for byte. For system-uuid this judges the text as given; check_uuid_rules judges the
// UUID it was parsed into.
std::optional<broken_rule> check_value_rules(field_id field, std::string_view value);

// The rule a parsed system-uuid breaks, or none: the all-FF UUID, and the UUIDs firmware leaves
// as defaults, are placeholders. `uuid` is 16 bytes in the record's order. (The all-zero UUID is
// refused where values are taken.)
std::optional<broken_rule> check_uuid_rules(const std::uint8_t* uuid);

// A placeholder a record carries in a field that a run does not set.
struct carried_placeholder {
  field_id field;
  broken_rule broken; // the placeholder rule, naming the value
};

// The first field, in record order, that `found` holds and `given` does not set whose value is a
// placeholder text or UUID, or none: the values a merge would carry over from the target's record
// unseen. Only the placeholder rule is asked of them; the fields `given` sets are judged where
// they are given.
std::optional<carried_placeholder> find_carried_placeholder(const dmi_record& found,
                                                            const dmi_record& given);

// A value given in two rows of a column where each row needs its own.
struct duplicate_value {
  int column;             // the table's column
  std::size_t first_line; // the line of the first row with the value
  std::size_t line;       // the line of a later row with it again
};

// Finds the values given to more than one row in the columns of the serial numbers (each on its
// own), system-uuid, chassis-asset-tag and output. UUIDs are compared as UUIDs, so texts that
// differ in letter case are the same UUID; every other value byte for byte. Empty cells, and
// system-uuid texts that are not UUIDs, are left to the value rules. Each later row with a value
// is listed once, against the first row with it, in the order of the rows and then the columns:
// the first `limit` of them, the others only counted, as a table of one value repeated has one a
// row.
struct duplicate_values {
  item_list<duplicate_value> first;
  std::size_t not_listed = 0;
};
duplicate_values find_duplicate_values(const csv_table& table, std::size_t limit);
