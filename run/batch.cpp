// A batch of images stamped from one master, in one process.
#include "run/batch.h"

#include "cbfs/cbfs_record.h"
#include "cbfs/image_record.h"
#include "cli/csv_table.h"
#include "cli/field_value.h"
#include "cli/value_rules.h"
#include "flash_target/image_destination.h"
#include "flash_target/image_file.h"
#include "record/record_json.h"
#include "record/text_escape.h"
#include "run/batch_bounds.h"
#include "run/given_values.h"
#include "run/json_output.h"
#include "system/file_checks.h"
#include "system/flash_geometry.h"
#include "system/leftovers.h"
#include "system/stale_files.h"
#include "util/failure.h"
#include "util/file_io.h"
#include "util/unique_fd.h"

#include <uuid/uuid.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace {

// A table is read whole; one of this size already holds far more rows than images fit on a disk.
constexpr off_t MAX_TABLE_SIZE = 64 << 20;

// A row to stamp: where it stands in the table, its output's name, the record its image gets.
struct row_plan {
  std::size_t line = 0;
  std::string output;
  dmi_record stored;
};

// What is wrong with the table, a row, or a cell: its line, its column (a name, or for a header
// cell its place), what, and the whole line that says it.
struct problem {
  std::size_t line = 0;
  std::string column;
  std::string text;
  std::string said;
};

// At most MAX_LISTED_PROBLEMS are kept, each bounded; the others are only counted.
class problem_list {
public:
  void add(std::size_t line, std::string column, std::string text) {
    if (is_full()) {
      return;
    }
    column = bounded_problem_text(std::move(column));
    text = bounded_problem_text(std::move(text));
    std::string said = "line " + std::to_string(line);
    said += column.empty() ? "" : ", column " + column;
    said += ": " + text;
    problems_.push_back({line, std::move(column), std::move(text), std::move(said)});
  }
  // A problem of the table's form, said as the table reader says it.
  void add(const csv_problem& found) {
    if (is_full()) {
      return;
    }
    const std::string said = bounded_problem_text(csv_problem_text(found));
    std::string column;
    if (found.column != 0) {
      column = found.column_name.empty() || found.kind == csv_problem_kind::unknown_column ||
                       found.kind == csv_problem_kind::repeated_column
                   ? std::to_string(found.column)
                   : found.column_name;
    }
    problems_.push_back(
        {found.line, bounded_problem_text(column), said.substr(said.find(": ") + 2), said});
  }
  // Counts problems found beyond those listed elsewhere (by the table's reader).
  void count_not_listed(std::size_t count) {
    unlisted_ += count;
  }
  bool empty() const {
    return problems_.empty();
  }
  // Ends the run, listing every problem: nothing is made.
  [[noreturn]] void refuse(const std::string& table) const {
    std::string message = format_text("Refusing batch table %s, nothing made:", table.c_str());
    item_list<table_problem> listed;
    for (const problem& each : problems_) {
      message += "\n" + each.said;
      listed.push_back({each.line, each.column, each.text});
    }
    if (unlisted_ != 0) {
      message += format_text("\nand %zu more", unlisted_);
    }
    throw run_failure(EXIT_TOOL_ERROR, failure_kind::refused_value, message, "")
        .with_path(table)
        .with_problems(std::move(listed), unlisted_);
  }

private:
  // Counts a problem that is not listed, when the list is full.
  bool is_full() {
    unlisted_ += problems_.size() == MAX_LISTED_PROBLEMS ? 1 : 0;
    return unlisted_ != 0;
  }

  item_list<problem> problems_;
  std::size_t unlisted_ = 0;
};

// Ends the run unless the table at `path` lies where no other user can change it, and, once
// open on `status`, is still the file the name leads to: read through another user's link, the
// words of a refused table could show a file that user may not read.
void refuse_untrusted_table(const std::string& path, const struct stat* status) {
  const path_verdict verdict = check_trusted_path(path, path_use::input);
  struct stat named;
  if (verdict.trusted() && status != nullptr &&
      (::stat(path.c_str(), &named) != 0 || !same_file(named, *status))) {
    fail(failure_kind::file, path, "Unable to open batch table %s: it was replaced\n",
         path.c_str());
  }
  if (!verdict.trusted()) {
    fail(failure_kind::file, path, "Unable to open batch table %s: %s\n", path.c_str(),
         verdict.error != 0 ? std::strerror(verdict.error) : verdict.refusal.c_str());
  }
}

// The table's text, read whole. Ends the run when it cannot be.
std::string read_table(const std::string& path) {
  refuse_untrusted_table(path, nullptr);
  // Not waiting on a FIFO: a table is a file.
  const unique_fd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat status;
  if (!file.valid() || ::fstat(file.get(), &status) != 0) {
    fail(failure_kind::file, path, "Unable to open batch table %s: %s\n", path.c_str(),
         std::strerror(errno));
  }
  // Checked again once open: a name another user filled in meanwhile leads to another file.
  refuse_untrusted_table(path, &status);
  if (!S_ISREG(status.st_mode) || status.st_size > MAX_TABLE_SIZE) {
    fail(failure_kind::file, path, "Batch table %s is not a regular file of at most %jd bytes\n",
         path.c_str(), static_cast<std::intmax_t>(MAX_TABLE_SIZE));
  }
  std::string text(static_cast<std::size_t>(status.st_size), '\0');
  if (read_all_at(file.get(), text.data(), text.size(), 0) != 0) {
    fail(failure_kind::file, path, "Unable to read batch table %s: %s\n", path.c_str(),
         std::strerror(errno));
  }
  return text;
}

// The problem with a row's output name, or "": a file name, no folder, none of the folder's files.
std::string output_fault(const std::string& name, const folder_names& existing) {
  if (name.empty()) {
    return "is empty";
  }
  if (name == "." || name == ".." || name.find('/') != std::string::npos) {
    return "names a folder: give the name of a file in the output folder";
  }
  if (has_control_byte(name)) {
    return "holds a control character";
  }
  if (existing.holds(name)) {
    return "exists already";
  }
  return "";
}

// The values a row gives, each taken and held to the value rules; a value refused is a problem.
dmi_record row_values(const csv_table& table, std::size_t row, problem_list& problems) {
  dmi_record values;
  dmi_record_init(values);
  const std::size_t line = table.row_lines[row];
  for (int column = 0; column < table.column_count; ++column) {
    if (column == table.output_column) {
      continue;
    }
    const field_id field = table.columns[column];
    const std::string cell(table.cell(row, column));
    std::string why;
    if (const auto broken = check_value_rules(field, cell)) {
      problems.add(line, field_name(field), broken->text);
    } else if (set_field_value(values, field, cell.c_str(), why) != value_result::taken) {
      problems.add(line, field_name(field), why.substr(0, why.find('\n')));
    } else if (field == FIELD_SYSTEM_UUID) {
      if (const auto uuid_broken = check_uuid_rules(dmi_record_uuid(values))) {
        problems.add(line, field_name(field), uuid_broken->text);
      }
    }
  }
  return values;
}

// A row's plan; a value it gives that is refused is a problem.
row_plan plan_row(const csv_table& table, std::size_t row, const dmi_record& master,
                  const dmi_record& given, problem_list& problems) {
  row_plan plan;
  plan.line = table.row_lines[row];
  plan.output = table.output_column >= 0 ? std::string(table.cell(row, table.output_column)) : "";
  const dmi_record values = row_values(table, row, problems);
  try {
    // The row's values over the options', over the file's, over the master's.
    plan.stored = stored_record(master, overlay_values(given, values));
  } catch (const run_failure& failure) {
    problems.add(plan.line, failure.subject(),
                 failure.message().substr(0, failure.message().find('\n')));
  }
  return plan;
}

// Checks every row, or lists every problem of the table and its rows. A row's plan is made again
// when its image is made, so memory does not grow with the table. Stops early, having refused
// nothing, when a signal interrupts the batch.
void check_rows(const run_settings& settings, const csv_reading& reading, int folder,
                const dmi_record& master, const dmi_record& given) {
  const csv_table& table = reading.table;
  problem_list problems;
  for (const csv_problem& each : reading.problems) {
    problems.add(each);
  }
  problems.count_not_listed(reading.problems_not_listed);
  const folder_names existing(folder);
  for (std::size_t row = 0; row < table.row_count(); ++row) {
    if (noted_signal() != 0) {
      return;
    }
    // A table without an output column is refused already; its rows' values are checked still.
    if (table.output_column >= 0) {
      const std::string output(table.cell(row, table.output_column));
      if (const std::string fault = output_fault(output, existing); !fault.empty()) {
        problems.add(table.row_lines[row], std::string(OUTPUT_COLUMN_NAME), fault);
      }
    }
    plan_row(table, row, master, given, problems);
  }
  for (const duplicate_value& duplicate : find_duplicate_values(table)) {
    const int column = duplicate.column;
    problems.add(duplicate.line,
                 column == table.output_column ? std::string(OUTPUT_COLUMN_NAME)
                                               : field_name(table.columns[column]),
                 "the same value as line " + std::to_string(duplicate.first_line));
  }
  if (!problems.empty()) {
    problems.refuse(*settings.batch_table);
  }
}

// The folder the images go to: one no other user can change. Ends the run when it is not.
unique_fd open_output_folder(const std::string& folder) {
  const path_verdict verdict = check_trusted_path(folder, path_use::folder);
  if (!verdict.trusted()) {
    fail(failure_kind::file, folder, "Unable to use output folder %s: %s\n", folder.c_str(),
         verdict.error != 0 ? std::strerror(verdict.error) : verdict.refusal.c_str());
  }
  unique_fd opened(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC));
  if (!opened.valid()) {
    fail(failure_kind::file, folder, "Unable to open output folder %s: %s\n", folder.c_str(),
         std::strerror(errno));
  }
  return opened;
}

// A whole image file read into memory.
std::unique_ptr<char[]> read_image(int fd, const std::string& path) {
  std::unique_ptr<char[]> bytes(new char[FLASH_IMAGE_SIZE]);
  if (read_all_at(fd, bytes.get(), FLASH_IMAGE_SIZE, 0) != 0) {
    fail(failure_kind::file, path, "Unable to read %s: %s\n", path.c_str(), std::strerror(errno));
  }
  return bytes;
}

// Whether two images are alike but for the record's 256 bytes.
bool alike_but_the_record(int first, const std::string& first_path, int second,
                          const std::string& second_path) {
  const auto one = read_image(first, first_path);
  const auto two = read_image(second, second_path);
  const std::size_t after = DMI_RECORD_OFFSET + DMI_RECORD_SIZE;
  return std::memcmp(one.get(), two.get(), DMI_RECORD_OFFSET) == 0 &&
         std::memcmp(one.get() + after, two.get() + after, FLASH_IMAGE_SIZE - after) == 0;
}

// Stamps the images of the rows planned, one after the other, each through cbfstool until two
// with different records show that cbfstool changes nothing else; from then on as the first
// with its own record. A row that fails is said and counted; the others go on.
class stamper {
public:
  stamper(const run_settings& settings, command_runner& runner, int master)
      : runner_(runner), master_(master), master_path_(*settings.image_file),
        folder_path_(*settings.output_file) {}

  // Makes the image of `row`. Ends the run (that row's) on failure.
  void make(const row_plan& row) {
    const std::string path = folder_path_ + (folder_path_.ends_with("/") ? "" : "/") + row.output;
    const image_destination destination = output_file_destination(path, master_, master_path_);
    working_files files = make_image_working_files(&destination);
    // Each step begins only while the batch goes on; an interrupted row's files go as it ends.
    stop_if_interrupted();
    if (fast_) {
      copy_image_for(template_.get(), files.image, path);
      write_record(files.image, row.stored);
    } else {
      copy_image_for(master_, files.image, path);
      update_cbfs_record(runner_, row.stored, files);
    }
    stop_if_interrupted();
    // Read back: the image holds the record meant for it before it takes its name.
    if (std::memcmp(read_dmi_record(files.image).bytes, row.stored.bytes, DMI_RECORD_SIZE) != 0) {
      fail(failure_kind::image, path, "Image %s does not hold the record meant for it\n",
           files.image.c_str());
    }
    if (!fast_ && !decided_) {
      learn_from(files.image, path, row.stored);
    }
    stop_if_interrupted();
    place_working_copy(destination, files.image, files.image_leftover, master_);
  }

private:
  // Keeps the first image made through cbfstool as the template; compares the first one with a
  // different record against it.
  void learn_from(const std::string& image, const std::string& path, const dmi_record& stored) {
    unique_fd made(::open(image.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!made.valid()) {
      return;
    }
    if (!template_.valid()) {
      template_ = std::move(made);
      template_path_ = path;
      template_record_ = stored;
      return;
    }
    if (std::memcmp(stored.bytes, template_record_.bytes, DMI_RECORD_SIZE) == 0) {
      return; // the same record twice says nothing about what cbfstool changes
    }
    decided_ = true;
    fast_ = alike_but_the_record(template_.get(), template_path_, made.get(), path);
  }

  // Writes the record at its place in the image at `image`.
  static void write_record(const std::string& image, const dmi_record& record) {
    const unique_fd file(::open(image.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file.valid() ||
        write_all_at(file.get(), record.bytes, DMI_RECORD_SIZE, DMI_RECORD_OFFSET) != 0) {
      const int error = errno;
      fail_writing(error, image,
                   format_text("Unable to write %s: %s\n", image.c_str(), std::strerror(error)));
    }
  }

  command_runner& runner_;
  int master_;
  std::string master_path_;
  std::string folder_path_;
  unique_fd template_;
  std::string template_path_;
  dmi_record template_record_{};
  bool decided_ = false;
  bool fast_ = false;
};

// What the rows' plans are made from again as each image is made.
struct row_source {
  const csv_table& table;
  const dmi_record& master;
  const dmi_record& given;
};

// Makes the image of each row in turn, adding its document to `images`, until the rows end, a
// signal interrupts the batch (the row under way is abandoned: its working files go, and it is
// neither made nor failed), or a row fails in a way that every further row would.
void stamp_rows(const row_source& rows, stamper& stamp, reporter& out, batch_tally& tally,
                std::string& images) {
  for (std::size_t index = 0; index < tally.rows && noted_signal() == 0; ++index) {
    problem_list checked_already;
    const row_plan row = plan_row(rows.table, index, rows.master, rows.given, checked_already);
    json_object image;
    image.raw("line", std::to_string(row.line));
    image.text("output", row.output);
    std::string stop;
    try {
      stamp.make(row);
      ++tally.made;
      image.raw("status", "0");
      std::string record;
      append_record_json(record, row.stored);
      image.raw("record", record);
    } catch (const run_failure& failure) {
      if (noted_signal() != 0) {
        break;
      }
      ++tally.failed;
      out.notice(format_text("line %zu, %s: ", row.line, escape_control_bytes(row.output).c_str()) +
                 failure_words(failure) + "\n");
      add_failure(image, failure);
      stop = every_row_failure(failure);
    }
    images += images.empty() ? "" : ",";
    images += image.finish();
    out.show_count(tally.made + tally.failed, tally.rows);
    if (!stop.empty()) {
      out.notice(stop);
      break;
    }
  }
}

} // namespace

int run_batch(const run_settings& settings, const dmi_record& cmdline_record, reporter& out,
              command_shell& shell) {
  // A signal stops the batch between its steps, once what was made is said.
  const signal_deferral deferral;
  const std::string& table_path = *settings.batch_table;
  const unique_fd master = open_image_file(*settings.image_file, false, true);
  const unique_fd folder = open_output_folder(*settings.output_file);
  // Read whole, problems and all: the rows taken are checked too, so one run names every problem.
  const csv_reading reading = read_csv_table(read_table(table_path));
  const csv_table& table = reading.table;

  dmi_record config_record;
  dmi_record_init(config_record);
  if (settings.config_path) {
    config_record = load_config_file(*settings.config_path);
  }
  check_given_values(cmdline_record, "");
  check_given_values(config_record, settings.config_path.value_or(""));
  run_log log = settings.log_path ? run_log(*settings.log_path) : run_log();
  const dmi_record given = gather_values(settings, config_record, cmdline_record, log);
  const dmi_record master_record = read_dmi_record(master.get(), *settings.image_file);
  if (std::all_of(std::begin(master_record.bytes), std::end(master_record.bytes),
                  [](std::uint8_t byte) { return byte == 0xFF; })) {
    fail(failure_kind::image, *settings.image_file,
         "No record is stored in %s: its record area is erased\n", settings.image_file->c_str());
  }
  check_rows(settings, reading, folder.get(), master_record, given);

  batch_tally tally;
  tally.rows = table.row_count();
  std::string images;
  if (!settings.dry_run && noted_signal() == 0) {
    command_runner runner(out, log, shell);
    clear_stale_files(folder.get(), *settings.output_file, out);
    stamper stamp(settings, runner, master.get());
    const row_source rows{table, master_record, given};
    stamp_rows(rows, stamp, out, tally, images);
  }
  tally.signal = noted_signal();
  std::string summary = batch_summary(table_path, tally, settings.dry_run);
  if (table.separator != ',') {
    // The operator sees how the cells were split when they were not split at commas.
    summary.insert(summary.size() - 1,
                   format_text(" (read with '%c' between cells)", table.separator));
  }
  if (!settings.json) {
    out.show_text(summary);
  } else {
    json_object batch;
    add_opening(batch, settings);
    batch.text("table", table_path);
    batch.raw("made", std::to_string(tally.made));
    batch.raw("failed", std::to_string(tally.failed));
    batch.raw("not_made", std::to_string(settings.dry_run ? 0 : tally.not_made()));
    if (tally.signal != 0) {
      batch.text("interrupted_by", signal_name(tally.signal));
    }
    batch.raw("images", "[" + images + "]");
    const std::string document = batch.finish() + "\n";
    out.progress(summary);
    if (out.write_document(document) != 0) {
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
