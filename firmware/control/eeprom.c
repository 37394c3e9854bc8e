#include "eeprom.h"

#include "board.h"
#include "i2c.h"

/* Between two attempts of acknowledge polling the bus rests this long: a write cycle
 * lasts milliseconds, and an attempt every 22.5 us would only fill the bus with
 * unanswered addresses. A page then ends on average half a pause later than the EEPROM
 * could take the next address. */
#define ACK_POLL_PAUSE_US 100

/* Acknowledge polling gives up after this many attempts. One attempt (START, address
 * byte, acknowledge: at least 9 bit times, 22.5 us at 400 kHz) and its pause span at least
 * 122.5 us, so the attempts span at least BOARD_EEPROM_ACK_POLL_LIMIT_MS. */
#define ACK_POLL_ATTEMPTS                                                                 \
  ((uint16_t)((BOARD_EEPROM_ACK_POLL_LIMIT_MS * 1000UL * 2 + 44 + 2 * ACK_POLL_PAUSE_US) / \
              (45 + 2 * ACK_POLL_PAUSE_US)))

#define WRITE_ADDRESS(device) ((uint8_t)((device) << 1))
#define READ_ADDRESS(device) ((uint8_t)(((device) << 1) | 1))

uint8_t eeprom_select_chip(uint8_t chip) {
  uint8_t ok = i2c_start(WRITE_ADDRESS(BOARD_MUX_ADDRESS)) == I2C_ACK &&
               i2c_send(BOARD_MUX_SELECT(chip)) == I2C_ACK;
  return i2c_stop() && ok;
}

/* ACK_POLL_PAUSE_US at 48 MHz: 2 x (200 x DJNZ + DJNZ), 3 cycles of 4 clocks each. The
 * compiler does not look into this body, so it keeps the registers it uses. */
static void ack_poll_pause(void) __naked {
  /* clang-format off */
  __asm
    push  ar6
    push  ar7
    mov   r6, #2
  00001$:
    mov   r7, #200
  00002$:
    djnz  r7, 00002$
    djnz  r6, 00001$
    pop   ar7
    pop   ar6
    ret
  __endasm;
  /* clang-format on */
}

/* Sends START and the write address until the device acknowledges; a device in its write
 * cycle does not. Leaves the bus held for the caller, who ends it with STOP either way. */
static uint8_t start_when_ready(uint8_t device) {
  uint16_t attempts_left = ACK_POLL_ATTEMPTS;
  for (;;) {
    uint8_t answer = i2c_start(WRITE_ADDRESS(device));
    if (answer == I2C_ACK) return 1;
    if (answer == I2C_ERROR || --attempts_left == 0) return 0;
    if (!i2c_stop()) return 0;
    ack_poll_pause();
  }
}

static uint8_t start_at(uint8_t device, uint16_t offset) {
  return start_when_ready(device) && i2c_send((uint8_t)(offset >> 8)) == I2C_ACK &&
         i2c_send((uint8_t)offset) == I2C_ACK;
}

uint8_t eeprom_write_page(uint8_t device, uint16_t offset, const __xdata uint8_t* data,
                          uint8_t count) {
  uint8_t ok = start_at(device, offset) && i2c_send_block(data, count) == I2C_ACK;
  /* The write cycle starts at this STOP. */
  return i2c_stop() && ok;
}

uint8_t eeprom_read(uint8_t device, uint16_t offset, __xdata uint8_t* dst, uint16_t count) {
  /* A random read: the word address as a write, then a repeated START for reading. */
  if (start_at(device, offset) && i2c_start(READ_ADDRESS(device)) == I2C_ACK &&
      i2c_receive(dst, count))
    return 1;
  i2c_stop();
  return 0;
}

uint8_t eeprom_verify(uint8_t device, uint16_t offset, const __xdata uint8_t* expected,
                      uint8_t count) {
  if (start_at(device, offset) && i2c_start(READ_ADDRESS(device)) == I2C_ACK &&
      i2c_receive_compare(expected, count) == I2C_ACK)
    return 1;
  i2c_stop();
  return 0;
}
