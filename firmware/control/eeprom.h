/* The reference board's EEPROM banks, through the multiplexer. A bank is addressed by
 * its 7-bit device address (BOARD_EEPROM_FIRST_ADDRESS + bank) once its chip's channel is
 * selected. Every function ends its bus traffic with STOP, also when it fails. */
#ifndef EEPROM_H
#define EEPROM_H

#include <stdint.h>

/* Connects chip (0 or 1) to the bus; 0 if the multiplexer did not acknowledge. */
uint8_t eeprom_select_chip(uint8_t chip);

/* Writes count bytes (1 to BOARD_EEPROM_PAGE_SIZE, all inside one page) at offset, as one
 * page write. Waits first, by acknowledge polling within a bounded time, for the device's
 * previous write cycle; 0 if it never acknowledged or the bus failed. */
uint8_t eeprom_write_page(uint8_t device, uint16_t offset, const __xdata uint8_t* data,
                          uint8_t count);

/* Reads count (1 or more) bytes from offset on, after waiting (as eeprom_write_page does)
 * for the device's write cycle to end; 0 on a missing device or a bus failure. */
uint8_t eeprom_read(uint8_t device, uint16_t offset, __xdata uint8_t* dst, uint16_t count);

/* Reads count (1 to BOARD_EEPROM_PAGE_SIZE) bytes from offset, after waiting as eeprom_read
 * does, and compares them with expected; 1 only when the device holds exactly those bytes. */
uint8_t eeprom_verify(uint8_t device, uint16_t offset, const __xdata uint8_t* expected,
                      uint8_t count);

#endif /* EEPROM_H */
