/* The control firmware: takes over endpoint 0 from the FX2's built-in logic, answers the
 * standard requests with its own descriptors, and reads and writes the board's EEPROMs
 * through vendor request 0xC6. The USB interrupt only notes that a SETUP or a bus reset
 * arrived; the main loop does all the work. */
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
/* A USB bus reset came since the main loop last looked: the request being served is over. */
static volatile __data uint8_t bus_reset;
static volatile __data uint8_t configuration;

/* The SETUP packet being served. */
static __data uint8_t request_type, request;
static __data uint16_t value, index, length;

/* Two EEPROM pages: one gathered from the OUT packets while the other, written last, waits
 * to be read back once its write cycle has ended. Each stays until it has been read back
 * equal, so that a retry has it. */
static __xdata uint8_t pages[2][BOARD_EEPROM_PAGE_SIZE];
static __data uint8_t gathering;

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

/* INT2, reached through the LJMP at 0x0043 (autovectoring stays off). A bus reset ends the
 * request being served and voids a SETUP noted before it; the host configures the device
 * anew. When both are pending the SETUP is taken as the later: a host sends one right
 * after a reset, never a reset right after a SETUP it still means. */
void usb_isr(void) __interrupt {
  EXIF &= ~bmEXIF_USBINT;
  if (USBIRQ & bmUSBIRQ_URES) {
    USBIRQ = bmUSBIRQ_URES;
    bus_reset = 1;
    setup_pending = 0;
    configuration = 0;
  }
  if (USBIRQ & bmUSBIRQ_SUDAV) {
    USBIRQ = bmUSBIRQ_SUDAV;
    setup_pending = 1;
  }
}

/* A SETUP or a bus reset that arrives while a request is served ends that request:
 * whatever is left of it is dropped (also data that arrived before a reset), and its
 * status stage is neither acknowledged nor stalled, since endpoint 0 now belongs to the
 * next request. SUPERSEDED() is what the interrupt has noted; superseded() also sees a
 * request still pending in USBIRQ, for the checks that decide an endpoint-0 write. */
#define SUPERSEDED() (setup_pending | bus_reset)
#define superseded() (SUPERSEDED() || (USBIRQ & (bmUSBIRQ_SUDAV | bmUSBIRQ_URES)))

/* Each write that hands endpoint 0 to the host (EP0BCH:L, EP0CS) is made only if the
 * request still owns it: the check and the write happen with interrupts masked, so no
 * SETUP or reset can slip in between and take the old request's packet or answer. */
static void finish_status(uint8_t ep0cs) {
  EA = 0;
  if (!superseded()) EP0CS = ep0cs;
  EA = 1;
}

/* Arms endpoint 0: an IN packet of count bytes from EP0BUF, or (OUT) the next packet. 0 if
 * the request was superseded, and nothing armed. */
static uint8_t arm_ep0(uint8_t count) {
  uint8_t armed = 0;
  EA = 0;
  if (!superseded()) {
    EP0BCH = 0;
    EP0BCL = count;
    armed = 1;
  }
  EA = 1;
  return armed;
}

static void acknowledge(void) {
  finish_status(bmEP0CS_HSNAK);
}

static void stall(void) {
  finish_status(bmEP0CS_STALL | bmEP0CS_HSNAK);
}

/* Waits until endpoint 0 has sent or received its armed packet; 0 if a new SETUP or a bus
 * reset arrived meanwhile, which ends the transfer being served (a reset clears BUSY with
 * an old packet still in EP0BUF and EP0BCL), or if the host has not moved the packet
 * within about 8.7 s (65536 x 64 passes), far beyond any host's request timeout. */
static uint8_t wait_ep0_idle(void) {
  uint8_t rounds = 64;
  uint16_t passes = 0;
  while (EP0CS & bmEP0CS_BUSY) {
    if (SUPERSEDED()) return 0;
    if (--passes == 0 && --rounds == 0) return 0;
  }
  return !superseded();
}

/* Moves count (1 or more) bytes from autopointer 1 to autopointer 2. In assembly: the copy
 * of each packet lies between a page's write and the start of its read-back. The
 * compiler does not look into this body, so it keeps the registers it uses. */
static void copy_autopointers(uint8_t count) __naked {
  (void)count;
  /* clang-format off */
  __asm
    push  ar7
    mov   r7, dpl
    mov   dptr, #0xE67B      ; XAUTODAT1; XAUTODAT2 is the next register
  00001$:
    movx  a, @dptr
    inc   dptr
    movx  @dptr, a
    dec   dpl
    djnz  r7, 00001$
    pop   ar7
    ret
  __endasm;
  /* clang-format on */
}

/* count (1 or more) bytes, through both autopointers. */
static void copy_xdata(__xdata uint8_t* dst, const __xdata uint8_t* src, uint8_t count) {
  AUTOPTRH1 = (uint8_t)((uint16_t)src >> 8);
  AUTOPTRL1 = (uint8_t)(uint16_t)src;
  AUTOPTRH2 = (uint8_t)((uint16_t)dst >> 8);
  AUTOPTRL2 = (uint8_t)(uint16_t)dst;
  copy_autopointers(count);
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
    if (!arm_ep0(count)) return;
    remaining -= count;
  }
  acknowledge();
}

static void send_bytes(uint8_t first, uint8_t size) {
  if (length) {
    EP0BUF[0] = first;
    EP0BUF[1] = 0;
    if (!arm_ep0(size < length ? size : (uint8_t)length)) return;
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
      /* ENDPOINT_HALT: no endpoint of this firmware is ever halted, so clearing it on any
       * endpoint is done at once, as a host's recovery after an error expects. */
      acknowledge_or_stall(value == 0);
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

/* Reads back the page written last (once its write cycle has ended: the read's
 * acknowledge polling waits for that), then writes the page gathered, count bytes at
 * offset (count 0: none, only the read-back). An EEPROM that acknowledged its bytes but
 * did not keep them fails the read-back. On a transient failure the multiplexer is
 * selected again, a page whose read-back failed is written again, and both steps are
 * tried again, up to EEPROM_RETRIES times; 0 when they still fail. */
static uint8_t store_pages(uint8_t chip, uint8_t device, uint16_t offset, uint8_t count) {
  uint8_t retries = EEPROM_RETRIES;
  for (;;) {
    uint8_t result = EEPROM_DONE;
    if (written_count) {
      result = eeprom_verify(device, written_offset, pages[written_page], written_count);
      if (result == EEPROM_DONE) written_count = 0;
    }
    if (result == EEPROM_DONE && count) {
      /* The read-back may have waited out a write cycle: a request superseded meanwhile
       * writes no further page, and retries none. */
      if (SUPERSEDED()) return 0;
      result = eeprom_write_page(device, offset, pages[gathering], count);
      if (result == EEPROM_DONE) {
        written_offset = offset;
        written_count = count;
        written_page = gathering;
        gathering ^= 1;
      }
    }
    if (result == EEPROM_DONE) return 1;
    if (result == EEPROM_ABSENT || retries-- == 0) return 0;
    eeprom_retry_rest();
    /* Nor does it write a page again that read back wrong: the data are no longer its. */
    if (!eeprom_select_chip(chip) || SUPERSEDED()) return 0;
    if (written_count &&
        eeprom_write_page(device, written_offset, pages[written_page], written_count) ==
            EEPROM_ABSENT)
      return 0;
  }
}

/* Gathers the data stage into pages and writes each page once it is complete (or the data
 * ends). A packet that fills its page exactly is released before the page is written, so
 * the host sends the next packet during the EEPROM's write cycle. Each page is read back
 * and compared after its write cycle, before the next page is written; the status stage
 * is acknowledged only after the last page has been read back equal. A page is only
 * written while the request still owns endpoint 0: nothing that arrived before a bus reset
 * or a newer SETUP reaches the EEPROM after it. */
static void write_eeprom(void) {
  uint8_t chip = value >> 8;
  uint8_t device = eeprom_device();
  uint16_t remaining = length;
  uint16_t page_offset = index; /* where the page being gathered goes */
  uint8_t filled = 0;

  written_count = 0;
  if (!eeprom_select_chip(chip)) {
    stall();
    return;
  }
  /* A SETUP is not masked by EA: one that lands between the previous request's last check
   * and its OUT arm gets that arm, and endpoint 0 is armed already (a SETUP clears BUSY,
   * so nothing else sets it here). Arming again would write EP0BCL while it is BUSY. */
  if (!(EP0CS & bmEP0CS_BUSY) && !arm_ep0(0)) return;
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
      if (used == count && remaining && !arm_ep0(0)) return;
      if (page_full || (used == count && !remaining)) {
        if (SUPERSEDED()) return;
        if (!store_pages(chip, device, page_offset, filled)) {
          stall();
          return;
        }
        page_offset += filled;
        filled = 0;
      }
    }
  }
  if (!store_pages(chip, device, 0, 0)) {
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
    if (!eeprom_read(value >> 8, device, offset, EP0BUF, count)) {
      stall();
      return;
    }
    if (!arm_ep0(count)) return;
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
  /* A newer SETUP may have landed during the copy, mixing two packets: the main loop
   * serves that one instead. */
  if (superseded()) return;
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

/* The FIFO and GPIF registers sit on the chip's interface clock: after a write to one, the
 * next access to such a register waits for this delay (an LCALL and a RET, 8 cycles, at
 * least the manual's synchronisation delay at any clock pairing). */
static void sync_delay(void) __naked {
  /* clang-format off */
  __asm
    ret
  __endasm;
  /* clang-format on */
}

/* Holding the CPU resets the 8051, not the USB block: the firmware that ran before this one
 * may have left interrupt enables, pending requests and SUDPTRCTL set. Every source but
 * SUDAV and URES is switched off and its request cleared (by writing ones), and descriptor
 * transfers go back to automatic mode. The FIFO and GPIF sources belong to INT4, which
 * stays off, but are cleared all the same. SUSP stays off: this firmware does not idle
 * (see the README). */
static void take_over_usb_interrupts(void) {
  INTSETUP = 0;
  USBIE = bmUSBIE_SUDAV | bmUSBIE_URES;
  EPIE = 0;
  IBNIE = 0;
  NAKIE = 0;
  USBERRIE = 0;
  GPIFIE = 0;
  sync_delay();
  EP2FIFOIE = 0;
  sync_delay();
  EP4FIFOIE = 0;
  sync_delay();
  EP6FIFOIE = 0;
  sync_delay();
  EP8FIFOIE = 0;
  sync_delay();
  USBIRQ = (uint8_t)~bmUSBIRQ_SUDAV; /* a SETUP that has arrived stays noted */
  EPIRQ = 0xFF;
  IBNIRQ = 0xFF;
  NAKIRQ = 0xFF;
  USBERRIRQ = 0xFF;
  GPIFIRQ = 0xFF;
  sync_delay();
  EP2FIFOIRQ = 0xFF;
  sync_delay();
  EP4FIFOIRQ = 0xFF;
  sync_delay();
  EP6FIFOIRQ = 0xFF;
  sync_delay();
  EP8FIFOIRQ = 0xFF;
  sync_delay();
  SUDPTRCTL = bmSUDPTRCTL_SDPAUTO;
  EXIF &= ~bmEXIF_USBINT;
}

void main(void) {
  I2CTL = BOARD_I2C_400KHZ ? bmI2CTL_400KHZ : 0;
  AUTOPTRSETUP = bmAUTOPTRSETUP_APTREN | bmAUTOPTRSETUP_APTR1INC | bmAUTOPTRSETUP_APTR2INC;
  /* The host that loaded this firmware has addressed and configured the device already. */
  configuration = FNADDR != 0;
  /* A SETUP may have arrived before the interrupt was enabled; its flag is still set. */
  EA = 0;
  take_over_usb_interrupts();
  eeprom_recover_bus();
  EUSB = 1;
  if (USBIRQ & bmUSBIRQ_SUDAV) {
    EXIF &= ~bmEXIF_USBINT;
    USBIRQ = bmUSBIRQ_SUDAV;
    setup_pending = 1;
  }
  EA = 1;
  /* A reset noted while no request is served stays noted until the next SETUP: it voids
   * nothing then. */
  for (;;) {
    if (setup_pending) {
      EA = 0;
      setup_pending = 0;
      bus_reset = 0;
      EA = 1;
      serve_setup();
    }
  }
}
