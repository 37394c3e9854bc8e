/* Stands in for a camera's own firmware left running when the tool holds the CPU: every USB
   and FIFO interrupt source on (EA 0: requests stay pending), SUDPTRCTL 0, an OUT packet armed
   and never read, endpoint 0 back with the chip (RENUM 0), and its boot EEPROM read over I2C
   without end (no STOP), so that the CPU is held in the middle of a transfer. */
#include "fx2/generated/fx2regs.h"

void main(void) {
  USBCS &= ~bmUSBCS_RENUM;
  SUDPTRCTL = 0;
  INTSETUP = bmINTSETUP_AV2EN | bmINTSETUP_AV4EN;
  USBIE = 0xFF;
  EPIE = 0xFF;
  IBNIE = 0xFF;
  NAKIE = 0xFF;
  USBERRIE = 0xFF;
  GPIFIE = 0xFF;
  EP2FIFOIE = 0xFF;
  EP4FIFOIE = 0xFF;
  EP6FIFOIE = 0xFF;
  EP8FIFOIE = 0xFF;
  EP0BCH = 0;
  EP0BCL = 0;
  I2CS = bmI2CS_START;
  I2DAT = 0xA3; /* 0x51, read */
  for (;;) {
    while (!(I2CS & bmI2CS_DONE)) {
    }
    (void)I2DAT; /* takes a byte and clocks in the next */
  }
}
