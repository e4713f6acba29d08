// The JSON documents of a run: what --json prints, and the only place a failure becomes JSON.
#pragma once

#include "cli/options.h"
#include "flash_target/recovery.h"
#include "record/dmi_record.h"
#include "util/failure.h"

#include <string>
#include <string_view>

// The members of one JSON object, written in order. No JSON string can hold bytes that are not
// well-formed UTF-8 as they are (written as characters, "Pr\xfcfplatz" would read as
// "Prüfplatz"): such a text is written as null and its member named in the object's "not_utf8",
// as a record's fields are.
class json_object {
public:
  // A member whose value is text: a path, a message, a name.
  void text(std::string_view name, std::string_view value);
  // A member whose value is words for people (a message): a byte that is not UTF-8 is written as
  // the replacement character, since the words are said whole on standard error too.
  void words(std::string_view name, std::string_view value);
  // A member whose value is JSON written by the caller: a number, true or false, an object, an
  // array.
  void raw(std::string_view name, std::string_view json);
  // The object, braces included; "not_utf8" comes last, when a text was not UTF-8.
  std::string finish() const;

private:
  std::string members_;
  std::string not_utf8_;
};

// The members every document starts with: its format (1) and the tool's version, its mode
// ("read", "write", "update", "update-fields", "batch", "batch-check", "restore",
// "discard-journal"; a batch run as one row is a "write" or a "read"), whether it was a dry run,
// its source ("flash" or the image file) and, for a run that makes it, its output.
void add_opening(json_object& document, const run_settings& settings);

// The document of a run that succeeded: the opening, the record read, or stored (to be stored in
// a dry run); for the modes that store one, also the record found before, the names of the
// fields that differ and whether the record's bytes differ at all; for --expect, that the record
// holds every value expected.
std::string json_document(const run_settings& settings, const dmi_record& found,
                          const dmi_record& stored);

// The document of --restore, which restored the chip's region ("restored": true), or of
// --discard-journal: the files discarded, each with what it held.
std::string json_journal_document(const run_settings& settings,
                                  const item_list<discarded_file>& discarded);

// Adds what a failure says: the exit status, the kind, the message as on standard error, the
// field, program, option or path it concerns, an outside program's own exit status, how a failed
// write left the flash ("restored" or "needs-restore"), the fields that differ and the problems
// of a batch table.
void add_failure(json_object& object, const run_failure& failure);

// The document of a run that failed: the opening, then the failure.
std::string json_failure_document(const run_settings& settings, const run_failure& failure);

// What a run that changed its target says when the document cannot be written: one line naming
// the target and the record stored, as JSON. Empty for a read and a dry run, which change nothing.
std::string change_note(const run_settings& settings, const dmi_record& stored);
