// Control of the recording stand-in for the I/O privilege device and port output.
#pragma once

#include <string>

// Forgets the recorded calls. With fail_open = n > 0, the n-th open from now on fails with errno
// set to error; with 0, every open succeeds.
void fake_port_io_reset(int fail_open = 0, int error = 0);

// The calls recorded since the last reset, in order and space-separated, e.g.
// "open out 0x588=0 close".
const std::string& fake_port_io_calls();
