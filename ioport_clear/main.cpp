// ioport_clear: clears the I/O ports 0x588 and 0x584 by writing 0 to each.
#include "ioport_clear/port_write.h"

int main() {
  clear_ports();
  return 0;
}
