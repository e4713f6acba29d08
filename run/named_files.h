// The files the operator names on the command line, checked against each other before the run
// reads or writes any of them.
#pragma once

#include "cli/options.h"

// Ends the run with 255 and one line when the -b copy, the -l log or the -o output file is the
// same file (same device and inode, whatever the path) as the -f image, the -u image, the -c
// file or each other: writing it would destroy an input. Outputs that do not exist yet are new
// files.
void refuse_outputs_over_inputs(const run_settings& settings);
