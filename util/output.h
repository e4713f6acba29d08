// Where a run's own lines go. The steps of a run hand them to an output; only the reporter at
// the top writes the standard streams, in the form the operator chose.
#pragma once

#include <string_view>

class run_output {
public:
  virtual ~run_output() = default;

  // A line of the run's progress ("Reading coreboot region..."), with its line end.
  virtual void progress(std::string_view line) = 0;
  // A warning or a note for the operator, with its line end.
  virtual void notice(std::string_view line) = 0;
  // Makes what was said so far reach its stream, before an outside program adds its own output.
  virtual void flush() = 0;
  // Where an outside program's output goes.
  enum class program_output {
    with_the_run,     // its standard output with the run's progress, its standard error too
    standard_error,   // both to standard error: standard output holds a JSON document alone
    shown_on_failure, // held back, and shown on standard error only when the program fails
  };
  virtual program_output programs_output() const = 0;
};
