// Records as JSON text, for the machine-readable result of a run.
#pragma once

#include "record/dmi_record.h"

#include <string>
#include <string_view>

// Appends `text` as a JSON string, quotes included: well-formed UTF-8 as it is; every control
// byte (below 0x20, and 0x7F) as \u00XX with the byte's value; every byte that is not part of a
// well-formed sequence as the replacement character \ufffd; the quote and the backslash escaped.
// For words that may hold such bytes (a message naming a path); a value that must be told byte
// for byte is null instead when it is not UTF-8.
void append_json_string(std::string& out, std::string_view text);

// Appends the record as a JSON object: "marker" (a number), "fields" (each field's value by its
// name, in table order: the UUID as its 36-character text, the others as strings, or null for a
// text that is not well-formed UTF-8), "not_utf8" (the names of those fields) and "bytes" (the
// 256 bytes as 512 lower-case hexadecimal digits, the record without loss).
void append_record_json(std::string& out, const dmi_record& record);

// Appends the names of the fields whose values differ between the two records as a JSON array of
// strings, in table order.
void append_changed_fields_json(std::string& out, const dmi_record& found,
                                const dmi_record& stored);
