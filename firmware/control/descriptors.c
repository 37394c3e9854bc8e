#include "descriptors.h"

#define LOW(word) ((uint8_t)(word))
#define HIGH(word) ((uint8_t)((word) >> 8))
#define CONFIGURATION_TOTAL_LENGTH (9 + 9)

/* clang-format off */
__code const uint8_t device_descriptor[] = {
    18, DESCRIPTOR_DEVICE,
    0x00, 0x02,                     /* USB 2.0 */
    0xFF, 0xFF, 0xFF,               /* vendor-specific class, subclass, protocol */
    64,                             /* endpoint 0 packet size */
    LOW(USB_VENDOR_ID), HIGH(USB_VENDOR_ID),
    LOW(USB_PRODUCT_ID), HIGH(USB_PRODUCT_ID),
    LOW(USB_DEVICE_RELEASE), HIGH(USB_DEVICE_RELEASE),
    1, 2, 0,                        /* strings: manufacturer, product, no serial number */
    1,                              /* configurations */
};

__code const uint8_t device_qualifier_descriptor[] = {
    10, DESCRIPTOR_DEVICE_QUALIFIER, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 64, 1, 0,
};

/* Both speeds offer the same configuration: bus powered, 100 mA, one vendor-specific
 * interface without endpoints of its own. */
#define CONFIGURATION                                                          \
    9, DESCRIPTOR_CONFIGURATION,                                               \
    LOW(CONFIGURATION_TOTAL_LENGTH), HIGH(CONFIGURATION_TOTAL_LENGTH),         \
    1, 1, 0, 0x80, 50,                                                         \
    9, 4, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0 /* the interface */

__code const uint8_t full_speed_configuration[] = {CONFIGURATION};
__code const uint8_t high_speed_configuration[] = {CONFIGURATION};

#define UTF16(c) c, 0

static __code const uint8_t languages[] = {4, DESCRIPTOR_STRING, 0x09, 0x04}; /* en-US */

static __code const uint8_t manufacturer[] = {
    2 + 2 * 11, DESCRIPTOR_STRING,
    UTF16('v'), UTF16('e'), UTF16('s'), UTF16('k'), UTF16('-'), UTF16('u'), UTF16('p'),
    UTF16('d'), UTF16('a'), UTF16('t'), UTF16('e'),
};

static __code const uint8_t product[] = {
    2 + 2 * 24, DESCRIPTOR_STRING,
    UTF16('C'), UTF16('a'), UTF16('m'), UTF16('e'), UTF16('r'), UTF16('a'), UTF16(' '),
    UTF16('U'), UTF16('S'), UTF16('B'), UTF16(' '), UTF16('b'), UTF16('o'), UTF16('a'),
    UTF16('r'), UTF16('d'), UTF16(' '), UTF16('c'), UTF16('o'), UTF16('n'), UTF16('t'),
    UTF16('r'), UTF16('o'), UTF16('l'),
};
/* clang-format on */

__code const uint8_t* __code const string_descriptors[STRING_DESCRIPTOR_COUNT] = {
    languages, manufacturer, product};
