// The checks on the files the tool uses: whether another user may have picked them, and whether
// they are what they must be. Every check returns its verdict; the caller words the refusal.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// The folder part of a path: "." for a bare name, "/" for a file in the root.
std::string folder_of(const std::string& path);

// Whether two status records (from stat, lstat or fstat) describe the same file: the same
// device and inode, whatever the paths.
bool same_file(const struct stat& a, const struct stat& b);

// Whether `owner` is a user the tool trusts with the files it uses: root or the running user.
// Inside a user namespace the overflow id (65534) that stands for every user the namespace does
// not map counts too, as long as the namespace maps no user of its own to it: the process holds
// no privilege over such files, so it can do nothing to them that its user could not.
bool is_trusted_owner(uid_t owner);

// The one ownership rule, for every file and folder whose content or place the run trusts: it is
// owned by root or the running user (see is_trusted_owner); neither its group nor others may write
// it (a sticky folder, as /tmp is, excepted: no one may remove or rename what is not theirs
// there); and a file has one link, since another name of it could be another user's to change.
// A device is judged by its owner alone.
enum class ownership_fault { none, other_owner, writable_by_others, several_links };
ownership_fault ownership_fault_of(const struct stat& status);

// The fault in words, to follow what it concerns ("file /tmp/a.rom", "it"): "is owned by uid
// 1001", "is writable by group or others", "has more than one link"; empty for none.
std::string ownership_words(ownership_fault fault, const struct stat& status);

// Why the file described by `status` (from lstat or fstat) cannot be taken as one of the run's
// own files, in words that follow "it": "is a symbolic link", "is not a regular file", or a fault
// of the ownership rule; empty when it can.
std::string own_file_fault(const struct stat& status);

// Whether the folder holding `path` is sticky and every user may write to it, like /tmp.
bool in_shared_folder(const std::string& path);

// Which file a path names: one the run reads (an image); one it opens and writes (the log, a
// copy); one it makes anew and renames over the name (the -o file), which replaces whatever is
// there rather than writing into it; or a folder the run keeps files in.
enum class path_use { input, output, replaced, folder };

// The verdict on a path: trusted, refused with a reason naming the path element at fault, or not
// checkable (errno of the element that could not be looked at).
struct path_verdict {
  std::string refusal;
  int error = 0;

  bool trusted() const {
    return refusal.empty() && error == 0;
  }
};

// Whether no other user can choose the file that `path` leads to, now or later in the run. Every
// folder from / down to the file (relative paths from the working folder; symbolic links, which
// must belong to a trusted owner, followed) must belong to a trusted owner and not be writable by
// group or others unless it is sticky. The file, when it exists, must be a regular file of a
// trusted owner with one link; an output may also be a character device of root's (/dev/null);
// a folder is held to the rule of the folders above it. An output in a sticky world-writable
// folder is left to open_output_file's own rules; a replaced file gets no such leave, and a
// symbolic link at its name must lead to a file. A missing file is trusted (its folder decides),
// a missing folder is an error (ENOENT).
path_verdict check_trusted_path(const std::string& path, path_use use);

// Why another user may have chosen or filled the input at `path`, described by `status` (from
// stat, or fstat once open), in words that follow the path; empty when no one could. A regular
// file must lie where the trusted-path rule holds (see check_trusted_path); a pipe or a device,
// which no path leads to (-c /dev/stdin, -c <(...)), must keep the ownership rule itself.
std::string input_fault(const std::string& path, const struct stat& status);

// Takes an exclusive flock on `fd` without waiting.
enum class lock_result { taken, held, failed };
lock_result lock_exclusively(int fd);

// Why a file cannot be a whole flash image (a regular file of exactly 16 MiB), or none.
enum class image_fault { none, not_regular, wrong_size };
image_fault image_file_fault(const struct stat& status);
