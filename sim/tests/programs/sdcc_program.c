/* A small SDCC program for the ucsim comparison: 16- and 32-bit arithmetic through SDCC's
   support library (multiply, divide, modulo, shifts), a recursive function, structure
   copies, a switch (jump table) and xdata arrays. Results land in xdata at 0x2000. */

#include <stdint.h>

__xdata uint8_t results[64];
__xdata uint16_t table[32];

struct Pair {
  uint16_t a;
  uint32_t b;
};

static uint16_t Fibonacci(uint8_t n) { return n < 2 ? n : Fibonacci(n - 1) + Fibonacci(n - 2); }

static uint8_t Classify(uint8_t v) {
  switch (v & 7) {
    case 0: return 11;
    case 1: return 23;
    case 2: return 37;
    case 3: return 41;
    case 4: return 53;
    case 5: return 67;
    case 6: return 79;
    default: return 83;
  }
}

void main(void) {
  uint32_t accumulator = 0x12345678UL;
  uint16_t i;
  struct Pair first = {0x1111, 0x22222222UL};
  struct Pair second;
  for (i = 0; i < 32; i++) {
    table[i] = (uint16_t)(i * 977u) ^ (uint16_t)(accumulator >> (i & 15));
    accumulator = accumulator * 1664525UL + 1013904223UL;
    accumulator ^= accumulator / (i + 3);
    results[i] = (uint8_t)(accumulator % 251) + Classify((uint8_t)i);
  }
  second = first;
  second.b += accumulator;
  results[32] = (uint8_t)Fibonacci(10);
  results[33] = (uint8_t)(second.b >> 24);
  results[34] = (uint8_t)(second.b >> 16);
  results[35] = (uint8_t)(second.a / 7);
  for (i = 0; i < 16; i++) results[36 + i] = (uint8_t)(table[i] % (i + 1)) + (uint8_t)(table[31 - i] >> 3);
  while (1) {
  }
}
