// Port writes through the I/O privilege device.
#include "ioport_clear/port_write.h"

#include "ioport_clear/port_io.h"

#include <cstdio>
#include <cstdlib>

void write_port(const port_write_request& request) {
  const int device = open_io_device();
  if (device < 0) {
    // No prefix: the first line is the system's error text alone.
    std::perror(nullptr);
    std::fputs("Error opening /dev/io\n", stderr);
    std::exit(1);
  }
  // x86 port numbers are 16 bits wide.
  out_port_dword(static_cast<std::uint16_t>(request.port), request.value);
  close_io_device(device);
}

void clear_ports() {
  port_write_request request = CLEAR_REQUEST;
  write_port(request);
  request.port = IO_PORT_SECOND;
  write_port(request);
}
