#ifndef VESK_SERVED_BOARD_H
#define VESK_SERVED_BOARD_H
/* The emulated board behind the test driver, as the driver's kernel-mode part sees it:
   plain C, so that the part that includes the kernel's headers needs nothing else. Every
   call is safe from several threads at once; calls on one board are served one at a time. */

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* How a request ended; the kernel-mode part turns each into the status it completes the
   request with. */
enum ServedStatus {
  kServedOk,             /* STATUS_SUCCESS */
  kServedUnknownCode,    /* STATUS_INVALID_DEVICE_REQUEST */
  kServedMalformed,      /* STATUS_INVALID_PARAMETER: short header, unknown direction ... */
  kServedFailed,         /* STATUS_UNSUCCESSFUL: a stall, a failed transfer, a planted failure */
  kServedTimeout,        /* STATUS_IO_TIMEOUT: the board did not answer */
  kServedRemoved,        /* STATUS_DEVICE_NOT_CONNECTED: the board is gone */
  kServedNoMemory        /* STATUS_INSUFFICIENT_RESOURCES */
};

/* What the kernel-mode part is to do with the board's camera interface after a request. */
enum ServedInterface { kInterfaceUnchanged, kInterfaceDisable, kInterfaceEnable };

/* The private I/O control of the test driver: buffered, any access. Its input is one
   command line of text, its output the reply text (see ServeCommand in served_board.cpp). */
#define VESK_BOARD_COMMAND_CODE 0xA7F83400u

struct ServedBoard;

/* A board with the EEPROM image in `eepromFile` (an 8-bit path; erased EEPROMs when it is
   absent or not a whole image), powered up; every successful EEPROM write is saved back
   to the file. An empty name keeps the EEPROM in memory only. Null when there is no
   memory. */
struct ServedBoard* ServedBoardCreate(const char* eepromFile);
void ServedBoardDestroy(struct ServedBoard* board);

/* One buffered I/O control: `buffer` holds `inputLength` bytes of input and has room for
   at least `outputLength` bytes of output (the larger of the two), which replace the
   input. `*information` is set to the number of output bytes, never more than
   `outputLength`; on failure it is 0. */
enum ServedStatus ServedBoardControl(struct ServedBoard* board, unsigned long code,
                                     unsigned char* buffer, size_t inputLength,
                                     size_t outputLength, size_t* information,
                                     enum ServedInterface* interfaceChange);

#ifdef __cplusplus
}
#endif

#endif
