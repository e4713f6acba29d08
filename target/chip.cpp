// Flash region transfer.
#include "target/chip.h"

#include "system/command_runner.h"
#include "system/flash_files.h"
#include "system/working_files.h"
#include "util/fail.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace {

constexpr unsigned MIDROM_END = 0xBFFFFF;
constexpr unsigned COREBOOT_START = 0xC00000;
constexpr unsigned COREBOOT_END = 0xFFFFFF;

// While it lives, the signals of a terminal (interrupt, quit, hang-up) and a plain kill are
// ignored; the dispositions before are put back after. An ignored disposition passes to the
// shell and flashrom (system() hands SIGINT and SIGQUIT on as the caller had them), so a
// flash write once started runs to its end and its real status is reported.
class termination_signals_ignored {
public:
  termination_signals_ignored() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (std::size_t i = 0; i < SIGNAL_COUNT; ++i) {
      ::sigaction(SIGNALS[i], &ignore, &saved_[i]);
    }
  }
  ~termination_signals_ignored() {
    for (std::size_t i = 0; i < SIGNAL_COUNT; ++i) {
      ::sigaction(SIGNALS[i], &saved_[i], nullptr);
    }
  }
  termination_signals_ignored(const termination_signals_ignored&) = delete;
  termination_signals_ignored& operator=(const termination_signals_ignored&) = delete;

private:
  static constexpr std::size_t SIGNAL_COUNT = 4;
  static constexpr int SIGNALS[SIGNAL_COUNT] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
  struct sigaction saved_[SIGNAL_COUNT];
};

// Runs the flash write with the termination signals ignored and returns the status the run ends
// with for it, 0 for success.
int run_shielded_write(const char* command) {
  const termination_signals_ignored shield;
  return run_command_status(command, command_log::logged);
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

void write_coreboot_region(const working_files& files) {
  check_working_files(files);
  std::printf("Writing coreboot region...\n");
  command_buffer command;
  format_command(command, "%s -l %s -i coreboot -w %s", FLASHROM_PROGRAM,
                 shell_quote(files.layout).c_str(), shell_quote(files.image).c_str());
  if (const int status = run_shielded_write(command)) {
    std::fprintf(stderr,
                 "The coreboot region of the flash may be partly written; the image meant for it "
                 "is %s\n",
                 files.image.c_str());
    end_run(status);
  }
}
