#include "descriptors.h"

#define LOW(word) ((word) & 0xFF)
#define HIGH(word) (((word) >> 8) & 0xFF)
#define CONFIGURATION_TOTAL_LENGTH (9 + 9)

__code const uint8_t device_descriptor[] = {
    18, DESCRIPTOR_DEVICE,
    0x00, 0x02,       /* USB 2.0 */
    0xFF, 0xFF, 0xFF, /* vendor-specific class */
    64,               /* endpoint 0 packet size */
    LOW(USB_VENDOR_ID), HIGH(USB_VENDOR_ID),
    LOW(USB_PRODUCT_ID), HIGH(USB_PRODUCT_ID),
    LOW(USB_DEVICE_RELEASE), HIGH(USB_DEVICE_RELEASE),
    1, 2, 0, /* manufacturer, product, no serial number */
    1,       /* configurations */
};

__code const uint8_t device_qualifier_descriptor[] = {
    10, DESCRIPTOR_DEVICE_QUALIFIER, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 64, 1, 0,
};

/* Both speeds offer the same configuration: bus powered, 100 mA, one interface with no
 * endpoint of its own. */
#define CONFIGURATION                                                                     \
  9, DESCRIPTOR_CONFIGURATION, LOW(CONFIGURATION_TOTAL_LENGTH),                          \
      HIGH(CONFIGURATION_TOTAL_LENGTH), 1, 1, 0, 0x80, 50, /* interface: */ 9, 4, 0, 0, 0, \
      0xFF, 0xFF, 0xFF, 0

__code const uint8_t full_speed_configuration[] = {CONFIGURATION};
__code const uint8_t high_speed_configuration[] = {CONFIGURATION};

static __code const uint8_t languages[] = {4, DESCRIPTOR_STRING, 0x09, 0x04}; /* en-US */
static __code const uint8_t manufacturer[] = {24, DESCRIPTOR_STRING, 'v', 0, 'e', 0, 's', 0, 'k', 0, '-', 0, 'u', 0, 'p', 0, 'd', 0, 'a', 0, 't', 0, 'e', 0};
static __code const uint8_t product[] = {50, DESCRIPTOR_STRING, 'C', 0, 'a', 0, 'm', 0, 'e', 0, 'r', 0, 'a', 0, ' ', 0, 'U', 0, 'S', 0, 'B', 0, ' ', 0, 'b', 0, 'o', 0, 'a', 0, 'r', 0, 'd', 0, ' ', 0, 'c', 0, 'o', 0, 'n', 0, 't', 0, 'r', 0, 'o', 0, 'l', 0};

__code const uint8_t *__code const string_descriptors[STRING_DESCRIPTOR_COUNT] = {
    languages, manufacturer, product};
