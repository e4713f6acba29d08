// The lock that lets one run at a time work on the board's flash.
#pragma once

#include "util/unique_fd.h"

// In a folder only root can write, so no other user can create or replace it.
constexpr const char* RUN_LOCK_PATH = "/var/run/vek_smbios_util.lock";

// Takes an exclusive lock (flock) on `path` without waiting and writes the process id into the
// file, so a second run can name the holder. The file is opened without following a link and
// used only when it is a regular file under the ownership rule (see system/file_checks.h: in a
// run as root, root's, with one link, that group and others cannot write).
// The lock lasts until the process and the outside programs it starts have ended: its descriptor
// stays open and, alone of the run's descriptors, is inherited by them. Ends the run with one
// line when another run holds the lock (naming its process, or, when that process has ended,
// saying that a program it started still holds it), or the file cannot be opened, used or
// locked.
// The lock is held while the descriptor returned is open.
unique_fd take_run_lock(const char* path = RUN_LOCK_PATH);
