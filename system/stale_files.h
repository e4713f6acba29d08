// The names of the working files an image file run makes, the locks that mark them as a live
// run's, and the removal of those a killed run left behind.
#pragma once

#include "util/output.h"

#include <string>

// A working copy is made beside its destination as this prefix and six letters or digits.
constexpr const char* WORKING_COPY_PREFIX = ".vek_smbios_util.";
// A run's private folder is made in /tmp as this template (mkdtemp fills in the six letters).
constexpr const char* PRIVATE_FOLDER_TEMPLATE = "/tmp/vek_smbios_util.XXXXXX";
// The only names a private folder holds: the record file, and a dry run's working copy.
constexpr const char* RECORD_FILE_NAME = "dmi.bin";
constexpr const char* DRY_RUN_IMAGE_NAME = "image.bin";

// Takes the lock that marks the private folder just made and open on `fd` as a live run's, so
// no other run removes it as a leftover. Returns false when it cannot be had or the folder is
// already gone: another run took it for a leftover at that very moment, and the caller makes
// another.
bool hold_private_folder(int fd);

// Takes the shared lock that marks the folder open on `folder` as one a live run makes a working
// copy in, kept while that descriptor is open. (The working copy itself cannot carry the mark:
// cbfstool locks the image it edits and would wait for the run forever.) A sweep holding the
// folder at that moment is waited for, briefly; a lock that another user's process keeps is left
// to them, as the run goes on without it.
void hold_working_folder(int folder);

// Removes what killed runs left behind where this run works: the working copies in the folder
// open on `folder` (`folder_path` as the operator named it), unless a live run makes one there
// now, and the private folders in /tmp that no live run holds. Only a name of the tool's own is
// touched, and only when it is a regular file (a working copy) or a folder of mode 0700 holding
// nothing but the tool's own names (a private folder), of the running user, with one link, not
// followed, and not locked by any process (a cbfstool that outlived its run included); it goes
// only while its name still leads to the file checked. Says each removal through `out`.
// Anything it cannot check or remove stays, unsaid: it is no failure of the run.
void clear_stale_files(int folder, const std::string& folder_path, run_output& out);
