/* The sample FX2 image's program: blinks the board's LED, toggling it every 250 ms, i.e.
 * two blinks a second. It runs at the 12 MHz the FX2 boots with (set again here) and times
 * itself with a counted loop of known cycle counts, not with a timer. */
#include <stdint.h>

#include "board.h"
#include "fx2regs.h"

/* 5 x 250 x (2 + 200 x 3 + 3) + 5 x 5 = 756,275 instruction cycles of 4 clocks at 12 MHz,
 * i.e. 252 ms: MOV Rn,#data takes 2 cycles, DJNZ Rn,rel 3. */
static void wait_quarter_second(void) __naked {
  /* clang-format off */
  __asm
    mov   r7, #5
  00001$:
    mov   r6, #250
  00002$:
    mov   r5, #200
  00003$:
    djnz  r5, 00003$
    djnz  r6, 00002$
    djnz  r7, 00001$
    ret
  __endasm;
  /* clang-format on */
}

void main(void) {
  CPUCS &= ~bmCPUCS_CLKSPD;
  OEA |= BOARD_LED_MASK;
  for (;;) {
    IOA ^= BOARD_LED_MASK;
    wait_quarter_second();
  }
}
