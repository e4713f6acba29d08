// The files named on the command line, checked against each other.
#include "run/named_files.h"

#include "system/file_checks.h"
#include "util/failure.h"

#include <sys/stat.h>

#include <optional>
#include <string>

namespace {

struct named_file {
  const char* option;
  const std::optional<std::string>& path;
};

bool name_same_file(const named_file& a, const named_file& b) {
  struct stat first;
  struct stat second;
  return a.path && b.path && ::stat(a.path->c_str(), &first) == 0 &&
         ::stat(b.path->c_str(), &second) == 0 && same_file(first, second);
}

} // namespace

void refuse_outputs_over_inputs(const run_settings& settings) {
  const named_file outputs[] = {
      {"-b", settings.copy_path}, {"-l", settings.log_path}, {"-o", settings.output_file}};
  const named_file inputs[] = {{"-f", settings.image_file},
                               {"-u", settings.bios_file},
                               {"-c", settings.config_path},
                               outputs[0],
                               outputs[2]};
  for (const named_file& output : outputs) {
    for (const named_file& input : inputs) {
      if (&input.path != &output.path && name_same_file(output, input)) {
        fail(failure_kind::file, *output.path, "Refusing %s %s: it is the same file as %s %s\n",
             output.option, output.path->c_str(), input.option, input.path->c_str());
      }
    }
  }
}
