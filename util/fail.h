// The one way a run of vek_smbios_util ends early, and the exit status of the tool's own failures.
#pragma once

// Exit status for every failure of the tool's own, and for an outside program that ended
// abnormally.
constexpr int EXIT_TOOL_ERROR = 255;

// Writes the formatted message to standard error as it stands (the caller gives its line end)
// and ends the run with EXIT_TOOL_ERROR.
[[noreturn, gnu::format(printf, 1, 2)]] void fail(const char* format, ...);

// Ends the run with `status` after writing out what the standard streams still hold.
[[noreturn]] void end_run(int status);
