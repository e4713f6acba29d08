// Flash region transfer.
#include "flash_target/chip.h"

#include "flash_target/flash_write.h"
#include "flash_target/journal.h"
#include "system/command_runner.h"
#include "system/flash_files.h"
#include "system/working_files.h"
#include "util/fail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace {

constexpr unsigned MIDROM_END = 0xBFFFFF;
constexpr unsigned COREBOOT_START = 0xC00000;
constexpr unsigned COREBOOT_END = 0xFFFFFF;

// Writes the journal's region from before the run back to the chip after the write failed,
// still under the write's shield, and says on standard error how the region was left.
void restore_after_failed_write(const working_files& files, int journal_folder) {
  if (write_back_region_before(files.layout) != 0) {
    return;
  }
  remove_journal(journal_folder);
  std::fputs("The coreboot region of the flash was restored to its content before the run\n",
             stderr);
}

} // namespace

void write_bios_layout(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  std::FILE* layout = fd < 0 ? nullptr : ::fdopen(fd, "w");
  if (layout == nullptr) {
    if (fd >= 0) {
      ::close(fd);
    }
    refuse_layout_file();
  }
  std::fprintf(layout, "0x00000000:0x00000fff ifd\n");
  std::fprintf(layout, "0x00001000:0x%08X midrom\n", MIDROM_END);
  std::fprintf(layout, "0x%08X:0x%08X coreboot\n", COREBOOT_START, COREBOOT_END);
  if (std::fclose(layout) != 0) {
    refuse_layout_file();
  }
}

void read_coreboot_region(const working_files& files) {
  // flashrom writes its image through a link planted at the working image's fixed name; that
  // could overwrite any file as root, so such a link ends the run before flashrom starts.
  struct stat status;
  if (::lstat(files.image.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
    fail("Refusing to read the flash into %s: it is a symbolic link\n", files.image.c_str());
  }
  std::printf("Reading coreboot region...\n");
  command_buffer command;
  format_command(command, "%s -l %s -i coreboot -r %s", FLASHROM_PROGRAM,
                 shell_quote(files.layout).c_str(), shell_quote(files.image).c_str());
  std::printf("Reading coreboot region...%s \n", command);
  run_command(command, command_log::logged);
}

int write_back_region_before(const std::string& layout) {
  std::printf("Restoring coreboot region...\n");
  const int status = run_flash_write(layout, journal_path(REGION_BEFORE_FILE));
  if (status != 0) {
    report_kept_region("The coreboot region of the flash may be partly written");
  }
  return status;
}

void write_coreboot_region(const working_files& files, int journal_folder) {
  check_working_files(files);
  if (journal_folder >= 0) {
    save_journal_region(journal_folder, REGION_MEANT_FILE, files.image);
  }
  std::printf("Writing coreboot region...\n");
  // Held to the end of the run when the write fails (end_run skips the destructor), so no
  // signal and no reader that went away stops the restore or its report.
  const flash_write_shield shield;
  const int status = run_flash_write(files.layout, files.image);
  if (status == 0) {
    if (journal_folder >= 0) {
      remove_journal(journal_folder);
    }
    return;
  }
  if (journal_folder >= 0) {
    restore_after_failed_write(files, journal_folder);
  } else {
    std::fprintf(stderr,
                 "The coreboot region of the flash may be partly written; the image meant for it "
                 "is %s\n",
                 files.image.c_str());
  }
  end_run(status);
}
