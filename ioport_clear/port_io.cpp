// The I/O privilege device /dev/io and the x86 outl instruction, as FreeBSD provides them.
#include "ioport_clear/port_io.h"

#include <fcntl.h>
#include <unistd.h>

int open_io_device() {
  // FreeBSD grants the I/O privilege to a process holding /dev/io open for writing. Elsewhere
  // the device is missing and the open fails, which the caller reports.
  return open("/dev/io", O_WRONLY);
}

void out_port_dword(std::uint16_t port, std::uint32_t value) {
  // AT&T order, source first: %eax holds the value, %dx the port. Written out here rather than
  // through a library outl, since FreeBSD's outl(port, data) and glibc's outl(value, port) take
  // their arguments in opposite orders.
  asm volatile("outl %%eax, %%dx" : : "a"(value), "d"(port));
}

void close_io_device(int device) {
  close(device);
}
