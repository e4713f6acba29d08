// Recording stand-in for the I/O privilege device and port output, linked into the tests.
#include "ioport_clear/port_io_fake.h"

#include "ioport_clear/port_io.h"

#include <cerrno>
#include <cstdio>

namespace {

constexpr int FAKE_DEVICE = 42;

std::string recorded;
int opens = 0;
int failing_open = 0;
int failing_errno = 0;

void record(const std::string& call) {
  recorded += recorded.empty() ? call : " " + call;
}

} // namespace

void fake_port_io_reset(int fail_open, int error) {
  recorded.clear();
  opens = 0;
  failing_open = fail_open;
  failing_errno = error;
}

const std::string& fake_port_io_calls() {
  return recorded;
}

int open_io_device() {
  record("open");
  if (++opens == failing_open) {
    errno = failing_errno;
    return -1;
  }
  return FAKE_DEVICE;
}

void out_port_dword(std::uint16_t port, std::uint32_t value) {
  char call[32];
  std::snprintf(call, sizeof call, "out %#x=%u", static_cast<unsigned>(port),
                static_cast<unsigned>(value));
  record(call);
}

void close_io_device(int device) {
  // A close of anything but the descriptor open returned shows up in the record.
  record(device == FAKE_DEVICE ? "close" : "close(" + std::to_string(device) + ")");
}
