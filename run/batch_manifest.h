// The manifest a batch keeps in its output folder, manifest.jsonl: what was made, from what, and
// when, one JSON object a line, each appended as its image takes its name, so it survives a batch
// that is cut short, and flushed to disk with the images (see flush). A batch's first line names
// the tool's version, the time, and the master and the table with their SHA-256; then a line for
// each image: its output name, its table line, its SHA-256, the record stored and the time. A batch
// run again appends to it.
#pragma once

#include "record/dmi_record.h"
#include "run/batch_plan.h"
#include "util/output.h"
#include "util/sha256.h"
#include "util/unique_fd.h"

#include <string>
#include <string_view>
#include <unordered_map>

class image_template;

// What a batch's first line in the manifest names: the master (its SHA-256 asked of the images
// made from it, `images`, when the line is written) and the table, with the SHA-256 of its text.
struct batch_sources {
  std::string master_path;
  image_template* images = nullptr;
  std::string table_path;
  sha256_digest table_sha256{};
};

class batch_manifest {
public:
  // The manifest of the folder open on `folder` (`folder_path` in messages), opened to append,
  // made when there is none: it is never followed as a symbolic link, and must be a regular file
  // of the running user's with one link. Reads the images it lists; an incomplete last line, the
  // trace of a write cut short, is cut off and said through `out`. Ends the run on failure.
  static batch_manifest open_to_append(int folder, const std::string& folder_path, run_output& out);

  // The images the manifest of `folder` lists, read without changing it; none when there is no
  // manifest. Ends the run when it cannot be read.
  static batch_manifest read_listed(int folder, const std::string& folder_path);

  // The SHA-256 the manifest lists for the image named `output` (its last line for it), or null.
  const sha256_digest* listed(const std::string& output) const;

  // Appends the line of an image that has taken its name, preceded, for the first image of this
  // run, by the batch's own line (`sources`). Written at once, not held in the tool: a run that is
  // killed leaves it. Ends the run on failure, the manifest then cut back to its last whole line.
  void append_image(const batch_sources& sources, const row_plan& row, const sha256_digest& digest);

  // Flushes the folder (and with it the names of the images renamed into it) and the manifest to
  // disk: on a journaling file system the renames and the lines go in one commit. The caller
  // flushes the images first. Ends the run on failure.
  void flush();

private:
  batch_manifest(unique_fd file, std::string path, int folder)
      : file_(std::move(file)), path_(std::move(path)), folder_(folder) {}
  void read_lines(run_output* out);
  void append_line(const std::string& line);

  unique_fd file_;
  std::string path_;
  int folder_;
  // The images listed, by their output name as the manifest writes it (a JSON string).
  std::unordered_map<std::string, sha256_digest> listed_;
  bool sources_written_ = false;
};

// The digest as 64 lower-case hexadecimal digits.
std::string sha256_text(const sha256_digest& digest);
