// What the images of a batch are: the master stamped through cbfstool with each row's record,
// learnt from cbfstool itself and then, when cbfstool changes nothing but the record, made in
// memory; written to files, and hashed.
#pragma once

#include "flash_target/image_destination.h"
#include "record/dmi_record.h"
#include "system/command_runner.h"
#include "system/flash_files.h"
#include "util/sha256.h"
#include "util/unique_fd.h"

#include <memory>
#include <optional>
#include <string>

// A whole image in memory: `bytes` (16 MiB) with `record` at the record's place, whatever
// `bytes` holds there.
struct image_view {
  const char* bytes = nullptr;
  dmi_record record{};
};

// The images the master becomes. The first image asked for, and the first with another record,
// are stamped through cbfstool (a copy of the master in a private folder under /tmp, cbfstool's
// remove and add, as a single run does); when the two differ in their record's 256 bytes alone,
// every further image is the first with its own record at that place, which is what cbfstool
// would make of it; else each is stamped through cbfstool.
class image_template {
public:
  image_template(int master, std::string master_path, command_runner& runner)
      : master_(master), master_path_(std::move(master_path)), runner_(runner) {}

  // The image the master becomes with `record`, valid until the next call. Ends the run when
  // cbfstool fails or its image does not hold the record.
  image_view image_of(const dmi_record& record);

  // Whether images are now made in memory: cbfstool was seen to change the record alone.
  bool record_alone() const {
    return record_alone_;
  }
  // The file cbfstool last stamped, in the template's private folder: once images are made in
  // memory, it differs from each of them in the record alone.
  const std::string& stamped_file() const {
    return files_->image;
  }

  // The SHA-256 of `image`. For the images made in memory, the bytes before the record are
  // hashed once for all (the record's place is a multiple of SHA-256's block), so each costs
  // the hash of its record and the 64 KiB after it.
  sha256_digest digest_of(const image_view& image);

  // The SHA-256 of the master. Once an image is made, the master's bytes before the record are
  // hashed once for both when they are the image's too (cbfstool changes nothing before the
  // record), so the master costs a read and the hash of its last 64 KiB. Ends the run when the
  // master cannot be read.
  sha256_digest master_digest();

private:
  const char* stamp(const dmi_record& record, std::unique_ptr<char[]>& into);
  // The hash of the first image's bytes before the record, made once.
  const sha256& first_before_record();

  int master_;
  std::string master_path_;
  command_runner& runner_;
  std::optional<working_files> files_;
  std::unique_ptr<char[]> first_;
  dmi_record first_record_{};
  std::unique_ptr<char[]> latest_;
  bool decided_ = false;
  bool record_alone_ = false;
  std::optional<sha256> before_record_;
};

// Writes `image` into the empty file at `path`, which must not be a symbolic link, the working
// copy of `output_path`. Ends the run on failure, naming the output.
void write_image_file(const std::string& path, const image_view& image,
                      const std::string& output_path);

// Writes the images of a batch into their working copies. Once the images are made in memory,
// each is a copy of the file cbfstool last stamped (see image_template::stamped_file), with its
// own record then written at its place: the system's own copy between two files costs less than a
// write from memory, on some file systems far less. Until then each is written from memory.
class image_writer {
public:
  explicit image_writer(const image_template& images) : images_(images) {}

  // Writes `image` into the empty working copy at `path`, made for `destination`. Ends the run on
  // failure, naming the destination (with the system's error, see fail_writing).
  void write(const image_destination& destination, const std::string& path,
             const image_view& image);

private:
  const image_template& images_;
  unique_fd source_;
};
