// The JSON result of a run.
#pragma once

#include "cli/options.h"
#include "record/dmi_record.h"

#include <string>

// The document of a run that succeeded: its format (1) and the tool's version, its mode, whether it
// was a dry run, its source ("flash" or the image file), the record read, or stored (to be stored
// in a dry run); for the modes that store one, also the record found before, the names of the
// fields that differ and whether the record's bytes differ at all.
std::string json_document(const run_settings& settings, const dmi_record& found,
                          const dmi_record& stored);

// What a run that changed its target says when the document cannot be written: one line naming
// the target and the record stored, as JSON. Empty for a read and a dry run, which change nothing.
std::string change_note(const run_settings& settings, const dmi_record& stored);
