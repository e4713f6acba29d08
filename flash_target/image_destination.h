// Where a run that changes an image file puts its result: over the image file itself, or as the
// -o file. Either way the result is made as a working copy in the destination's folder and
// renamed into place once complete, so no half-written file is ever seen at the name. Every
// step works through a descriptor of that folder, so the folder checked is the folder used.
#pragma once

#include <sys/types.h>

#include <string>

struct image_destination {
  std::string path;   // the name the result takes
  std::string folder; // its folder, as given ("." for a bare name)
  std::string name;   // its name in that folder
  int folder_fd = -1; // that folder, open for the run
  bool in_place = false;
  // The result's permissions, and its owner when `keep_owner` (root replacing a file, as cp
  // would leave it).
  mode_t mode = 0;
  uid_t owner = 0;
  gid_t group = 0;
  bool keep_owner = false;
};

// The image file open on `image_fd` at `image_path` as the destination, its permissions and
// owner kept. Ends the run on failure.
image_destination image_file_destination(int image_fd, const std::string& image_path);

// The file `output_path` as the destination of the image open on `image_fd`: refused when it is
// the image file itself (by its name, or by a link to it) or a folder. A file there is replaced
// as cp would write over it, keeping its permissions (and, as root, its owner); a symbolic link
// there is replaced, never followed; a new file takes the image's permissions less the umask.
// Ends the run on failure.
image_destination output_file_destination(const std::string& output_path, int image_fd,
                                          const std::string& image_path);

// Makes the working copy: a new, empty, hidden file of mode 0600 in the destination's folder,
// noted as one of the run's leftovers (see system/leftovers.h). Returns its path. Ends the run
// on failure.
std::string make_working_copy(const image_destination& destination);

// Gives the complete working copy at `copy_path` the destination's permissions (and owner),
// flushes it to disk and renames it over the destination; it is then no longer a leftover. In
// place, first checks that the name still holds the image open on `image_fd`. Ends the run on
// failure, the destination then as it was.
void place_working_copy(const image_destination& destination, const std::string& copy_path,
                        int image_fd);
