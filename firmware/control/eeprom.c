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

/* Ten acknowledge-polling pauses. */
void eeprom_retry_rest(void) {
  uint8_t pauses = 10;
  do {
    ack_poll_pause();
  } while (--pauses);
}

/* Sends START and the write address until the device acknowledges; a device in its write
 * cycle does not. Leaves the bus held for the caller, who ends it with STOP either way. */
static uint8_t start_when_ready(uint8_t device) {
  uint16_t attempts_left = ACK_POLL_ATTEMPTS;
  for (;;) {
    uint8_t answer = i2c_start(WRITE_ADDRESS(device));
    if (answer == I2C_ACK) return EEPROM_DONE;
    if (answer == I2C_ERROR) return EEPROM_TRANSIENT;
    if (--attempts_left == 0) return EEPROM_ABSENT;
    if (!i2c_stop()) return EEPROM_TRANSIENT;
    ack_poll_pause();
  }
}

static uint8_t start_at(uint8_t device, uint16_t offset) {
  uint8_t result = start_when_ready(device);
  if (result != EEPROM_DONE) return result;
  return i2c_send((uint8_t)(offset >> 8)) == I2C_ACK && i2c_send((uint8_t)offset) == I2C_ACK
             ? EEPROM_DONE
             : EEPROM_TRANSIENT;
}

static uint8_t select_once(uint8_t chip) {
  uint8_t ok = i2c_start(WRITE_ADDRESS(BOARD_MUX_ADDRESS)) == I2C_ACK &&
               i2c_send(BOARD_MUX_SELECT(chip)) == I2C_ACK;
  return i2c_stop() && ok;
}

void eeprom_recover_bus(void) {
  i2c_wait_stopped();
  i2c_start(WRITE_ADDRESS(BOARD_MUX_ADDRESS));
  i2c_stop();
}

uint8_t eeprom_select_chip(uint8_t chip) {
  uint8_t retries = EEPROM_RETRIES;
  while (!select_once(chip)) {
    if (retries-- == 0) return 0;
    eeprom_retry_rest();
  }
  return 1;
}

uint8_t eeprom_write_page(uint8_t device, uint16_t offset, const __xdata uint8_t* data,
                          uint8_t count) {
  uint8_t result = start_at(device, offset);
  if (result == EEPROM_DONE && i2c_send_block(data, count) != I2C_ACK) result = EEPROM_TRANSIENT;
  /* The write cycle starts at this STOP. */
  if (!i2c_stop() && result == EEPROM_DONE) result = EEPROM_TRANSIENT;
  return result;
}

uint8_t eeprom_verify(uint8_t device, uint16_t offset, const __xdata uint8_t* expected,
                      uint8_t count) {
  uint8_t result = start_at(device, offset);
  if (result == EEPROM_DONE && (i2c_start(READ_ADDRESS(device)) != I2C_ACK ||
                                i2c_receive_compare(expected, count) != I2C_ACK))
    result = EEPROM_TRANSIENT;
  i2c_stop();
  return result;
}

static uint8_t read_once(uint8_t device, uint16_t offset, __xdata uint8_t* dst, uint8_t count) {
  /* A random read: the word address as a write, then a repeated START for reading. */
  uint8_t result = start_at(device, offset);
  if (result == EEPROM_DONE &&
      (i2c_start(READ_ADDRESS(device)) != I2C_ACK || !i2c_receive(dst, count)))
    result = EEPROM_TRANSIENT;
  i2c_stop();
  return result;
}

uint8_t eeprom_read(uint8_t chip, uint8_t device, uint16_t offset, __xdata uint8_t* dst,
                    uint8_t count) {
  uint8_t retries = EEPROM_RETRIES;
  for (;;) {
    uint8_t result = read_once(device, offset, dst, count);
    if (result == EEPROM_DONE) return 1;
    if (result == EEPROM_ABSENT || retries-- == 0) return 0;
    eeprom_retry_rest();
    if (!eeprom_select_chip(chip)) return 0;
  }
}
