// The check of a batch's output folder: each row's image against the image the row makes from
// the master, and against the manifest.
#pragma once

#include "cli/options.h"
#include "run/batch_plan.h"
#include "run/image_compare.h"
#include "run/image_template.h"
#include "run/reporter.h"

#include <string>

// How the file at a row's output name compares with the row's image.
enum class output_verdict { matches, differs, missing, not_image };

struct output_check {
  output_verdict verdict = output_verdict::missing;
  image_difference difference;
};

// Compares the file `name` in the folder open on `folder` (`path` in messages; the name itself,
// never a link it holds) with `image`. Ends the run when it cannot be read.
output_check check_output(int folder, const std::string& name, const std::string& path,
                          const image_view& image);

// `--expect --batch TABLE -f MASTER -o FOLDER`: checks that the folder open on `folder` holds, for
// each row of `rows`, the image the row makes from the master, byte for byte, and that its
// SHA-256 is the one the folder's manifest lists for it. Says each image that differs in one line
// on standard error (what differs: the record's fields, other bytes with the first offset, the
// manifest; or that it is missing), then a summary line; with --json, the check's document, each
// image with its verdict. Returns 0 when every image matches, 1 when any differs or is missing;
// ends the run on trouble (an image or the manifest that cannot be read, cbfstool failing).
int check_batch_folder(const run_settings& settings, const batch_rows& rows, int folder,
                       image_template& images, reporter& out);
