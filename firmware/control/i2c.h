/* The FX2's I2C master, byte by byte. Every function returns after the controller has
 * finished (or a bounded wait has run out); none of them hangs on a dead bus. */
#ifndef I2C_H
#define I2C_H

#include <stdint.h>

/* What the addressed device answered to the last byte. */
#define I2C_ACK 0
#define I2C_NACK 1
#define I2C_ERROR 2 /* bus error, or the controller never finished */

/* START (or a repeated START while the bus is held) and the 8-bit address byte. */
uint8_t i2c_start(uint8_t address_byte);

/* One data byte to the device. */
uint8_t i2c_send(uint8_t data);

/* count (1 to 255) data bytes from xdata, as fast as the bus takes them: stops at the
 * first byte the device does not acknowledge. Uses autopointer 1. */
uint8_t i2c_send_block(const __xdata uint8_t* data, uint8_t count);

/* Reads count (1 or more) bytes after an acknowledged read address: the last gets no
 * acknowledge, and STOP follows it. Returns 1 when all arrived and STOP was sent; on 0
 * the caller still ends the transfer with i2c_stop(). */
uint8_t i2c_receive(__xdata uint8_t* dst, uint16_t count);

/* Reads count (1 to 255) bytes as i2c_receive does, comparing them with expected instead
 * of storing them (uses both autopointers): I2C_ACK when all were equal, I2C_NACK when one
 * differed, I2C_ERROR on a bus failure; STOP has been sent unless I2C_ERROR. */
uint8_t i2c_receive_compare(const __xdata uint8_t* expected, uint8_t count);

/* Ends the transfer with STOP and waits until the controller has put it on the bus; 0 if
 * it never did. Does nothing when the bus is not held (no START yet, STOP already sent,
 * or lost to a bus error). */
uint8_t i2c_stop(void);

/* Waits (about 55 ms at most) until no STOP is pending in the controller; 0 if one still
 * is. */
uint8_t i2c_wait_stopped(void);

#endif /* I2C_H */
