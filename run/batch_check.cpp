// The check of a batch's output folder.
#include "run/batch_check.h"

#include "record/record_json.h"
#include "record/text_escape.h"
#include "run/batch_manifest.h"
#include "run/json_output.h"
#include "system/file_checks.h"
#include "system/flash_geometry.h"
#include "util/failure.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

// How the manifest lists an image: with the SHA-256 of the image its row makes, not at all, or
// with another SHA-256.
enum class listing { same, not_listed, other };

const char* listing_name(listing listed) {
  return listed == listing::same    ? "listed"
         : listed == listing::other ? "other-sha256"
                                    : "not-listed";
}

struct image_check {
  output_check output;
  listing listed = listing::not_listed;

  bool matches() const {
    return output.verdict == output_verdict::matches && listed == listing::same;
  }
};

// The check of one row's image: the file against the image, the manifest's SHA-256 against the
// image's.
image_check check_row(const row_plan& row, int folder, const std::string& folder_path,
                      image_template& images, const batch_manifest& manifest) {
  image_check checked;
  if (row.there == output_state::missing) {
    return checked;
  }
  const image_view image = images.image_of(row.stored);
  checked.output = check_output(folder, row.output, output_path(folder_path, row.output), image);
  const sha256_digest* listed = manifest.listed(row.output);
  checked.listed = listed == nullptr                    ? listing::not_listed
                   : *listed == images.digest_of(image) ? listing::same
                                                        : listing::other;
  return checked;
}

// What differs, in words: "missing", or each difference, separated by "; ".
std::string difference_words(const row_plan& row, const image_check& checked) {
  const output_check& output = checked.output;
  if (output.verdict == output_verdict::missing) {
    return "missing";
  }
  std::string words;
  const auto add = [&words](const std::string& part) {
    words += (words.empty() ? "" : "; ") + part;
  };
  if (output.verdict == output_verdict::not_image) {
    add(format_text("not an image file of %jd bytes",
                    static_cast<std::intmax_t>(FLASH_IMAGE_SIZE)));
  }
  const dmi_record& found = output.difference.found;
  if (output.verdict == output_verdict::differs && output.difference.record_differs) {
    const field_list fields = changed_fields(found, row.stored);
    for (const field_id field : fields) {
      add(std::string(field_name(field)) + ": found '" +
          escape_control_bytes(field_value_text(found, field)) + "', expected '" +
          escape_control_bytes(field_value_text(row.stored, field)) + "'");
    }
    if (fields.empty()) {
      add("the record's bytes differ, its fields do not");
    }
  }
  if (const auto& other = output.difference.first_other; other) {
    add(format_text("other bytes differ, the first at offset 0x%08jx",
                    static_cast<std::intmax_t>(*other)));
  }
  if (checked.listed != listing::same) {
    add(checked.listed == listing::not_listed ? "not in the manifest"
                                              : "the manifest lists another SHA-256");
  }
  return words;
}

// The fields whose values differ between the record found and the record meant, as JSON.
std::string mismatches_document(const dmi_record& found, const dmi_record& meant) {
  std::string mismatches = "[";
  for (const field_id field : changed_fields(found, meant)) {
    json_object mismatch;
    mismatch.text("field", field_name(field));
    mismatch.text("found", field_value_text(found, field));
    mismatch.text("expected", field_value_text(meant, field));
    mismatches += mismatches.size() > 1 ? "," : "";
    mismatches += mismatch.finish();
  }
  return mismatches + "]";
}

// The image's object in the check's document.
std::string image_document(const row_plan& row, const image_check& checked) {
  json_object document;
  document.raw("line", std::to_string(row.line));
  document.text("output", row.output);
  const output_check& output = checked.output;
  document.text("verdict", checked.matches()                           ? "matches"
                           : output.verdict == output_verdict::missing ? "missing"
                                                                       : "differs");
  if (output.verdict == output_verdict::missing) {
    return document.finish();
  }
  if (output.verdict == output_verdict::not_image) {
    document.raw("not_image", "true");
  }
  if (output.verdict == output_verdict::differs) {
    document.raw("record_differs", output.difference.record_differs ? "true" : "false");
    document.raw("mismatches", mismatches_document(output.difference.found, row.stored));
  }
  if (output.difference.first_other) {
    document.raw("first_other_offset", std::to_string(*output.difference.first_other));
  }
  document.text("manifest", listing_name(checked.listed));
  return document.finish();
}

// The check's summary, in a line; with --json, its document too.
int show_summary(const run_settings& settings, const std::size_t counts[3],
                 const std::string& images, reporter& out) {
  const std::string summary =
      format_text("Batch table %s checked against %s: %zu images match, %zu differ, %zu missing\n",
                  settings.batch_table->c_str(), settings.output_file->c_str(), counts[0],
                  counts[1], counts[2]);
  const int status = counts[1] + counts[2] == 0 ? 0 : 1;
  if (!settings.json) {
    out.show_text(summary);
    return status;
  }
  json_object document;
  add_opening(document, settings);
  document.text("table", *settings.batch_table);
  document.raw("matched", std::to_string(counts[0]));
  document.raw("differ", std::to_string(counts[1]));
  document.raw("missing", std::to_string(counts[2]));
  document.raw("images", "[" + images + "]");
  out.progress(summary);
  if (out.write_document(document.finish() + "\n") != 0) {
    out.notice(format_text("Unable to write the JSON document: %s\n", std::strerror(errno)));
    return EXIT_TOOL_ERROR;
  }
  return status;
}

} // namespace

output_check check_output(int folder, const std::string& name, const std::string& path,
                          const image_view& image) {
  output_check checked;
  const unique_fd file(
      ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat status;
  if (!file.valid() && errno == ENOENT) {
    return checked;
  }
  checked.verdict = output_verdict::not_image;
  // A symbolic link fails to open as one (Linux says ELOOP, FreeBSD EMLINK).
  if (!file.valid() && (errno == ELOOP || errno == EMLINK)) {
    return checked;
  }
  if (!file.valid() || ::fstat(file.get(), &status) != 0) {
    fail(failure_kind::file, path, "Unable to read %s: %s\n", path.c_str(), std::strerror(errno));
  }
  if (image_file_fault(status) != image_fault::none) {
    return checked;
  }
  if (compare_image_file(file.get(), image, checked.difference) != 0) {
    fail(failure_kind::file, path, "Unable to read %s: %s\n", path.c_str(), std::strerror(errno));
  }
  const bool same = !checked.difference.record_differs && !checked.difference.first_other;
  checked.verdict = same ? output_verdict::matches : output_verdict::differs;
  return checked;
}

int check_batch_folder(const run_settings& settings, const batch_rows& rows, int folder,
                       image_template& images, reporter& out) {
  const std::string& folder_path = *settings.output_file;
  const batch_manifest manifest = batch_manifest::read_listed(folder, folder_path);
  std::size_t counts[3] = {0, 0, 0}; // matching, differing, missing
  std::string documents;
  for (std::size_t index = 0; index < rows.size(); ++index) {
    const row_plan row = rows.plan(index);
    const image_check checked = check_row(row, folder, folder_path, images, manifest);
    const bool missing = checked.output.verdict == output_verdict::missing;
    ++counts[checked.matches() ? 0 : missing ? 2 : 1];
    if (!checked.matches()) {
      out.notice(format_text("line %zu, %s: ", row.line, escape_control_bytes(row.output).c_str()) +
                 difference_words(row, checked) + "\n");
    }
    documents += documents.empty() ? "" : ",";
    documents += image_document(row, checked);
    out.show_count(counts[0] + counts[1] + counts[2], rows.size());
  }
  return show_summary(settings, counts, documents, out);
}
