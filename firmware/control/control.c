/* The control firmware: takes over endpoint 0 from the FX2's built-in logic, answers the
 * standard requests with its own descriptors, and reads and writes the board's EEPROMs
 * through vendor request 0xC6. The USB interrupt only notes that a SETUP arrived; the
 * main loop does all the work. */
#include <stdint.h>

#include "board.h"
#include "descriptors.h"
#include "eeprom.h"
#include "i2c.h"
#include "fx2regs.h"

#define EP0_PACKET_SIZE 64
#define REQUEST_EEPROM 0xC6
#define REQUEST_FX2_LOAD 0xA0 /* the chip's own; never this firmware's to answer */
#define EEPROM_REQUEST_MAX_LENGTH 4096

#define REQUEST_TYPE_STANDARD 0x00
#define REQUEST_TYPE_VENDOR 0x40
#define REQUEST_TYPE_MASK 0x60
#define DIRECTION_IN 0x80

#define GET_STATUS 0
#define CLEAR_FEATURE 1
#define GET_DESCRIPTOR 6
#define GET_CONFIGURATION 8
#define SET_CONFIGURATION 9
#define GET_INTERFACE 10
#define SET_INTERFACE 11

static volatile __data uint8_t setup_pending;
static __data uint8_t configuration;

/* The SETUP packet being served. */
static __data uint8_t request_type, request;
static __data uint16_t value, index, length;

/* Two EEPROM pages: one gathered from the OUT packets while the other, written last, waits
 * to be read back once its write cycle has ended. */
static __xdata uint8_t pages[2][BOARD_EEPROM_PAGE_SIZE];

/* The page written last and not yet verified (written_count 0: none). */
static __data uint16_t written_offset;
static __data uint8_t written_count, written_page;

/* Runs before the C runtime clears RAM: the host sends its first request right after it
 * releases the CPU, so endpoint 0 is taken over here. DISCON stays 0, so the device keeps
 * its address and the host its handle. */
unsigned char _sdcc_external_startup(void) {
  USBCS |= bmUSBCS_RENUM;
  CPUCS = (CPUCS & ~bmCPUCS_CLKSPD) | (2 << shCPUCS_CLKSPD); /* 48 MHz */
  return 0;
}

/* INT2, reached through the LJMP at 0x0043 (autovectoring stays off). */
void usb_isr(void) __interrupt {
  EXIF &= ~bmEXIF_USBINT;
  if (USBIRQ & bmUSBIRQ_SUDAV) {
    USBIRQ = bmUSBIRQ_SUDAV;
    setup_pending = 1;
  }
}

/* A SETUP that arrives while a request is served ends that request: whatever is left of
 * it is dropped, and its status stage is neither acknowledged nor stalled, since endpoint
 * 0 now belongs to the new request. */
#define SUPERSEDED() (setup_pending != 0)

/* Ends the request's status stage unless a new SETUP has arrived, noted or not: the check
 * and the write happen with interrupts masked, so no SETUP can slip in between and take
 * the old request's answer. */
static void finish_status(uint8_t ep0cs) {
  EA = 0;
  if (!SUPERSEDED() && !(USBIRQ & bmUSBIRQ_SUDAV)) EP0CS = ep0cs;
  EA = 1;
}

static void acknowledge(void) {
  finish_status(bmEP0CS_HSNAK);
}

static void stall(void) {
  finish_status(bmEP0CS_STALL | bmEP0CS_HSNAK);
}

/* Waits until endpoint 0 has sent or received its armed packet; 0 if a new SETUP arrived
 * meanwhile, which ends the transfer being served, or if the host has not moved the
 * packet within about 5 s (65536 x 64 passes), far beyond any host's request timeout. */
static uint8_t wait_ep0_idle(void) {
  uint8_t rounds = 64;
  uint16_t passes = 0;
  while (EP0CS & bmEP0CS_BUSY) {
    if (SUPERSEDED()) return 0;
    if (--passes == 0 && --rounds == 0) return 0;
  }
  return !SUPERSEDED();
}

/* count (1 or more) bytes, through both autopointers. */
static void copy_xdata(__xdata uint8_t* dst, const __xdata uint8_t* src, uint8_t count) {
  AUTOPTRH1 = (uint8_t)((uint16_t)src >> 8);
  AUTOPTRL1 = (uint8_t)(uint16_t)src;
  AUTOPTRH2 = (uint8_t)((uint16_t)dst >> 8);
  AUTOPTRL2 = (uint8_t)(uint16_t)dst;
  do {
    XAUTODAT2 = XAUTODAT1;
  } while (--count);
}

static void arm_ep0_out(void) {
  EP0BCH = 0;
  EP0BCL = 0;
}

/* Sends min(size, wLength) bytes from code memory, packet by packet, then completes the
 * transfer; a reply shorter than wLength that fills its last packet is ended by an empty
 * one. type, when not 0, replaces the descriptor type in byte 1. */
static void send_code(__code const uint8_t* src, uint16_t size, uint8_t type) {
  uint16_t remaining = size < length ? size : length;
  uint8_t short_reply = size < length;
  uint8_t count = EP0_PACKET_SIZE;
  uint8_t first = 1;
  while (remaining || (short_reply && count == EP0_PACKET_SIZE)) {
    uint8_t i;
    count = remaining < EP0_PACKET_SIZE ? (uint8_t)remaining : EP0_PACKET_SIZE;
    if (!wait_ep0_idle()) return;
    for (i = 0; i < count; ++i) EP0BUF[i] = *src++;
    if (first && type && count > 1) EP0BUF[1] = type;
    first = 0;
    EP0BCH = 0;
    EP0BCL = count;
    remaining -= count;
  }
  acknowledge();
}

static void send_bytes(uint8_t first, uint8_t size) {
  if (length) {
    EP0BUF[0] = first;
    EP0BUF[1] = 0;
    EP0BCH = 0;
    EP0BCL = size < length ? size : (uint8_t)length;
  }
  acknowledge();
}

static uint16_t configuration_length(__code const uint8_t* descriptor) {
  return descriptor[2] | (descriptor[3] << 8);
}

static void get_descriptor(void) {
  uint8_t type = value >> 8;
  uint8_t number = (uint8_t)value;
  uint8_t high_speed = (USBCS & bmUSBCS_HSM) != 0;
  __code const uint8_t* current = high_speed ? high_speed_configuration : full_speed_configuration;
  __code const uint8_t* other = high_speed ? full_speed_configuration : high_speed_configuration;

  if (type == DESCRIPTOR_DEVICE && number == 0) {
    send_code(device_descriptor, device_descriptor[0], 0);
  } else if (type == DESCRIPTOR_DEVICE_QUALIFIER && number == 0) {
    send_code(device_qualifier_descriptor, device_qualifier_descriptor[0], 0);
  } else if (type == DESCRIPTOR_CONFIGURATION && number == 0) {
    send_code(current, configuration_length(current), 0);
  } else if (type == DESCRIPTOR_OTHER_SPEED_CONFIGURATION && number == 0) {
    send_code(other, configuration_length(other), DESCRIPTOR_OTHER_SPEED_CONFIGURATION);
  } else if (type == DESCRIPTOR_STRING && number < STRING_DESCRIPTOR_COUNT) {
    send_code(string_descriptors[number], string_descriptors[number][0], 0);
  } else {
    stall();
  }
}

/* The data stage of GET_STATUS, GET_CONFIGURATION, GET_INTERFACE: first, then zeros. */
static void reply_or_stall(uint8_t allowed, uint8_t first, uint8_t size) {
  if (allowed)
    send_bytes(first, size);
  else
    stall();
}

/* SET_CONFIGURATION, SET_INTERFACE, CLEAR_FEATURE: requests without a data stage. One
 * that announces data is malformed; acknowledging it would leave the host's data stage
 * unanswered until it times out, so it is stalled. */
static void acknowledge_or_stall(uint8_t allowed) {
  if (allowed && length == 0)
    acknowledge();
  else
    stall();
}

/* Device-wide status is 0: bus powered, no remote wake-up; endpoint 0 is never halted. */
static void standard_request(void) {
  uint8_t interface0 = index == 0;
  uint8_t endpoint0 = (index & 0x7F) == 0;
  switch (request_type << 8 | request) {
    case (0x80 << 8) | GET_DESCRIPTOR:
      get_descriptor();
      break;
    case (0x80 << 8) | GET_CONFIGURATION:
      reply_or_stall(1, configuration, 1);
      break;
    case (0x00 << 8) | SET_CONFIGURATION:
      if (value <= 1) configuration = (uint8_t)value;
      acknowledge_or_stall(value <= 1);
      break;
    case (0x81 << 8) | GET_INTERFACE:
      reply_or_stall(interface0, 0, 1);
      break;
    case (0x01 << 8) | SET_INTERFACE:
      acknowledge_or_stall(interface0 && value == 0);
      break;
    case (0x80 << 8) | GET_STATUS:
      reply_or_stall(1, 0, 2);
      break;
    case (0x81 << 8) | GET_STATUS:
      reply_or_stall(interface0, 0, 2);
      break;
    case (0x82 << 8) | GET_STATUS:
      reply_or_stall(endpoint0, 0, 2);
      break;
    case (0x02 << 8) | CLEAR_FEATURE:
      acknowledge_or_stall(endpoint0 && value == 0); /* ENDPOINT_HALT */
      break;
    default:
      stall();
      break;
  }
}

/* wValue = chip << 8 | bank, wIndex = offset inside the bank, wLength = bytes. */
static uint8_t eeprom_request_valid(void) {
  uint8_t chip = value >> 8;
  uint8_t bank = (uint8_t)value;
  return chip < BOARD_EEPROM_CHIPS && bank < BOARD_EEPROM_BANKS && length != 0 &&
         length <= EEPROM_REQUEST_MAX_LENGTH && (uint32_t)index + length <= BOARD_EEPROM_BANK_SIZE;
}

static uint8_t eeprom_device(void) {
  return BOARD_EEPROM_FIRST_ADDRESS + (uint8_t)value;
}

/* Reads the page written last back from the EEPROM, once its write cycle has ended (the
 * read's acknowledge polling waits for that), and compares it with what was written. An
 * EEPROM that acknowledged its bytes but did not keep them fails here. */
static uint8_t verify_written(uint8_t device) {
  if (written_count == 0) return 1;
  if (!eeprom_verify(device, written_offset, pages[written_page], written_count)) return 0;
  written_count = 0;
  return 1;
}

/* Gathers the data stage into pages and writes each page once it is complete (or the data
 * ends). A packet that fills its page exactly is released before the page is written, so
 * the host sends the next packet during the EEPROM's write cycle. Each page is read back
 * and compared after its write cycle, before the next page is written; the status stage
 * is acknowledged only after the last page has been verified. */
static void write_eeprom(void) {
  uint8_t device = eeprom_device();
  uint16_t remaining = length;
  uint16_t page_offset = index; /* where the page being gathered goes */
  uint8_t filled = 0;
  uint8_t gathering = 0;

  written_count = 0;
  if (!eeprom_select_chip(value >> 8)) {
    stall();
    return;
  }
  arm_ep0_out();
  while (remaining) {
    uint8_t count, used = 0;
    if (!wait_ep0_idle()) return;
    count = EP0BCL;
    if (count == 0 || count > remaining || (count < EP0_PACKET_SIZE && count != remaining)) {
      stall();
      return;
    }
    remaining -= count;
    while (used < count) {
      uint8_t room =
          BOARD_EEPROM_PAGE_SIZE - ((page_offset + filled) & (BOARD_EEPROM_PAGE_SIZE - 1));
      uint8_t take = count - used;
      uint8_t page_full;
      if (take > room) take = room;
      page_full = take == room;
      copy_xdata(pages[gathering] + filled, EP0BUF + used, take);
      filled += take;
      used += take;
      if (used == count && remaining) arm_ep0_out();
      if (page_full || (used == count && !remaining)) {
        if (!verify_written(device) ||
            !eeprom_write_page(device, page_offset, pages[gathering], filled)) {
          stall();
          return;
        }
        written_offset = page_offset;
        written_count = filled;
        written_page = gathering;
        gathering ^= 1;
        page_offset += filled;
        filled = 0;
      }
    }
  }
  if (!verify_written(device)) {
    stall();
    return;
  }
  acknowledge();
}

/* Reads the bank packet by packet straight into EP0BUF. */
static void read_eeprom(void) {
  uint8_t device = eeprom_device();
  uint16_t remaining = length;
  uint16_t offset = index;

  if (!eeprom_select_chip(value >> 8)) {
    stall();
    return;
  }
  while (remaining) {
    uint8_t count = remaining < EP0_PACKET_SIZE ? (uint8_t)remaining : EP0_PACKET_SIZE;
    if (!wait_ep0_idle()) return;
    if (!eeprom_read(device, offset, EP0BUF, count)) {
      stall();
      return;
    }
    if (SUPERSEDED()) return;
    EP0BCH = 0;
    EP0BCL = count;
    offset += count;
    remaining -= count;
  }
  acknowledge();
}

static void vendor_request(void) {
  if (request == REQUEST_FX2_LOAD) return; /* answered by the chip; a stall could stick */
  if (request != REQUEST_EEPROM || !eeprom_request_valid()) {
    stall();
  } else if (request_type == REQUEST_TYPE_VENDOR) {
    write_eeprom();
  } else if (request_type == (REQUEST_TYPE_VENDOR | DIRECTION_IN)) {
    read_eeprom();
  } else {
    stall();
  }
}

static void serve_setup(void) {
  request_type = SETUPDAT[0];
  request = SETUPDAT[1];
  value = SETUPDAT[2] | (SETUPDAT[3] << 8);
  index = SETUPDAT[4] | (SETUPDAT[5] << 8);
  length = SETUPDAT[6] | (SETUPDAT[7] << 8);
  switch (request_type & REQUEST_TYPE_MASK) {
    case REQUEST_TYPE_STANDARD:
      standard_request();
      break;
    case REQUEST_TYPE_VENDOR:
      vendor_request();
      break;
    default:
      stall();
      break;
  }
}

/* Holding the CPU resets the 8051, not the USB block: the firmware that ran before this one
 * may have left interrupt enables, pending requests and SUDPTRCTL set. Every source but
 * SUDAV is switched off and its request cleared (by writing ones), and descriptor
 * transfers go back to automatic mode. The FIFO and GPIF sources belong to INT4, which
 * stays off, but are cleared all the same. */
static void take_over_usb_interrupts(void) {
  INTSETUP = 0;
  USBIE = bmUSBIE_SUDAV;
  EPIE = 0;
  IBNIE = 0;
  NAKIE = 0;
  USBERRIE = 0;
  GPIFIE = 0;
  EP2FIFOIE = 0;
  EP4FIFOIE = 0;
  EP6FIFOIE = 0;
  EP8FIFOIE = 0;
  USBIRQ = (uint8_t)~bmUSBIRQ_SUDAV; /* a SETUP that has arrived stays noted */
  EPIRQ = 0xFF;
  IBNIRQ = 0xFF;
  NAKIRQ = 0xFF;
  USBERRIRQ = 0xFF;
  GPIFIRQ = 0xFF;
  EP2FIFOIRQ = 0xFF;
  EP4FIFOIRQ = 0xFF;
  EP6FIFOIRQ = 0xFF;
  EP8FIFOIRQ = 0xFF;
  SUDPTRCTL = bmSUDPTRCTL_SDPAUTO;
  EXIF &= ~bmEXIF_USBINT;
}

void main(void) {
  I2CTL = bmI2CTL_400KHZ;
  AUTOPTRSETUP = bmAUTOPTRSETUP_APTREN | bmAUTOPTRSETUP_APTR1INC | bmAUTOPTRSETUP_APTR2INC;
  /* A SETUP may have arrived before the interrupt was enabled; its flag is still set. */
  EA = 0;
  take_over_usb_interrupts();
  EUSB = 1;
  if (USBIRQ & bmUSBIRQ_SUDAV) {
    EXIF &= ~bmEXIF_USBINT;
    USBIRQ = bmUSBIRQ_SUDAV;
    setup_pending = 1;
  }
  EA = 1;
  for (;;) {
    if (setup_pending) {
      setup_pending = 0;
      serve_setup();
    }
  }
}
