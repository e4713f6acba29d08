// The flashrom run that writes the coreboot region to the chip, and the shield it runs under.
#pragma once

#include "system/command_runner.h"

#include <signal.h>

#include <cstddef>
#include <string>

// The program part of every flashrom command line.
constexpr const char* FLASHROM_PROGRAM = "flashrom -p internal:boardmismatch=force";

// While it lives, the signals of a terminal (interrupt, quit, hang-up), a plain kill and a
// broken pipe are ignored; the dispositions before are put back after. An ignored disposition
// passes to the shell and flashrom (system() hands SIGINT and SIGQUIT on as the caller had
// them), so a flash write once started runs to its end and its real status is reported, and
// output to a reader that went away fails with an error instead of killing the write.
class flash_write_shield {
public:
  flash_write_shield();
  ~flash_write_shield();
  flash_write_shield(const flash_write_shield&) = delete;
  flash_write_shield& operator=(const flash_write_shield&) = delete;

  // Keeps the signals ignored to the end of the run: a write that failed is then reported, and
  // the run ends with its status, whatever signal comes while the failure makes its way up.
  void hold() {
    held_ = true;
  }

private:
  bool held_ = false;
  static constexpr std::size_t SIGNAL_COUNT = 5;
  static constexpr int SIGNALS[SIGNAL_COUNT] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE};
  struct sigaction saved_[SIGNAL_COUNT];
};

// Runs flashrom to write the coreboot region of the 16 MiB `image` to the chip, with the layout
// file `layout`, logged, and prints its status. Returns 0 when it succeeded, otherwise the
// status the run ends with for it. Meant to run under a flash_write_shield.
int run_flash_write(command_runner& runner, const std::string& layout, const std::string& image);
