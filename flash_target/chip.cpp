// Flash region transfer.
#include "flash_target/chip.h"

#include "flash_target/flash_write.h"
#include "flash_target/journal.h"
#include "flash_target/recovery.h"
#include "system/command_runner.h"
#include "system/flash_files.h"
#include "system/working_files.h"
#include "util/fail.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned MIDROM_END = 0xBFFFFF;
constexpr unsigned COREBOOT_START = 0xC00000;
constexpr unsigned COREBOOT_END = 0xFFFFFF;

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
  // Before anything is judged or kept from it: a working image of another size holds no chip.
  if (::lstat(files.image.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size != FLASH_IMAGE_SIZE) {
    fail("Incorrect flash image file size.\n");
  }
}

void load_working_region(const working_files& files, region_buffer& region) {
  const unique_fd image(::open(files.image.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!image.valid() || read_region(image.get(), region) != 0) {
    fail("Unable to read %s: %s\n", files.image.c_str(), std::strerror(errno));
  }
}

int write_back_region_before(const std::string& layout) {
  const int status = run_flash_write(layout, journal_path(REGION_BEFORE_FILE));
  if (status != 0) {
    report_kept_region("The coreboot region of the flash may be partly written");
  }
  return status;
}

void write_coreboot_region(const working_files& files, const write_journal& journal) {
  check_working_files(files);
  if (journal.folder >= 0) {
    save_region_meant(journal.folder, journal.write_id, files.image, *journal.before);
  }
  std::printf("Writing coreboot region...\n");
  flash_write_shield shield;
  const int status = run_flash_write(files.layout, files.image);
  if (status == 0) {
    if (journal.folder >= 0) {
      remove_journal(journal.folder);
    }
    return;
  }
  // No signal and no reader that went away stops the restore or its report, nor the run's end
  // with the write's status.
  shield.hold();
  if (journal.folder >= 0) {
    restore_after_failed_write(journal.folder, files);
  } else {
    std::fprintf(stderr,
                 "The coreboot region of the flash may be partly written; the image meant for it "
                 "is %s\n",
                 files.image.c_str());
  }
  end_run(status);
}
