// The flash write and its signal shield.
#include "flash_target/flash_write.h"

flash_write_shield::flash_write_shield() {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (std::size_t i = 0; i < SIGNAL_COUNT; ++i) {
    ::sigaction(SIGNALS[i], &ignore, &saved_[i]);
  }
}

flash_write_shield::~flash_write_shield() {
  if (held_) {
    return;
  }
  for (std::size_t i = 0; i < SIGNAL_COUNT; ++i) {
    ::sigaction(SIGNALS[i], &saved_[i], nullptr);
  }
}

int run_flash_write(command_runner& runner, const std::string& layout, const std::string& image) {
  command_buffer command;
  format_command(command, "%s -l %s -i coreboot -w %s", FLASHROM_PROGRAM,
                 shell_quote(layout).c_str(), shell_quote(image).c_str());
  return runner.run_status(command, command_log::logged);
}
