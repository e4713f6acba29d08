// Port write requests and their execution through the I/O privilege device.
#pragma once

#include <cstdint>

// One output to an x86 I/O port. access and width describe the request and are carried as they
// are; the output itself is always a 32-bit write of value to port.
struct port_write_request {
  std::uint32_t access;
  std::uint32_t port;
  std::uint32_t width;
  std::uint32_t value;
};

// access value of a write request.
constexpr std::uint32_t ACCESS_WRITE = 1;

// width, in bytes, of a doubleword output.
constexpr std::uint32_t WIDTH_DWORD = 4;

// The ports cleared, in the order they are written.
constexpr std::uint32_t IO_PORT_FIRST = 0x588;
constexpr std::uint32_t IO_PORT_SECOND = 0x584;

// The clearing request: a doubleword write of 0, aimed first at IO_PORT_FIRST.
constexpr port_write_request CLEAR_REQUEST{ACCESS_WRITE, IO_PORT_FIRST, WIDTH_DWORD, 0};

// Opens the I/O privilege device, writes request.value to request.port and closes the device.
// Returns only on success: if the device cannot be opened, prints the system's error text and
// "Error opening /dev/io" on standard error and exits with status 1.
void write_port(const port_write_request& request);

// Writes 0 to IO_PORT_FIRST and then to IO_PORT_SECOND, each under its own open of the device.
void clear_ports();
