// Access to x86 I/O ports: the I/O privilege device and the port output instruction.
#pragma once

#include <cstdint>

// Opens the I/O privilege device for writing; while it is open the process may execute the I/O
// instructions. Returns its descriptor, or -1 with errno set.
int open_io_device();

// Writes the doubleword value to the I/O port (one 32-bit output instruction).
void out_port_dword(std::uint16_t port, std::uint32_t value);

// Closes the I/O privilege device opened by open_io_device.
void close_io_device(int device);
