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
  // Whether an outside program's standard output must go to standard error: with a JSON
  // document, standard output holds the document alone.
  virtual bool programs_to_standard_error() const = 0;
};
