// An image file standing in for the chip as a run's target.
#pragma once

#include "flash_target/image_destination.h"
#include "flash_target/target.h"
#include "util/unique_fd.h"

#include <optional>
#include <string>

class image_target : public flash_target {
public:
  // Opens the image file at `path`: it must be a regular file of exactly 16 MiB. A run that
  // changes it in place (`will_change`, no `output_path`) takes an exclusive lock on it, refused
  // while another run holds one, and, unless it is a dry run, refuses a symbolic link; its
  // destination is the image file. A run that makes `output_path` only reads the image, so it
  // takes no lock; its destination is that file (see output_file_destination). A read follows a
  // link and takes no lock. Ends the run on failure with one line and nothing written.
  image_target(const std::string& path, const std::optional<std::string>& output_path,
               bool will_change, bool dry_run);

  void take_hold() override {}
  void make_working_files() override;
  void clear_stale_files(run_output& out) override;
  dmi_record read_record(command_runner& runner) override;
  void fetch_working_image(command_runner& runner) override;
  dmi_record fetch_record_to_carry(command_runner& runner) override;
  void put_back_working_image(command_runner& runner, bool holds_new_image) override;
  const char* update_start_line() const override {
    return "Updating image  ...\n";
  }
  const char* update_write_line() const override {
    return "Updating image ...\n";
  }
  std::string name() const override {
    return path_;
  }

private:
  std::string path_;
  bool will_change_;
  // Open for the whole run (and locked by a run that changes it in place).
  unique_fd image_;
  // Where a run that changes the image puts its result; unused for a read and a dry run.
  image_destination destination_;
};
