// What a run must remove when it ends: the files and folders it made for its own work. One owner
// for all of them, so every way a run ends (success, fail(), a failing outside program, or a
// hang-up, interrupt or termination signal) removes them; only SIGKILL leaves them behind.
#pragma once

enum class leftover_kind { file, folder };

// Notes `path` for removal when the run ends: a file is unlinked, a folder (emptied first by its
// own entries) removed. The path may not exist yet. The first call arranges the removal at exit
// and on SIGHUP, SIGINT and SIGTERM (a signal the run was started with ignored stays ignored; a
// handled one removes the leftovers, then ends the run by the same signal). Returns the entry's
// number, for forget_leftover. Ends the run when the path is too long or too many are noted.
int note_leftover(const char* path, leftover_kind kind);

// Takes entry `entry` off the list: the file is no longer the run's to remove (it has replaced
// the file it was made for).
void forget_leftover(int entry);

// Removes every noted leftover still on the list, the newest first, and empties the list. The
// end of a run does this anyway; a run that succeeds calls it to be tidy before it reports.
void remove_leftovers();
