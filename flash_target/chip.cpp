// Flash region transfer.
#include "flash_target/chip.h"

#include "flash_target/flash_write.h"
#include "flash_target/journal.h"
#include "system/working_files.h"
#include "util/failure.h"
#include "util/file_io.h"
#include "util/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

void write_bios_layout(const std::string& path) {
  unique_fd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  unique_stream stream(file.valid() ? ::fdopen(file.get(), "w") : nullptr);
  if (stream == nullptr) {
    refuse_layout_file(path);
  }
  file.release(); // the stream owns it now
  std::FILE* layout = stream.get();
  // flashrom's layout lines: inclusive bounds, the descriptor in lower-case hexadecimal digits,
  // the others in capitals, as the file has always read.
  std::fprintf(layout, "0x%08jx:0x%08jx ifd\n", std::intmax_t{0},
               static_cast<std::intmax_t>(DESCRIPTOR_SIZE - 1));
  std::fprintf(layout, "0x%08jX:0x%08jX midrom\n", static_cast<std::intmax_t>(DESCRIPTOR_SIZE),
               static_cast<std::intmax_t>(COREBOOT_REGION_OFFSET - 1));
  std::fprintf(layout, "0x%08jX:0x%08jX coreboot\n",
               static_cast<std::intmax_t>(COREBOOT_REGION_OFFSET),
               static_cast<std::intmax_t>(FLASH_IMAGE_SIZE - 1));
  if (std::fclose(stream.release()) != 0) {
    refuse_layout_file(path);
  }
}

void read_coreboot_region(command_runner& runner, const working_files& files) {
  // flashrom writes its image through a link planted at the working image's fixed name; that
  // could overwrite any file as root, so such a link ends the run before flashrom starts.
  struct stat status;
  if (::lstat(files.image.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
    fail(failure_kind::file, files.image,
         "Refusing to read the flash into %s: it is a symbolic link\n", files.image.c_str());
  }
  runner.out().progress("Reading coreboot region...\n");
  command_buffer command;
  format_command(command, "%s -l %s -i coreboot -r %s", FLASHROM_PROGRAM,
                 shell_quote(files.layout).c_str(), shell_quote(files.image).c_str());
  runner.out().progress(format_text("Reading coreboot region...%s \n", command));
  runner.run(command, command_log::logged);
  // Before anything is judged or kept from it: a working image of another size holds no chip.
  if (::lstat(files.image.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size != FLASH_IMAGE_SIZE) {
    fail(failure_kind::image, files.image, "Incorrect flash image file size.\n");
  }
}

void load_working_region(const working_files& files, region_buffer& region) {
  const unique_fd image(::open(files.image.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!image.valid() || read_region(image.get(), region) != 0) {
    fail(failure_kind::file, files.image, "Unable to read %s: %s\n", files.image.c_str(),
         std::strerror(errno));
  }
}

int write_back_region_before(command_runner& runner, const std::string& layout) {
  return run_flash_write(runner, layout, journal_path(REGION_BEFORE_FILE));
}
