/* A small FX2 firmware for the board tests: takes over endpoint 0 (RENUM), enters its
   SUDAV handler through the INT2 autovector, and answers a few requests that exercise
   the endpoint-0 engine and the I2C master:
     GET_DESCRIPTOR device/configuration  by SUDPTR (identity 1234:5678)
     0x40 B1  OUT  up to 1024 bytes into a buffer, packet by packet
     0xC0 B2  IN   the buffer back, packet by packet
     0x40 B3       stall
     0x40 B4       never answered
     0xC0 B5  IN   SUDAV count, wrong-vector count
     0xC0 B6  IN   up to 64 bytes of chip 0 bank 0 (0x51) from offset wIndex over I2C
     0x40 B7       toggles the LED
     0xC0/0x40 B8  misuses endpoint 0 as wValue says (see HandleSetup), then acknowledges */
#include "fx2/generated/fx2regs.h"

__xdata __at(0x2000) unsigned char echo[1024];
__xdata __at(0x1F00) unsigned char marker;

volatile unsigned char sudavCount;
volatile unsigned char sudavPending;
volatile unsigned char wrongVectors;

/* INT2 jumps into the table below at entry 0x04 unless the autovector replaces the low
   byte with INT2IVEC (0x00 for SUDAV). */
__code __at(0x0043) unsigned char int2Jump[3] = {0x02, 0x02, 0x04};

__code __at(0x0300) unsigned char deviceDescriptor[18] = {
    18, 1, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 64, 0x34, 0x12, 0x78, 0x56, 0x01, 0x00, 0, 0, 0, 1};
__code __at(0x0320) unsigned char configDescriptor[18] = {
    9, 2, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0};

void AutovectorTable(void) __naked {
  __asm
  .area AVTAB (ABS,CODE)
  .org 0x0200
  ljmp sudav_entry
  .db 0
  ljmp wrong_entry
  .db 0
  ljmp wrong_entry
  .db 0
  ljmp wrong_entry
  .db 0
  ljmp wrong_entry
  .db 0
  ljmp wrong_entry
  .db 0
  ljmp wrong_entry
  .db 0
  ljmp wrong_entry
  .db 0
  ljmp wrong_entry
  .db 0
  ljmp wrong_entry
  .db 0
  .rept 22
  ljmp wrong_entry
  .db 0
  .endm
sudav_entry:
  push acc
  push dpl
  push dph
  anl 0x91,#0xEF
  mov dptr,#0xE65D
  mov a,#0x01
  movx @dptr,a
  inc _sudavCount
  mov _sudavPending,#1
  pop dph
  pop dpl
  pop acc
  reti
wrong_entry:
  push acc
  push dpl
  push dph
  anl 0x91,#0xEF
  mov dptr,#0xE65D
  mov a,#0xFF
  movx @dptr,a
  mov dptr,#0xE65F
  movx @dptr,a
  mov dptr,#0xE659
  movx @dptr,a
  mov dptr,#0xE65B
  movx @dptr,a
  inc _wrongVectors
  pop dph
  pop dpl
  pop acc
  reti
  .area CSEG (CODE)
  __endasm;
}

static void Ack(void) { EP0CS = bmEP0CS_HSNAK; }
static void Stall(void) {
  EP0CS = bmEP0CS_STALL;
  EP0CS = bmEP0CS_STALL | bmEP0CS_HSNAK;
}

static unsigned char WaitDone(void) {
  while (!(I2CS & bmI2CS_DONE)) {
  }
  return I2CS;
}

static unsigned char EepromRead(unsigned int offset, unsigned char count) {
  unsigned char i;
  I2CS = bmI2CS_START;
  I2DAT = 0xA2; /* 0x51, write */
  if (!(WaitDone() & bmI2CS_ACK)) goto fail;
  I2DAT = offset >> 8;
  if (!(WaitDone() & bmI2CS_ACK)) goto fail;
  I2DAT = offset & 0xFF;
  if (!(WaitDone() & bmI2CS_ACK)) goto fail;
  I2CS = bmI2CS_START;
  I2DAT = 0xA3; /* 0x51, read */
  if (!(WaitDone() & bmI2CS_ACK)) goto fail;
  if (count == 1) I2CS = bmI2CS_LASTRD;
  i = I2DAT;
  for (i = 0; i < count; ++i) {
    WaitDone();
    if (i + 2 == count) I2CS = bmI2CS_LASTRD;
    if (i + 1 == count) I2CS = bmI2CS_STOP;
    EP0BUF[i] = I2DAT;
  }
  while (I2CS & bmI2CS_STOP) {
  }
  return 1;
fail:
  I2CS = bmI2CS_STOP;
  while (I2CS & bmI2CS_STOP) {
  }
  return 0;
}

static void HandleSetup(void) {
  unsigned char type = SETUPDAT[0];
  unsigned char request = SETUPDAT[1];
  unsigned int length = SETUPDAT[6] | (SETUPDAT[7] << 8);
  unsigned int done = 0;
  unsigned char n, i;

  if (type == 0x80 && request == 6) {
    if (SETUPDAT[3] == 1) {
      SUDPTRH = 0x03;
      SUDPTRL = 0x00;
    } else if (SETUPDAT[3] == 2) {
      SUDPTRH = 0x03;
      SUDPTRL = 0x20;
    } else {
      Stall();
      return;
    }
    Ack();
  } else if (type == 0x40 && request == 0xB1 && length <= sizeof echo) {
    while (done < length) {
      EP0BCH = 0;
      EP0BCL = 0;
      while (EP0CS & bmEP0CS_BUSY) {
      }
      n = EP0BCL;
      for (i = 0; i < n; ++i) echo[done + i] = EP0BUF[i];
      done += n;
    }
    Ack();
  } else if (type == 0xC0 && request == 0xB2 && length <= sizeof echo) {
    while (done < length) {
      while (EP0CS & bmEP0CS_BUSY) {
      }
      n = length - done > 64 ? 64 : length - done;
      for (i = 0; i < n; ++i) EP0BUF[i] = echo[done + i];
      EP0BCH = 0;
      EP0BCL = n;
      done += n;
    }
    Ack();
  } else if (type == 0x40 && request == 0xB4) {
    /* never answered */
  } else if (type == 0xC0 && request == 0xB5) {
    EP0BUF[0] = sudavCount;
    EP0BUF[1] = wrongVectors;
    EP0BCH = 0;
    EP0BCL = 2;
    Ack();
  } else if (type == 0xC0 && request == 0xB6 && length >= 1 && length <= 64) {
    if (!EepromRead(SETUPDAT[4] | (SETUPDAT[5] << 8), length)) {
      Stall();
      return;
    }
    EP0BCH = 0;
    EP0BCL = length;
    Ack();
  } else if (type == 0x40 && request == 0xB7) {
    IOA ^= 0x01;
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
  OEA |= 0x01;
  I2CTL = bmI2CTL_400KHZ;
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
