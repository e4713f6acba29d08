// Flash region transfer.
#include "flash/flash_region.h"

#include "flash/command_runner.h"
#include "flash/flash_files.h"
#include "flash/working_files.h"
#include "util/fail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace {

constexpr unsigned MIDROM_END = 0xBFFFFF;
constexpr unsigned COREBOOT_START = 0xC00000;
constexpr unsigned COREBOOT_END = 0xFFFFFF;

} // namespace

int write_bios_layout(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    return -1;
  }
  std::FILE* layout = ::fdopen(fd, "w");
  if (layout == nullptr) {
    ::close(fd);
    return -1;
  }
  std::fprintf(layout, "0x00000000:0x00000fff ifd\n");
  std::fprintf(layout, "0x00001000:0x%08X midrom\n", MIDROM_END);
  std::fprintf(layout, "0x%08X:0x%08X coreboot\n", COREBOOT_START, COREBOOT_END);
  std::fclose(layout);
  return 0;
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

void write_coreboot_region(const working_files& files) {
  check_working_files(files);
  std::printf("Writing coreboot region...\n");
  command_buffer command;
  format_command(command, "%s -l %s -i coreboot -w %s", FLASHROM_PROGRAM,
                 shell_quote(files.layout).c_str(), shell_quote(files.image).c_str());
  run_command(command, command_log::logged);
}
