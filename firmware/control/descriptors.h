/* The control firmware's USB identity: one configuration per speed, each with a single
 * vendor-specific interface that uses only endpoint 0. */
#ifndef DESCRIPTORS_H
#define DESCRIPTORS_H

#include <stdint.h>

#define USB_VENDOR_ID 0x125C
#define USB_PRODUCT_ID 0x0010
#define USB_DEVICE_RELEASE 0x0011

#define DESCRIPTOR_DEVICE 1
#define DESCRIPTOR_CONFIGURATION 2
#define DESCRIPTOR_STRING 3
#define DESCRIPTOR_DEVICE_QUALIFIER 6
#define DESCRIPTOR_OTHER_SPEED_CONFIGURATION 7

extern __code const uint8_t device_descriptor[];
extern __code const uint8_t device_qualifier_descriptor[];
extern __code const uint8_t full_speed_configuration[];
extern __code const uint8_t high_speed_configuration[];

#define STRING_DESCRIPTOR_COUNT 3 /* the language list, the manufacturer, the product */
extern __code const uint8_t* __code const string_descriptors[STRING_DESCRIPTOR_COUNT];

#endif /* DESCRIPTORS_H */
