// Where a mode chooses its kind of target. (The runs on the journal alone, --restore and
// --discard-journal, work on the chip whatever the options, through chip_target itself.)
#include "flash_target/target.h"

#include "flash_target/chip_target.h"
#include "flash_target/image_target.h"

std::unique_ptr<flash_target> open_target(const std::optional<std::string>& image_file,
                                          const std::optional<std::string>& output_file,
                                          bool will_change, bool dry_run) {
  if (image_file) {
    return std::make_unique<image_target>(*image_file, output_file, will_change, dry_run);
  }
  return std::make_unique<chip_target>(will_change, dry_run);
}
