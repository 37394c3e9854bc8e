/* The reference board's wiring as the firmware uses it. Its facts (multiplexer, EEPROM
 * geometry, identities) come from board/reference_board.tsv through board_table.h. */
#ifndef BOARD_H
#define BOARD_H

#include "board_table.h"

/* One I2C bus from the FX2's master, behind a 2-channel multiplexer (BOARD_MUX_ADDRESS,
 * 7-bit). Writing the select byte to the multiplexer connects that channel; it powers up
 * on channel 0, so the FX2 finds its boot EEPROM at reset. */
#define BOARD_MUX_SELECT(chip) ((unsigned char)(BOARD_MUX_SELECT_CHANNEL0 + (chip)))

/* EEPROM chip c sits on multiplexer channel c; bank b of it is one 24LC256-class device
 * at 7-bit address BOARD_EEPROM_FIRST_ADDRESS + b (chip 0 bank 0 is the FX2's boot EEPROM):
 * BOARD_EEPROM_BANK_SIZE bytes, 16-bit word address high byte first, pages of
 * BOARD_EEPROM_PAGE_SIZE that a write never crosses, and no ACK during a write cycle of at
 * most BOARD_EEPROM_WRITE_CYCLE_MS. */

/* How long acknowledge polling may last before the EEPROM counts as missing or stuck:
 * twice the longest write cycle. */
#define BOARD_EEPROM_ACK_POLL_LIMIT_MS 10

/* I2C clock once the control firmware runs (400 kHz). */
#define BOARD_I2C_400KHZ 1

/* The LED: port A bit 0 (an output once OEA bit 0 is set). */
#define BOARD_LED_PORT_BIT 0
#define BOARD_LED_MASK 0x01

#endif /* BOARD_H */
