// The journal of a flash write: the coreboot region as the run read it from the chip and the
// region meant for the chip, kept on disk in a root-only state folder until the write has
// succeeded, so a failed or cut-short write can always be told apart and put right.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

// The state folder is a build setting; without one, the place each system keeps such state.
#if !defined(VEK_STATE_FOLDER)
#if defined(__FreeBSD__)
#define VEK_STATE_FOLDER "/var/db/vek_smbios_util"
#else
#define VEK_STATE_FOLDER "/var/lib/vek_smbios_util"
#endif
#endif
constexpr const char* STATE_FOLDER = VEK_STATE_FOLDER;

// The journal's two files in the state folder. Each is a sparse file of the chip's size holding
// the region at its offset, so flashrom takes it as it stands.
constexpr const char* REGION_BEFORE_FILE = "region_before.bin";
constexpr const char* REGION_MEANT_FILE = "region_meant.bin";

// What a journal found at the start of a run says about the chip.
enum class journal_finding {
  none,            // no journal
  write_completed, // the chip holds the region that was meant for it
  write_not_begun, // the chip holds the region as it was before: no write took place
  unknown,         // neither: the region may be partly written
};

// Judges the coreboot region read from the chip against the journal's regions (absent when
// their file is missing). The write starts only once the region meant for the chip is on disk,
// so a journal without it means that no write began.
journal_finding judge_journal(std::string_view chip, const std::optional<std::string>& before,
                              const std::optional<std::string>& meant);

// Why a state folder with this status (from lstat) may not hold the journal, or null: a link,
// not a folder, not owned by root, writable by group or others.
const char* unsafe_state_folder(const struct stat& status);

// Opens the state folder and returns its descriptor; with `make`, makes it (mode 0700) when it
// is missing, otherwise returns -1 for a missing folder. Ends the run when the folder is unsafe
// or cannot be made or opened.
int open_state_folder(bool make);

// The full path of the journal file `name`.
std::string journal_path(const char* name);

// The coreboot region of the image file at `path` (shorter when the file is short). Ends the
// run on failure.
std::string read_coreboot_region_bytes(const std::string& path);

// Writes the coreboot region of the image at `image_path` into the journal file `name` and
// makes it and the folder durable. Ends the run on failure.
void save_journal_region(int folder, const char* name, const std::string& image_path);

// The region the journal file `name` holds, absent when the file is missing. Ends the run on
// failure.
std::optional<std::string> load_journal_region(int folder, const char* name);

// Writes `opening` to standard error, then, on the same line, where the region's content before
// the write is kept and the command that puts it back.
void report_kept_region(const char* opening);

// Removes the journal, the region meant for the chip first, and makes the removal durable.
// Ends the run on failure.
void remove_journal(int folder);
