/* CPU-bound work for the emulator benchmark: byte arithmetic over an xdata buffer. */

__xdata unsigned char buffer[64];

void main(void) {
  unsigned int round;
  unsigned char i;
  for (round = 0; round < 16000; round++) {
    for (i = 0; i < 64; i++) buffer[i] += (unsigned char)(round + i);
  }
  while (1) {
  }
}
