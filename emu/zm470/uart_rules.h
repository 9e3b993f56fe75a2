// The ZM470 UART's rate and character-format rules, free of any library so that the chip model
// (zm470.cpp) and the test bus's kernel build of the bridge (windows/testbus) share one copy.
#pragma once

namespace zm470_uart {

// The clocks that register 0x12 bits 0-2 select: 11719, 93750, 750000 and 6000000 Hz for 0 to 3,
// and 11980800 Hz for 7, whose two codes in use give 307200 (0xD9) and 921600 (0xF3). 4 to 6 are
// never programmed and run like 3. Bit 7 (set on 0x30 and up) does not change the rate.
constexpr unsigned long kClock[8] = {11719, 93750, 750000, 6000000, 6000000, 6000000, 6000000, 11980800};

// The factor that divides the clock: 256 minus register 0x13, where 0 counts as 256.
constexpr unsigned DivisionFactor(unsigned char divisor) { return divisor == 0 ? 256u : 256u - divisor; }

// Register 0x18 on 0x30 and up: bits 0-1 data bits minus 5, bit 2 the longer stop (1.5 bits with 5
// data bits, 2 otherwise), bit 3 parity on, bits 4-5 its type (odd, even, mark, space).
constexpr unsigned DataBits(unsigned char lineControl) { return 5u + (lineControl & 3u); }
constexpr unsigned StopHalfBits(unsigned char lineControl) {
  return !(lineControl & 4u) ? 2u : DataBits(lineControl) == 5 ? 3u : 4u;
}
constexpr bool ParityOn(unsigned char lineControl) { return (lineControl & 8u) != 0; }
constexpr unsigned ParityType(unsigned char lineControl) { return (lineControl >> 4) & 3u; }

}  // namespace zm470_uart
