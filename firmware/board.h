/* The reference board's wiring: the one place the firmware learns it from.
 * The emulated board mirrors these values in sim/board/reference_board.h. */
#ifndef BOARD_H
#define BOARD_H

/* One I2C bus from the FX2's master, behind a 2-channel multiplexer. Writing the select
 * byte to the multiplexer connects that channel; it powers up on channel 0, so the FX2
 * finds its boot EEPROM at reset. */
#define BOARD_MUX_ADDRESS 0x70 /* 7-bit */
#define BOARD_MUX_SELECT_CHANNEL0 0x04
#define BOARD_MUX_SELECT_CHANNEL1 0x05
#define BOARD_MUX_SELECT(chip) ((unsigned char)(BOARD_MUX_SELECT_CHANNEL0 + (chip)))

/* EEPROM chip c sits on multiplexer channel c; bank b of it is one 24LC256-class device
 * at 7-bit address 0x51 + b (chip 0 bank 0 is the FX2's boot EEPROM). */
#define BOARD_EEPROM_CHIPS 2
#define BOARD_EEPROM_BANKS 6
#define BOARD_EEPROM_FIRST_ADDRESS 0x51 /* 7-bit, bank 0 */
#define BOARD_EEPROM_BANK_SIZE 0x8000UL /* bytes, 16-bit word address, high byte first */
#define BOARD_EEPROM_PAGE_SIZE 64       /* a page write never crosses such a boundary */
#define BOARD_EEPROM_WRITE_CYCLE_MS 5   /* the longest write cycle; no ACK meanwhile */

/* How long acknowledge polling may last before the EEPROM counts as missing or stuck:
 * twice the longest write cycle. */
#define BOARD_EEPROM_ACK_POLL_LIMIT_MS 10

/* I2C clock once the control firmware runs (400 kHz). */
#define BOARD_I2C_400KHZ 1

/* The LED: port A bit 0 (an output once OEA bit 0 is set). */
#define BOARD_LED_PORT_BIT 0
#define BOARD_LED_MASK 0x01

#endif /* BOARD_H */
