// The JSON result of a run.
#pragma once

#include "cli/options.h"
#include "record/dmi_record.h"
#include "util/failure.h"

#include <string>

// The members every document starts with, its opening brace included: its format (1) and the
// tool's version, its mode ("read", "write", "update", "update-fields", "batch", "batch-check";
// a batch run as one row is a "write" or a "read"), whether it was a dry run, its source ("flash"
// or the image file) and, for a run that makes it, its output.
std::string json_opening(const run_settings& settings);

// Appends what a mode did: the record read, or stored (to be stored in a dry run); for the modes
// that store one, also the record found before, the names of the fields that differ and whether
// the record's bytes differ at all.
void append_result_json(std::string& out, const run_settings& settings, const dmi_record& found,
                        const dmi_record& stored);

// The document of a run that succeeded: the opening, what the mode did, and for --expect that the
// record holds every value expected.
std::string json_document(const run_settings& settings, const dmi_record& found,
                          const dmi_record& stored);

// Appends what a failure says: the exit status, the kind, the message as on standard error, the
// field, program or path it concerns, how a failed write left the flash ("restored" or
// "needs-restore"), and the members of its own (a mismatch's fields).
void append_failure_json(std::string& out, const run_failure& failure);

// The document of a run that failed: the opening, then the failure.
std::string json_failure_document(const run_settings& settings, const run_failure& failure);

// What a run that changed its target says when the document cannot be written: one line naming
// the target and the record stored, as JSON. Empty for a read and a dry run, which change nothing.
std::string change_note(const run_settings& settings, const dmi_record& stored);
