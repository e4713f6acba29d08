// The one voice of a run: the only writer of the standard streams. The steps hand it their lines
// (progress, warnings, the echoed commands and their statuses), main and run_tool their results
// and failures, and it writes them in the form the operator chose: today's text, or a JSON
// document on standard output with everything else on standard error; quiet, with nothing on
// standard output but the result and an outside program's output only when it fails.
#pragma once

#include "cli/options.h"
#include "flash_target/recovery.h"
#include "run/modes.h"
#include "util/failure.h"
#include "util/output.h"

#include <string>

enum class output_form { text, json };

class reporter : public run_output {
public:
  explicit reporter(output_form form, bool quiet = false);

  // The form and the quietness the operator chose.
  static reporter for_settings(const run_settings& settings);

  void progress(std::string_view line) override;
  void notice(std::string_view line) override;
  void flush() override;
  program_output programs_output() const override;

  // A text the operator asked for (the help, the version), or the help after a bad option: on
  // standard output, or, with a JSON document, on standard error.
  void show_text(std::string_view text);

  // A run's result: for a read, the field report of the record found (with -g, the values of the
  // fields named, one a line, as stored); for a dry run, the region an update would replace, the
  // fields that would change, and that nothing was written; with --json, the document alone. A
  // document that cannot be written (a reader that went away included) ends the run with 255,
  // saying what was stored when the run changed its target.
  void show_result(const run_settings& settings, const mode_result& result);

  // What --restore or --discard-journal did, said on the way already: with --json, its document
  // (the files discarded). A document that cannot be written ends the run with 255.
  void show_journal_result(const run_settings& settings,
                           const item_list<discarded_file>& discarded);

  // A failure: its message on standard error, after what standard output holds (the two messages
  // that have always gone there on standard output, unless it holds a JSON document); with
  // --json, the failure's document on standard output too.
  void show_failure(const run_settings& settings, const run_failure& failure);

  // How many of a batch's rows are done, on standard error when that is a terminal: one line,
  // rewritten as the count grows, ended when the last is done.
  void show_count(std::size_t done, std::size_t total);

  // Writes a whole JSON document on standard output. Returns 0, or -1 with errno set: a reader
  // that went away is such a failure, not a signal that ends the run.
  int write_document(std::string_view document);

private:
  output_form form_;
  bool quiet_;
};
