/* Blinks the LED on port A bit 0 every few milliseconds, for the boot tests. */
#include "fx2/generated/fx2regs.h"

__xdata __at(0x1F00) unsigned char marker;

void main(void) {
  unsigned int delay;
  marker = 0xB1;
  OEA |= 0x01;
  for (;;) {
    IOA ^= 0x01;
    for (delay = 0; delay < 2000; ++delay) {
    }
  }
}
