#include "i2c.h"

#include "fx2regs.h"

/* Every wait for the controller is a bounded busy poll of I2CS: the CPU never idles, since
 * on the FX2 only a wakeup interrupt ends the idle mode. Upper bound on the loop passes spent waiting for the controller. A byte takes 90 us at
 * 100 kHz; a pass takes about 1 us at 48 MHz, so this is far beyond any healthy bus. */
#define I2C_WAIT_PASSES 20000u

static uint8_t wait_done(void) {
  uint16_t passes = I2C_WAIT_PASSES;
  uint8_t status;
  while (!((status = I2CS) & bmI2CS_DONE)) {
    if (--passes == 0) return I2C_ERROR;
  }
  if (status & bmI2CS_BERR) return I2C_ERROR;
  return (status & bmI2CS_ACK) ? I2C_ACK : I2C_NACK;
}

uint8_t i2c_start(uint8_t address_byte) {
  I2CS = bmI2CS_START;
  I2DAT = address_byte;
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
    mov   r5, #0             ; at most 65536 polls of I2CS, about 50 ms
  00002$:
    movx  a, @dptr
    jb    acc.0, 00003$      ; DONE
    djnz  r6, 00002$
    djnz  r5, 00002$
    sjmp  00005$
  00003$:
    jb    acc.2, 00005$      ; BERR
    jnb   acc.1, 00004$      ; no ACK
    djnz  r7, 00001$
    mov   dpl, #0            ; I2C_ACK
    ret
  00004$:
    mov   dpl, #1            ; I2C_NACK
    ret
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

uint8_t i2c_receive(__xdata uint8_t* dst, uint16_t count) {
  /* Reading I2DAT clocks in the next byte. LASTRD must be set before the read that starts
   * the final byte, so that byte goes unacknowledged; STOP must be set before the final
   * read, so no further byte is clocked in. */
  if (count == 1) I2CS = bmI2CS_LASTRD;
  (void)I2DAT;
  while (count) {
    if (wait_done() == I2C_ERROR) return 0;
    if (count == 2) I2CS = bmI2CS_LASTRD;
    if (count == 1) I2CS = bmI2CS_STOP;
    *dst++ = I2DAT;
    --count;
  }
  return i2c_wait_stopped();
}

uint8_t i2c_wait_stopped(void) {
  uint16_t passes = I2C_WAIT_PASSES;
  while (I2CS & bmI2CS_STOP) {
    if (--passes == 0) return 0;
  }
  return 1;
}

uint8_t i2c_stop(void) {
  I2CS = bmI2CS_STOP;
  return i2c_wait_stopped();
}
