/* A small FX2 firmware for the board tests: takes over endpoint 0 (RENUM), enters its SUDAV
   handler through the INT2 autovector and answers: 0x40 B4 never; 0xC0 B5 with its SUDAV and
   wrong-vector counts; 0xC0 B6 with 64 bytes after a delay (the host's IN tokens are NAKed);
   0xC0/0x40 B8 by misusing endpoint 0 as wValue says (see HandleSetup). The rest stalls. */
#include "fx2/generated/fx2regs.h"

__xdata __at(0x1F00) unsigned char marker;

volatile unsigned char sudavCount;
volatile unsigned char sudavPending;
volatile unsigned char wrongVectors;

/* INT2 jumps to the table's entry 0x04 unless the autovector puts INT2IVEC (SUDAV: 0x00). */
__code __at(0x0043) unsigned char int2Jump[3] = {0x02, 0x02, 0x04};

void SudavEntry(void) __interrupt {
  EXIF &= ~bmEXIF_USBINT;
  USBIRQ = bmUSBIRQ_SUDAV;
  ++sudavCount;
  sudavPending = 1;
}

void WrongEntry(void) __interrupt {
  EXIF &= ~bmEXIF_USBINT;
  USBIRQ = 0xFF;
  EPIRQ = 0xFF;
  IBNIRQ = 0xFF;
  NAKIRQ = 0xFF;
  ++wrongVectors;
}

void AutovectorTable(void) __naked {
  __asm
  .area AVTAB (ABS,CODE)
  .org 0x0200
  ljmp _SudavEntry
  .db 0
  .rept 31
  ljmp _WrongEntry
  .db 0
  .endm
  .area CSEG (CODE)
  __endasm;
}

static void Ack(void) { EP0CS = bmEP0CS_HSNAK; }
static void Stall(void) {
  EP0CS = bmEP0CS_STALL;
  EP0CS = bmEP0CS_STALL | bmEP0CS_HSNAK;
}

static void HandleSetup(void) {
  unsigned char type = SETUPDAT[0];
  unsigned char request = SETUPDAT[1];
  unsigned int delay;

  if (type == 0x40 && request == 0xB4) {
    /* never answered */
  } else if (type == 0xC0 && request == 0xB5) {
    EP0BUF[0] = sudavCount;
    EP0BUF[1] = wrongVectors;
    EP0BCH = 0;
    EP0BCL = 2;
    Ack();
  } else if (type == 0xC0 && request == 0xB6) {
    for (delay = 0; delay < 500; ++delay) {
    }
    EP0BCH = 0;
    EP0BCL = 64;
    Ack();
  } else if ((type & 0x7F) == 0x40 && request == 0xB8) {
    EP0BCH = 0;
    if (SETUPDAT[2] == 0) {
      EP0BCL = 64; /* whatever wLength says */
    } else if (SETUPDAT[2] == 1) {
      EP0BCL = 1;
      EP0BCL = 1; /* while the first is still armed */
    } else if (SETUPDAT[2] == 2) {
      EP0BCL = 1;
      EP0BUF[0] = 1; /* while it is armed */
    } else if (SETUPDAT[2] == 4) {
      IBNIE = 0x01; /* EP0 IN-bulk-NAK, with NAKIE left 0 */
    }
    Ack(); /* 3: an OUT request acknowledged before its data */
  } else {
    Stall();
  }
}

/* Before the C runtime clears RAM: the host's next SETUP may follow the release at once. */
unsigned char _sdcc_external_startup(void) {
  USBCS |= bmUSBCS_RENUM;
  return 0;
}

void main(void) {
  marker = 0x5A;
  INTSETUP |= bmINTSETUP_AV2EN;
  USBIE |= bmUSBIE_SUDAV;
  EUSB = 1;
  EA = 1;
  for (;;) {
    if (sudavPending) {
      sudavPending = 0;
      HandleSetup();
    }
  }
}
