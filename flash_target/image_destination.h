// Where a run that changes an image file puts its result: over the image file itself, or as the
// -o file. Either way the result is made as a working copy in the destination's folder and
// renamed into place once complete, so no half-written file is ever seen at the name. Every
// step works through a descriptor of that folder, so the folder checked is the folder used.
#pragma once

#include "system/leftovers.h"
#include "util/unique_fd.h"

#include <sys/types.h>

#include <string>

struct image_destination {
  std::string path;        // the name the result takes
  std::string folder_path; // its folder, as given ("." for a bare name)
  std::string name;        // its name in that folder
  unique_fd folder;        // that folder, open for the run
  bool in_place = false;
  // In place, the image file's permissions, and its owner when `keep_owner` (root replacing a
  // file, as cp would leave it), given to the working copy before it replaces the image. Unused
  // for the -o file, which is always a new file of the running user's, made with its permissions.
  mode_t mode = 0;
  uid_t owner = 0;
  gid_t group = 0;
  bool keep_owner = false;
};

// Ends the run with a failure about the file at `path` that could not be made or written, saying
// `message` and carrying the system's error number `error`: a batch stops on a full disk.
[[noreturn]] void fail_writing(int error, const std::string& path, std::string message);

// The image file open on `image_fd` at `image_path` as the destination, its permissions and
// owner kept. Ends the run on failure.
image_destination image_file_destination(int image_fd, const std::string& image_path);

// The file `output_path` as the destination of the image open on `image_fd`. A symbolic link at
// the name is refused, wherever it leads (/dev/stdout included). The path must be trusted as a
// replaced file (see check_trusted_path): what is there must be a regular file of root's or the
// running user's with one link, wherever it lies, so a device, a FIFO or another user's file is
// refused; and it must not be the image file itself nor a folder. The result is always a new file
// of the running user's, with permissions 0644 less the umask, renamed over the name: it never
// takes the owner or permissions of a file that was there. Ends the run on failure.
image_destination output_file_destination(const std::string& output_path, int image_fd,
                                          const std::string& image_path);

// Makes the working copy: a new, empty, hidden file in the destination's folder, named
// .vek_smbios_util.XXXXXX whatever the destination's name, so a name of any length leaves room
// for it. In place it is made with mode 0600; for the -o file with the file's own permissions,
// 0644 less the umask, so it is never changed before the rename. Noted as one of the run's
// leftovers (see system/leftovers.h), owned by `copy`; the destination's folder is held as one a
// live run works in (see hold_working_folder) while `destination` lives. Returns its path. Ends
// the run on failure.
std::string make_working_copy(const image_destination& destination, leftover& copy);

// When the folder of a placed copy is flushed to disk, so the new name survives a power cut: at
// once, or by the caller, who has more to flush with it (a batch: the folder once for the images of
// about a second, with the manifest and their lines). The copy itself is always flushed before its
// rename, so the name never leads to an image that is not whole on disk.
enum class flush { now, by_caller };

// Renames the complete working copy at `copy_path`, flushed to disk, over the destination, its
// folder flushed as `when` says; it is then no longer a leftover (`copy` keeps it). In place, it is
// first given the image file's permissions (and owner), and the name is checked to still hold the
// image open on `image_fd`. Ends the run on failure, the destination then as it was (a rename
// refused, as in a sticky folder over another user's file, included).
void place_working_copy(const image_destination& destination, const std::string& copy_path,
                        leftover& copy, int image_fd, flush when = flush::now);
