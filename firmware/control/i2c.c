#include "i2c.h"

#include "fx2regs.h"

/* Every wait for the controller is a bounded busy poll of I2CS: the CPU never idles, since
 * on the FX2 only a wakeup interrupt ends the idle mode. A poll takes at most 65536 passes
 * of 10 cycles at 48 MHz (MOVX stretched by one cycle: about 55 ms), far beyond a byte's
 * 90 us at 100 kHz on a healthy bus. The polls are in assembly: the time from the controller's DONE to the next
 * byte is lost to the bus, on every byte of a page. */

/* 1 while this firmware holds the bus: from a START the controller took until its STOP.
 * A STOP is only ever issued then; on an idle bus it would stay pending on the chip and
 * spoil the next START. */
static __data uint8_t bus_held;

/* Polls until I2CS shows DONE, or BERR (a controller that refused the byte sets no DONE;
 * looked at every 256 passes). Returns I2CS then, or 0 when the poll ran out. The compiler
 * does not look into these bodies, so they keep the registers they use. */
static uint8_t poll_done(void) __naked {
  /* clang-format off */
  __asm
    push  ar6
    push  ar7
    mov   dptr, #0xE678      ; I2CS
    mov   r6, #0
    mov   r7, #0
  00001$:
    movx  a, @dptr
    jb    acc.0, 00003$      ; DONE
    djnz  r6, 00001$
    jb    acc.2, 00003$      ; BERR
    djnz  r7, 00001$
    clr   a
  00003$:
    mov   dpl, a
    pop   ar7
    pop   ar6
    ret
  __endasm;
  /* clang-format on */
}

/* Polls until the controller has put the STOP on the bus: 1, or 0 if it never did. */
static uint8_t wait_stopped(void) __naked {
  /* clang-format off */
  __asm
    push  ar6
    push  ar7
    mov   dptr, #0xE678      ; I2CS
    mov   r6, #0
    mov   r7, #0
  00001$:
    movx  a, @dptr
    jnb   acc.6, 00002$      ; STOP cleared
    djnz  r6, 00001$
    djnz  r7, 00001$
    mov   dpl, #0
    sjmp  00003$
  00002$:
    mov   dpl, #1
  00003$:
    pop   ar7
    pop   ar6
    ret
  __endasm;
  /* clang-format on */
}

/* Waits for DONE or BERR. A bus error takes the bus from the master. */
static uint8_t wait_done(void) {
  uint8_t status = poll_done();
  if (!(status & (bmI2CS_DONE | bmI2CS_BERR))) return I2C_ERROR;
  if (status & bmI2CS_BERR) {
    bus_held = 0;
    return I2C_ERROR;
  }
  return (status & bmI2CS_ACK) ? I2C_ACK : I2C_NACK;
}

uint8_t i2c_start(uint8_t address_byte) {
  I2CS = bmI2CS_START;
  I2DAT = address_byte;
  bus_held = 1;
  return wait_done();
}

uint8_t i2c_send(uint8_t data) {
  I2DAT = data;
  return wait_done();
}

/* Sends count bytes read through autopointer 1. In assembly because the time from one
 * byte's DONE to the next byte's start is lost to the bus on every byte of a page. */
static uint8_t send_from_autopointer(uint8_t count) __naked {
  (void)count;
  /* clang-format off */
  __asm
    mov   r7, dpl
  00001$:
    mov   dptr, #0xE67B      ; XAUTODAT1
    movx  a, @dptr
    mov   dptr, #0xE679      ; I2DAT
    movx  @dptr, a
    mov   dptr, #0xE678      ; I2CS
    mov   r6, #0
    mov   r5, #0             ; at most 65536 polls of I2CS, about 55 ms
  00002$:
    movx  a, @dptr
    jb    acc.0, 00003$      ; DONE
    djnz  r6, 00002$
    jb    acc.2, 00006$      ; BERR (no DONE will come), looked at every 256 polls
    djnz  r5, 00002$
    sjmp  00005$
  00003$:
    jb    acc.2, 00006$      ; BERR
    jnb   acc.1, 00004$      ; no ACK
    djnz  r7, 00001$
    mov   dpl, #0            ; I2C_ACK
    ret
  00004$:
    mov   dpl, #1            ; I2C_NACK
    ret
  00006$:
    mov   _bus_held, #0      ; a bus error takes the bus from the master
  00005$:
    mov   dpl, #2            ; I2C_ERROR
    ret
  __endasm;
  /* clang-format on */
}

uint8_t i2c_send_block(const __xdata uint8_t* data, uint8_t count) {
  if (count == 0) return I2C_ACK;
  AUTOPTRH1 = (uint8_t)((uint16_t)data >> 8);
  AUTOPTRL1 = (uint8_t)(uint16_t)data;
  return send_from_autopointer(count);
}

/* Sets STOP and reads the final byte in the very next instruction, with interrupts masked:
 * an I2DAT read after the STOP has gone out would clock in one more byte. Autopointer 1
 * walks from I2CS to I2DAT, the register after it. */
static uint8_t stop_and_read_last(void) __naked {
  /* clang-format off */
  __asm
    push  0xA8           ; IE
    clr   ea
    mov   0x9A, #0xE6        ; AUTOPTRH1:L1 = I2CS
    mov   0x9B, #0x78
    mov   dptr, #0xE67B      ; XAUTODAT1
    mov   a, #0x40           ; STOP
    movx  @dptr, a
    movx  a, @dptr           ; I2DAT
    pop   0xA8
    mov   dpl, a
    ret
  __endasm;
  /* clang-format on */
}

uint8_t i2c_receive(__xdata uint8_t* dst, uint16_t count) {
  /* Reading I2DAT clocks in the next byte. LASTRD must be set before the read that starts
   * the final byte, so that byte goes unacknowledged; STOP goes out with the final read. */
  if (count == 1) I2CS = bmI2CS_LASTRD;
  (void)I2DAT;
  while (count) {
    if (wait_done() == I2C_ERROR) return 0;
    if (count == 2) I2CS = bmI2CS_LASTRD;
    if (count == 1) {
      *dst = stop_and_read_last();
      bus_held = 0;
      return wait_stopped();
    }
    *dst++ = I2DAT;
    --count;
  }
  return 0;
}

/* Receives count bytes as i2c_receive does and compares each with the next byte through
 * autopointer 1 instead of storing it: I2C_ACK when all were equal, I2C_NACK when one
 * differed (STOP sent either way), I2C_ERROR on a bus error or a controller that never
 * finished (no STOP). In assembly so that the bus waits as little as possible between
 * bytes; the final byte is taken through autopointer 2, right after STOP. */
static uint8_t receive_compare(uint8_t count) __naked {
  (void)count;
  /* clang-format off */
  __asm
    mov   r7, dpl
    mov   r4, #0             ; 1 once a byte differs
    mov   dptr, #0xE678      ; I2CS
    cjne  r7, #1, 00001$
    mov   a, #0x20           ; LASTRD before the read that starts the only byte
    movx  @dptr, a
  00001$:
    inc   dptr               ; I2DAT
    movx  a, @dptr           ; starts the first byte
  00002$:
    mov   dptr, #0xE678      ; I2CS
    mov   r6, #0
    mov   r5, #0             ; at most 65536 polls of I2CS
  00003$:
    movx  a, @dptr
    jb    acc.0, 00004$      ; DONE
    djnz  r6, 00003$
    jb    acc.2, 00009$      ; BERR (no DONE will come), looked at every 256 polls
    djnz  r5, 00003$
    sjmp  00010$
  00004$:
    jb    acc.2, 00009$
    cjne  r7, #2, 00005$
    mov   a, #0x20           ; LASTRD before the read that starts the final byte
    movx  @dptr, a
  00005$:
    cjne  r7, #1, 00006$
    push  0xA8               ; IE
    clr   ea
    mov   0x9D, #0xE6        ; AUTOPTRH2:L2 = I2CS
    mov   0x9E, #0x78
    mov   dptr, #0xE67C      ; XAUTODAT2
    mov   a, #0x40           ; STOP
    movx  @dptr, a
    movx  a, @dptr           ; I2DAT, in the very next instruction
    pop   0xA8
    sjmp  00007$
  00006$:
    inc   dptr               ; I2DAT: taking this byte starts the next
    movx  a, @dptr
  00007$:
    mov   r3, a
    mov   dptr, #0xE67B      ; XAUTODAT1: the byte expected
    movx  a, @dptr
    xrl   a, r3
    jz    00008$
    mov   r4, #1
  00008$:
    djnz  r7, 00002$
    mov   dpl, r4            ; I2C_ACK or I2C_NACK
    ret
  00009$:
    mov   _bus_held, #0      ; a bus error takes the bus from the master
  00010$:
    mov   dpl, #2            ; I2C_ERROR
    ret
  __endasm;
  /* clang-format on */
}

uint8_t i2c_receive_compare(const __xdata uint8_t* expected, uint8_t count) {
  uint8_t result;
  AUTOPTRH1 = (uint8_t)((uint16_t)expected >> 8);
  AUTOPTRL1 = (uint8_t)(uint16_t)expected;
  result = receive_compare(count);
  if (result == I2C_ERROR) return I2C_ERROR;
  bus_held = 0;
  return wait_stopped() ? result : I2C_ERROR;
}

uint8_t i2c_wait_stopped(void) {
  return wait_stopped();
}

uint8_t i2c_stop(void) {
  if (!bus_held) return 1;
  bus_held = 0;
  I2CS = bmI2CS_STOP;
  return wait_stopped();
}
