// A batch of images stamped from one master, in one process.
#include "run/batch.h"

#include "cbfs/image_record.h"
#include "flash_target/image_destination.h"
#include "flash_target/image_file.h"
#include "record/record_json.h"
#include "record/text_escape.h"
#include "run/batch_bounds.h"
#include "run/batch_check.h"
#include "run/batch_manifest.h"
#include "run/batch_plan.h"
#include "run/given_values.h"
#include "run/image_template.h"
#include "run/json_output.h"
#include "system/flash_geometry.h"
#include "system/leftovers.h"
#include "system/stale_files.h"
#include "util/failure.h"
#include "util/item_list.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// What the rows of a batch share while their images are made.
struct batch_context {
  const run_settings& settings;
  int master;
  image_template& images;
  image_writer& writer;
  batch_manifest& manifest;
  const batch_sources& sources;
};

// An image made whole, waiting for its flush to disk: its working copy, which takes its name then;
// or, for an image found made before (no copy), the output itself. Its row, and its object's
// place in the batch's document.
struct waiting_image {
  std::size_t row = 0;
  std::size_t entry = 0;
  image_destination destination;
  std::string copy;
  leftover copy_leftover;
  sha256_digest digest{};
};

// Makes the image of `row` as -o makes one, up to its rename: a working copy beside its name, the
// image written and its record read back, into `made`. It takes its name, and its line in the
// manifest, once it is on disk (flush_waiting). Each step begins only while the batch goes on: an
// interrupted row's files go as it ends. Ends the run (that row's) on failure.
void make_image(const batch_context& batch, const row_plan& row, waiting_image& made) {
  const std::string path = output_path(*batch.settings.output_file, row.output);
  made.destination = output_file_destination(path, batch.master, *batch.settings.image_file);
  stop_if_interrupted();
  const image_view image = batch.images.image_of(row.stored);
  made.copy = make_working_copy(made.destination, made.copy_leftover);
  batch.writer.write(made.destination, made.copy, image);
  stop_if_interrupted();
  // Read back: the image holds the record meant for it before it takes its name.
  if (std::memcmp(read_dmi_record(made.copy).bytes, row.stored.bytes, DMI_RECORD_SIZE) != 0) {
    fail(failure_kind::image, path, "Image %s does not hold the record meant for it\n",
         made.copy.c_str());
  }
  made.digest = batch.images.digest_of(image);
}

// Flushes the image of `row`, renamed into place, to disk. Ends the run (that row's) on failure.
void flush_image(const batch_context& batch, int folder, const row_plan& row) {
  const std::string path = output_path(*batch.settings.output_file, row.output);
  const unique_fd image(::openat(folder, row.output.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!image.valid() || ::fsync(image.get()) != 0) {
    const int error = errno;
    fail_writing(
        error, path,
        format_text("Unable to flush %s to disk: %s\n", path.c_str(), std::strerror(error)));
  }
}

// Compares each output that is there already with the image its row makes: the same image is
// taken as made (and noted so in `rows`), another one is a problem of its row.
void find_images_made(batch_rows& rows, int folder, const std::string& folder_path,
                      image_template& images, problem_list& problems) {
  for (std::size_t index = 0; index < rows.size() && noted_signal() == 0; ++index) {
    if (rows.there[index] != output_state::image) {
      continue;
    }
    const row_plan row = rows.plan(index);
    const output_check checked = check_output(
        folder, row.output, output_path(folder_path, row.output), images.image_of(row.stored));
    if (checked.verdict == output_verdict::matches) {
      rows.there[index] = output_state::made;
    } else {
      problems.add(row.line, std::string(OUTPUT_COLUMN_NAME),
                   "exists already, and is not the image this row makes");
    }
  }
}

// Lists in the manifest each image made before that it does not list yet: one whose batch was cut
// between the rename and its line.
void list_images_made(const batch_context& batch, const batch_rows& rows) {
  for (std::size_t index = 0; index < rows.size(); ++index) {
    if (rows.there[index] != output_state::made) {
      continue;
    }
    const row_plan row = rows.plan(index);
    if (batch.manifest.listed(row.output) == nullptr) {
      batch.manifest.append_image(batch.sources, row,
                                  batch.images.digest_of(batch.images.image_of(row.stored)));
    }
  }
}

// The batch's summary line, and how its cells were split when that was not at commas.
std::string summary_line(const run_settings& settings, const batch_tally& tally, char separator) {
  std::string summary = batch_summary(*settings.batch_table, tally, settings.dry_run);
  if (separator != ',') {
    // The operator sees how the cells were split when they were not split at commas.
    summary.insert(summary.size() - 1, format_text(" (read with '%c' between cells)", separator));
  }
  return summary;
}

// Shows the summary; with --json, the batch's document too. Returns the exit status.
int show_batch_result(const run_settings& settings, const batch_tally& tally, char separator,
                      const std::string& images, reporter& out) {
  const std::string summary = summary_line(settings, tally, separator);
  if (!settings.json) {
    out.show_text(summary);
  } else {
    json_object batch;
    add_opening(batch, settings);
    batch.text("table", *settings.batch_table);
    batch.raw("made", std::to_string(tally.made));
    batch.raw("already_there", std::to_string(tally.already));
    batch.raw("failed", std::to_string(tally.failed));
    batch.raw("not_made", std::to_string(settings.dry_run ? 0 : tally.not_made()));
    if (tally.signal != 0) {
      batch.text("interrupted_by", signal_name(tally.signal));
    }
    batch.raw("images", "[" + images + "]");
    out.progress(summary);
    if (out.write_document(batch.finish() + "\n") != 0) {
      out.notice(format_text("Unable to write the JSON document: %s\n", std::strerror(errno)));
      return EXIT_TOOL_ERROR;
    }
  }
  // An interrupted batch ends by its signal in main; this status stands only if it cannot.
  if (tally.signal != 0) {
    return 128 + tally.signal;
  }
  return tally.failed == 0 ? 0 : EXIT_TOOL_ERROR;
}

// The values given to every row: the -c file's under the options', each held to the value rules.
dmi_record batch_given_values(const run_settings& settings, const dmi_record& cmdline_record,
                              run_log& log) {
  dmi_record config_record;
  dmi_record_init(config_record);
  if (settings.config_path) {
    config_record = load_config_file(*settings.config_path);
  }
  check_given_values(cmdline_record, "");
  check_given_values(config_record, settings.config_path.value_or(""));
  return gather_values(settings, config_record, cmdline_record, log);
}

// The master's record. Ends the run when there is none: its record area is erased.
dmi_record master_record(int master, const std::string& path) {
  const dmi_record record = read_dmi_record(master, path);
  if (std::all_of(std::begin(record.bytes), std::end(record.bytes),
                  [](std::uint8_t byte) { return byte == 0xFF; })) {
    fail(failure_kind::image, path, "No record is stored in %s: its record area is erased\n",
         path.c_str());
  }
  return record;
}

// The object of a row that failed in the batch's document, its failure said as the row's.
std::string failed_row(const row_plan& row, const run_failure& failure, batch_tally& tally,
                       reporter& out) {
  ++tally.failed;
  out.notice(format_text("line %zu, %s: ", row.line, escape_control_bytes(row.output).c_str()) +
             failure_words(failure) + "\n");
  json_object image;
  image.raw("line", std::to_string(row.line));
  image.text("output", row.output);
  add_failure(image, failure);
  return image.finish();
}

// Makes one row's image into `made`, or takes it as made before; its object in the batch's
// document.
std::string make_row(const batch_context& batch, const row_plan& row, batch_tally& tally,
                     std::string& stop, waiting_image& made, reporter& out) {
  json_object image;
  image.raw("line", std::to_string(row.line));
  image.text("output", row.output);
  try {
    if (row.there == output_state::made) {
      ++tally.already;
      image.raw("already_there", "true");
    } else {
      make_image(batch, row, made);
      ++tally.made;
    }
    image.raw("status", "0");
    std::string record;
    append_record_json(record, row.stored);
    image.raw("record", record);
  } catch (const run_failure& failure) {
    if (noted_signal() != 0) {
      return ""; // abandoned, neither made nor failed
    }
    stop = every_row_failure(failure);
    return failed_row(row, failure, tally, out);
  }
  return image.finish();
}

// How long made images wait for their flush to disk, and how many at most (each holds one of the
// run's leftovers). A copy of many files ends with one sync, the system writing them out
// meanwhile: a batch waits for the disk about once a second, not once an image.
constexpr double FLUSH_INTERVAL_SECONDS = 1.0;
constexpr std::size_t MAX_WAITING_IMAGES = 48;

double monotonic_seconds() {
  struct timespec now {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A made image that could not be put on disk, or named: its row becomes a failed one.
void fail_waiting(const batch_rows& rows, const waiting_image& image, const run_failure& failure,
                  item_list<std::string>& entries, batch_tally& tally, reporter& out) {
  const row_plan row = rows.plan(image.row);
  --(row.there == output_state::made ? tally.already : tally.made);
  entries[image.entry] = failed_row(row, failure, tally, out);
}

// Puts the waiting images on disk, each flushed before it takes its name and its line in the
// manifest (an image found made is flushed as it stands: a run killed before it flushed it made
// it); then the folder and the manifest, so that every name and line on disk, after a power cut
// too, is that of a whole image. An image that fails is a failed row, its working copy removed; a
// manifest that cannot be flushed fails every row placed. Returns the words that stop the batch,
// or none. Goes on through a signal: the images said to be made are on disk.
std::string flush_waiting(const batch_context& batch, int folder, const batch_rows& rows,
                          item_list<waiting_image>& waiting, item_list<std::string>& entries,
                          batch_tally& tally, reporter& out) {
  item_list<std::size_t> placed;
  for (std::size_t at = 0; at < waiting.size(); ++at) {
    waiting_image& image = waiting[at];
    try {
      if (image.copy.empty()) {
        flush_image(batch, folder, rows.plan(image.row));
      } else {
        place_working_copy(image.destination, image.copy, image.copy_leftover, batch.master,
                           flush::by_caller);
        batch.manifest.append_image(batch.sources, rows.plan(image.row), image.digest);
      }
      placed.push_back(at);
    } catch (const run_failure& failure) {
      fail_waiting(rows, image, failure, entries, tally, out);
    }
  }
  std::string stop;
  try {
    if (!waiting.empty()) {
      batch.manifest.flush();
    }
  } catch (const run_failure& failure) {
    for (const std::size_t at : placed) {
      fail_waiting(rows, waiting[at], failure, entries, tally, out);
    }
    stop = every_row_failure(failure);
    stop = stop.empty() ? "No further image can be made: " + failure_words(failure) + "\n" : stop;
  }
  waiting.clear(); // the working copies of the rows that failed go
  return stop;
}

// The objects of the rows, in the order of the table, as the batch's document lists them.
std::string joined(const item_list<std::string>& entries) {
  std::string images;
  for (const std::string& entry : entries) {
    images += images.empty() ? "" : ",";
    images += entry;
  }
  return images;
}

// Makes the image of each row not made before, one after the other, until the rows end, a signal
// interrupts the batch (the row under way is abandoned: its working files go, and it is neither
// made nor failed), or a row fails in a way that every further row would; a row that fails
// otherwise is said and counted, and the others go on. Puts the images made on disk and under
// their names about once a second, and the last ones before the batch ends.
// Shows the result; returns the exit status.
int make_images(const batch_context& batch, int folder, const batch_rows& rows, reporter& out) {
  list_images_made(batch, rows);
  batch_tally tally;
  tally.rows = rows.size();
  item_list<std::string> entries;
  item_list<waiting_image> waiting;
  double flushed_at = monotonic_seconds();
  for (std::size_t index = 0; index < rows.size() && noted_signal() == 0; ++index) {
    std::string stop;
    const std::size_t made_before = tally.made + tally.already;
    waiting_image made;
    std::string image = make_row(batch, rows.plan(index), tally, stop, made, out);
    if (tally.made + tally.already > made_before) {
      made.row = index;
      made.entry = entries.size();
      waiting.push_back(std::move(made));
    }
    if (!image.empty()) {
      entries.push_back(std::move(image));
    }
    if (stop.empty() && (waiting.size() == MAX_WAITING_IMAGES ||
                         monotonic_seconds() - flushed_at >= FLUSH_INTERVAL_SECONDS)) {
      stop = flush_waiting(batch, folder, rows, waiting, entries, tally, out);
      flushed_at = monotonic_seconds();
    }
    out.show_count(tally.made + tally.already + tally.failed, rows.size());
    if (!stop.empty()) {
      out.notice(stop);
      break;
    }
  }
  if (const std::string stop = flush_waiting(batch, folder, rows, waiting, entries, tally, out);
      !stop.empty()) {
    out.notice(stop);
  }
  tally.signal = noted_signal();
  return show_batch_result(batch.settings, tally, rows.table.separator, joined(entries), out);
}

// The batch checked before anything is made, every problem listed: the table, each row, and each
// output already there against the image its row makes. Ends the run when there is a problem.
batch_rows checked_rows(const run_settings& settings, const csv_table& table, int folder,
                        const dmi_record& master, const dmi_record& given, problem_list& problems,
                        image_template& images) {
  batch_rows rows = check_rows(table, folder, !settings.expect, master, given, problems);
  if (!problems.empty()) {
    problems.refuse(*settings.batch_table);
  }
  if (!settings.expect) {
    find_images_made(rows, folder, *settings.output_file, images, problems);
  }
  if (!problems.empty()) {
    problems.refuse(*settings.batch_table);
  }
  return rows;
}

// A dry run: what the batch would make, and what is there already.
int show_dry_run(const run_settings& settings, const batch_rows& rows, reporter& out) {
  batch_tally tally;
  tally.rows = rows.size();
  tally.already = static_cast<std::size_t>(
      std::count(rows.there.begin(), rows.there.end(), output_state::made));
  tally.signal = noted_signal();
  return show_batch_result(settings, tally, rows.table.separator, "", out);
}

// The table at `path` read and parsed, its problems added to `problems`, and the SHA-256 of its
// text for the manifest: the text is not kept, as the table holds its cells.
csv_table read_batch_table(const std::string& path, problem_list& problems, sha256_digest& digest) {
  const std::string text = read_table(path);
  digest = sha256_of(text.data(), text.size());
  return parse_table(text, problems);
}

} // namespace

int run_batch(const run_settings& settings, const dmi_record& cmdline_record, reporter& out,
              command_shell& shell) {
  // A signal stops the batch between its steps, once what was made is said.
  const signal_deferral deferral;
  const std::string& table_path = *settings.batch_table;
  const unique_fd master = open_image_file(*settings.image_file, false, true);
  const unique_fd folder = open_output_folder(*settings.output_file);
  problem_list problems;
  sha256_digest table_sha256{};
  const csv_table table = read_batch_table(table_path, problems, table_sha256);
  run_log log = settings.log_path ? run_log(*settings.log_path) : run_log();
  const dmi_record given = batch_given_values(settings, cmdline_record, log);
  command_runner runner(out, log, shell);
  image_template images(master.get(), *settings.image_file, runner);
  batch_rows rows =
      checked_rows(settings, table, folder.get(), master_record(master.get(), *settings.image_file),
                   given, problems, images);
  if (settings.expect) {
    return check_batch_folder(settings, rows, folder.get(), images, out);
  }
  if (settings.dry_run || noted_signal() != 0) {
    return show_dry_run(settings, rows, out);
  }
  clear_stale_files(folder.get(), *settings.output_file, out);
  batch_manifest manifest =
      batch_manifest::open_to_append(folder.get(), *settings.output_file, out);
  const batch_sources sources{*settings.image_file, &images, table_path, table_sha256};
  image_writer writer(images);
  return make_images(batch_context{settings, master.get(), images, writer, manifest, sources},
                     folder.get(), rows, out);
}

dmi_record batch_row_values(const run_settings& settings, const dmi_record& cmdline_record) {
  const std::string& table_path = *settings.batch_table;
  problem_list problems;
  const csv_table table = parse_table(read_table(table_path), problems);
  check_given_values(cmdline_record, "");
  // The record the row's values go over is the chip's or the image's, read later: here they are
  // checked over the options' alone.
  dmi_record nothing;
  dmi_record_init(nothing);
  check_rows(table, -1, false, nothing, cmdline_record, problems);
  if (!problems.empty()) {
    problems.refuse(table_path);
  }
  return row_values(table, find_row(table, *settings.batch_row, table_path), problems);
}
