#include <gtest/gtest.h>

#include "tests/libusb/mock_usb_bus.h"

int main(int argc, char** argv) {
  vesk::testing::RunUnderUmockdev(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
