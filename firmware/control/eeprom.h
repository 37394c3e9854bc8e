/* The reference board's EEPROM banks, through the multiplexer. A bank is addressed by
 * its 7-bit device address (BOARD_EEPROM_FIRST_ADDRESS + bank) once its chip's channel is
 * selected. Every function ends its bus traffic with STOP, also when it fails.
 *
 * A bus error, a byte the device did not acknowledge after it had answered its address,
 * or a byte read back wrong counts as transient: the multiplexer select and the whole
 * page (or packet) are tried again, up to EEPROM_RETRIES more times, with a rest of about
 * 1 ms before each, so that a slave left holding SDA can let go. A device that never
 * acknowledges its address within the polling time is missing or stuck: no retry. The
 * select and the read retry here; the page writer retries its write and read-back. */
#ifndef EEPROM_H
#define EEPROM_H

#include <stdint.h>

#define EEPROM_RETRIES 3

/* Gets the bus ready after whatever the firmware before this one left on it: waits (in
 * bounded time) for a pending STOP to go out, then sends a throw-away START, the
 * multiplexer's address and a STOP, whose result does not matter. */
void eeprom_recover_bus(void);

/* Connects chip (0 or 1) to the bus; 0 if the multiplexer never acknowledged. */
uint8_t eeprom_select_chip(uint8_t chip);

/* What one attempt of a page write, verify or read came to. */
#define EEPROM_DONE 0
#define EEPROM_TRANSIENT 1 /* bus error, a lost acknowledge, a byte read back wrong: retry */
#define EEPROM_ABSENT 2    /* never acknowledged its address within the polling time */

/* About 1 ms, before a retry. */
void eeprom_retry_rest(void);

/* Writes count bytes (1 to BOARD_EEPROM_PAGE_SIZE, all inside one page) at offset, as one
 * page write. Waits first, by acknowledge polling within a bounded time, for the device's
 * previous write cycle. */
uint8_t eeprom_write_page(uint8_t device, uint16_t offset, const __xdata uint8_t* data,
                          uint8_t count);

/* Reads count (1 to BOARD_EEPROM_PAGE_SIZE) bytes from offset, after waiting as
 * eeprom_write_page does, and compares them with expected; EEPROM_DONE only when the device
 * holds exactly those bytes. */
uint8_t eeprom_verify(uint8_t device, uint16_t offset, const __xdata uint8_t* expected,
                      uint8_t count);

/* Reads count (1 to 255) bytes from offset on, after waiting as eeprom_write_page does,
 * retrying as described above; 0 on a missing device or a bus that kept failing. */
uint8_t eeprom_read(uint8_t chip, uint8_t device, uint16_t offset, __xdata uint8_t* dst,
                    uint8_t count);

#endif /* EEPROM_H */
