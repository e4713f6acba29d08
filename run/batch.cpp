// A batch of images stamped from one master, in one process.
#include "run/batch.h"

#include "cbfs/image_record.h"
#include "flash_target/image_destination.h"
#include "flash_target/image_file.h"
#include "record/record_json.h"
#include "record/text_escape.h"
#include "run/batch_check.h"
#include "run/batch_manifest.h"
#include "run/batch_plan.h"
#include "run/given_values.h"
#include "run/image_template.h"
#include "run/json_output.h"
#include "system/flash_geometry.h"
#include "util/failure.h"
#include "util/unique_fd.h"

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

// Makes the image of `row` as -o makes one: a working copy beside its name, the image written,
// its record read back, flushed to disk and renamed into place; then its line in the manifest.
// Ends the run (that row's) on failure.
void make_image(const batch_context& batch, const row_plan& row) {
  const std::string path = output_path(*batch.settings.output_file, row.output);
  const image_destination destination =
      output_file_destination(path, batch.master, *batch.settings.image_file);
  const image_view image = batch.images.image_of(row.stored);
  leftover copy_leftover;
  const std::string copy = make_working_copy(destination, copy_leftover);
  batch.writer.write(destination, copy, image);
  // Read back: the image holds the record meant for it before it takes its name.
  if (std::memcmp(read_dmi_record(copy).bytes, row.stored.bytes, DMI_RECORD_SIZE) != 0) {
    fail(failure_kind::image, path, "Image %s does not hold the record meant for it\n",
         copy.c_str());
  }
  // The folder is flushed with the image's line in the manifest.
  place_working_copy(destination, copy, copy_leftover, batch.master, folder_sync::by_caller);
  batch.manifest.append_image(batch.sources, row, batch.images.digest_of(image));
}

// Compares each output that is there already with the image its row makes: the same image is
// taken as made (and said so in its plan), another one is a problem of its row.
void find_images_made(item_list<row_plan>& rows, int folder, const std::string& folder_path,
                      image_template& images, problem_list& problems) {
  for (row_plan& row : rows) {
    if (row.there != output_state::image) {
      continue;
    }
    const output_check checked = check_output(
        folder, row.output, output_path(folder_path, row.output), images.image_of(row.stored));
    if (checked.verdict == output_verdict::matches) {
      row.there = output_state::made;
    } else {
      problems.add(row.line, std::string(OUTPUT_COLUMN_NAME),
                   "exists already, and is not the image this row makes");
    }
  }
}

// Lists in the manifest each image made before that it does not list yet: one whose batch was cut
// between the rename and its line.
void list_images_made(const batch_context& batch, const item_list<row_plan>& rows) {
  for (const row_plan& row : rows) {
    if (row.there == output_state::made && batch.manifest.listed(row.output) == nullptr) {
      batch.manifest.append_image(batch.sources, row,
                                  batch.images.digest_of(batch.images.image_of(row.stored)));
    }
  }
}

// What a row's failure says in a line, when its message is empty (an outside program failed).
std::string failure_words(const run_failure& failure) {
  if (!failure.message().empty()) {
    return failure.message();
  }
  return format_text("%s ended with status %d\n", failure.subject().c_str(), failure.status());
}

// How many rows of the batch did what.
struct batch_counts {
  std::size_t made = 0;
  std::size_t already = 0;
  std::size_t failed = 0;
};

// The batch's summary line: how many images were made (checked, in a dry run), were there
// already, and failed.
std::string batch_summary(const run_settings& settings, std::size_t rows,
                          const batch_counts& counts) {
  const char* table = settings.batch_table->c_str();
  const std::string already =
      counts.already == 0 ? "" : format_text(", %zu already there", counts.already);
  return settings.dry_run ? format_text("Batch table %s checked: %zu rows%s, nothing made\n", table,
                                        rows, already.c_str())
                          : format_text("Batch table %s: %zu images made%s, %zu failed\n", table,
                                        counts.made, already.c_str(), counts.failed);
}

// Shows the summary; with --json, the batch's document too. Returns the exit status.
int show_batch_result(const run_settings& settings, std::size_t rows, const batch_counts& counts,
                      const std::string& images, reporter& out) {
  const std::string summary = batch_summary(settings, rows, counts);
  if (!settings.json) {
    out.show_text(summary);
  } else {
    std::string document = json_opening(settings) + ",\"table\":";
    append_json_string(document, *settings.batch_table);
    document += ",\"made\":" + std::to_string(counts.made) +
                ",\"already_there\":" + std::to_string(counts.already) +
                ",\"failed\":" + std::to_string(counts.failed) + ",\"images\":[" + images + "]}\n";
    out.progress(summary);
    if (out.write_document(document) != 0) {
      out.notice(format_text("Unable to write the JSON document: %s\n", std::strerror(errno)));
      return EXIT_TOOL_ERROR;
    }
  }
  return counts.failed == 0 ? 0 : EXIT_TOOL_ERROR;
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

// Makes the image of each row not made before, one after the other; a row that fails is said and
// counted, and the others go on. Shows the result; returns the exit status.
int make_images(const batch_context& batch, const item_list<row_plan>& rows, reporter& out) {
  list_images_made(batch, rows);
  batch_counts counts;
  std::string images;
  for (const row_plan& row : rows) {
    std::string document = "{\"line\":" + std::to_string(row.line) + ",\"output\":";
    append_json_string(document, row.output);
    try {
      if (row.there == output_state::made) {
        ++counts.already;
        document += ",\"status\":0,\"already_there\":true,\"record\":";
      } else {
        make_image(batch, row);
        ++counts.made;
        document += ",\"status\":0,\"record\":";
      }
      append_record_json(document, row.stored);
    } catch (const run_failure& failure) {
      ++counts.failed;
      out.notice(format_text("line %zu, %s: ", row.line, escape_control_bytes(row.output).c_str()) +
                 failure_words(failure));
      append_failure_json(document, failure);
    }
    images += (images.empty() ? "" : ",") + document + "}";
    out.show_count(counts.made + counts.already + counts.failed, rows.size());
  }
  return show_batch_result(batch.settings, rows.size(), counts, images, out);
}

} // namespace

int run_batch(const run_settings& settings, const dmi_record& cmdline_record, reporter& out,
              command_shell& shell) {
  const std::string& table_path = *settings.batch_table;
  const unique_fd master = open_image_file(*settings.image_file, false, true);
  const unique_fd folder = open_output_folder(*settings.output_file);
  const std::string table_text = read_table(table_path);
  const csv_table table = parse_table(table_text, table_path);
  run_log log = settings.log_path ? run_log(*settings.log_path) : run_log();
  const dmi_record given = batch_given_values(settings, cmdline_record, log);
  problem_list problems;
  item_list<row_plan> rows =
      plan_rows(table, folder.get(), !settings.expect,
                master_record(master.get(), *settings.image_file), given, problems);
  if (!problems.empty()) {
    problems.refuse(table_path);
  }
  command_runner runner(out, log, shell);
  image_template images(master.get(), *settings.image_file, runner);
  if (settings.expect) {
    return check_batch_folder(settings, rows, folder.get(), images, out);
  }
  find_images_made(rows, folder.get(), *settings.output_file, images, problems);
  if (!problems.empty()) {
    problems.refuse(table_path);
  }
  if (settings.dry_run) {
    batch_counts counts;
    counts.already =
        static_cast<std::size_t>(std::count_if(rows.begin(), rows.end(), [](const row_plan& row) {
          return row.there == output_state::made;
        }));
    return show_batch_result(settings, rows.size(), counts, "", out);
  }
  batch_manifest manifest =
      batch_manifest::open_to_append(folder.get(), *settings.output_file, out);
  const batch_sources sources{*settings.image_file, master.get(), table_path, table_text};
  image_writer writer(images);
  return make_images(batch_context{settings, master.get(), images, writer, manifest, sources}, rows,
                     out);
}

dmi_record batch_row_values(const run_settings& settings, const dmi_record& cmdline_record) {
  const std::string& table_path = *settings.batch_table;
  const csv_table table = parse_table(read_table(table_path), table_path);
  check_given_values(cmdline_record, "");
  // The record the row's values go over is the chip's or the image's, read later: here they are
  // checked over the options' alone.
  dmi_record nothing;
  dmi_record_init(nothing);
  problem_list problems;
  plan_rows(table, -1, false, nothing, cmdline_record, problems);
  if (!problems.empty()) {
    problems.refuse(table_path);
  }
  return row_values(table, find_row(table, *settings.batch_row, table_path), problems);
}
