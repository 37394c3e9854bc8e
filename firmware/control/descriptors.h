/* The control firmware's USB identity: one configuration per speed, each with a single
 * vendor-specific interface that uses only endpoint 0. */
#ifndef DESCRIPTORS_H
#define DESCRIPTORS_H

#include <stdint.h>

#include "board_table.h"

#define USB_VENDOR_ID BOARD_CAMERA_VENDOR_ID
#define USB_PRODUCT_ID BOARD_CAMERA_PRODUCT_ID
#define USB_DEVICE_RELEASE BOARD_CAMERA_DEVICE_ID

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
