// Port-state conversions: hex text both ways, port lists, binary text and the
// decimal helpers, for the revision this binary was built for.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "hub_model.h"

namespace {

struct HexCase {
  std::string text;
  std::uint64_t little_endian;  // s2hex_l
  std::uint64_t big_endian;     // s2hex
};

TEST(Conversions, HexTextToBitmap) {
  const HexCase cases[] = {
      {"A6010000", 0x1A6, 0xA6010000},
      {"a6010000", 0x1A6, 0xA6010000},
      {"0F000000", 0x0F, 0x0F000000},
      {"FFFFFFFF", 0xFFFFFFFF, 0xFFFFFFFF},
      {"00000000", 0, 0},
      // Every digit, both cases.
      {"01234567", 0x67452301, 0x01234567},
      {"89ABCDEF", 0xEFCDAB89, 0x89ABCDEF},
      {"89abcdef", 0xEFCDAB89, 0x89ABCDEF},
      {"A6010000FF", 0x1A6, 0xA6010000},  // characters after the eighth ignored
      // A non-digit spills: 'G' is 16, so the byte G0 is 0x100.
      {"G0000000", 0x100, 0x100000000ULL},
      // A blank is -16: the byte is -256, setting every bit from 8 upwards.
      {" 0000000", 0xFFFFFFFFFFFFFF00ULL, 0xFFFFFFFF00000000ULL},
      // Missing positions read as '0'.
      {"A6", 0xA6, 0xA6000000},
      {"", 0, 0},
  };
  for (const HexCase& c : cases) {
    EXPECT_EQ(s2hex_l(c.text), c.little_endian) << c.text;
    EXPECT_EQ(s2hex(c.text), c.big_endian) << c.text;
    std::uint64_t stored = 12345;
    stoh_PS64(c.text, &stored);
    EXPECT_EQ(stored, c.little_endian) << c.text;
  }
}

TEST(Conversions, BytesAbove127FollowTheRevision) {
  // 0xC1 is -63 read as signed (-63 - 48 = -111) and 193 read as unsigned
  // (193 - 55 = 138).
  const std::string text =
      "\xC1"
      "0000000";
#if NEXLI_REVISION == 103
  EXPECT_EQ(s2hex_l(text), static_cast<std::uint64_t>(std::int64_t{-111 * 16}));
  EXPECT_EQ(my_stoi("\xC1"), -111);
  EXPECT_EQ(my_stoi("1\xFF"), 10 + (-1 - 48));
#else
  EXPECT_EQ(s2hex_l(text), std::uint64_t{138 * 16});
  EXPECT_EQ(my_stoi("\xC1"), 193 - 48);
  EXPECT_EQ(my_stoi("1\xFF"), 10 + (255 - 48));
#endif
}

TEST(Conversions, BitmapToHexText) {
  const struct {
    std::uint64_t bitmap;
    std::string text;
  } cases[] = {
      {0, "00000000"},          {0x1A6, "A6010000"},
      {0xFFFFFFFF, "FFFFFFFF"}, {0x100000001ULL, "01000000"},  // bits 32 to 63 are dropped
      {0x80000000, "00000080"}, {0x67452301, "01234567"},
      {0xEFCDAB89, "89ABCDEF"},
  };
  for (const auto& c : cases) {
    std::string text = "previous";
    htos_PS64(c.bitmap, &text);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(s2hex_l(text), c.bitmap & 0xFFFFFFFF);
  }
}

TEST(Conversions, PortLists) {
  const struct {
    std::uint64_t bitmap;
    int nPorts;
    std::string on, off;
  } cases[] = {
      {0x1A6, 12, "2,3,6,8,9", "1,4,5,7,10,11,12"},
      {0, 4, "None", "1,2,3,4"},
      {0xF, 4, "1,2,3,4", "None"},
      {0, 0, "None", "None"},
      {0xFF, -3, "None", "None"},
      {0xFFFFFFFF, 34,
       "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,"
       "27,28,29,30,31,32",
       "33,34"},
      // Ports above 64 have no bit: off, never a copy of port 1.
      {~std::uint64_t{0}, 66,
       "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32,"
       "33,34,35,36,37,38,39,40,41,42,43,44,45,46,47,48,49,50,51,52,53,54,55,56,57,58,59,60,61,"
       "62,63,64",
       "65,66"},
  };
  for (const auto& c : cases) {
    std::string on = "x";
    std::string off = "y";
    ParsePortStates(c.bitmap, c.nPorts, &on, &off);
    EXPECT_EQ(on, c.on) << c.nPorts;
    EXPECT_EQ(off, c.off) << c.nPorts;
  }
}

TEST(Conversions, BinaryTextAgreesWithPortLists) {
  EXPECT_EQ(PortStateBits(0x5, 4), "0101");
  EXPECT_EQ(PortStateBits(0x80000000, 32), "1" + std::string(31, '0'));
  EXPECT_EQ(PortStateBits(0xFFFFFFFF, 34), "00" + std::string(32, '1'));
  EXPECT_EQ(PortStateBits(0xFF, 0), "");
  EXPECT_EQ(PortStateBits(0xFF, -1), "");
  // Ports 65 and up read "0", as the lists count them off.
  std::string bits = PortStateBits(~std::uint64_t{0}, 66);
  EXPECT_EQ(bits, "00" + std::string(64, '1'));
}

TEST(Conversions, Decimal) {
  EXPECT_EQ(my_itos(-5), "-5");
  EXPECT_EQ(my_itos(0), "0");
  EXPECT_EQ(my_itos(255), "255");
  EXPECT_EQ(my_stoi(""), 0);
  EXPECT_EQ(my_stoi("12"), 12);
  EXPECT_EQ(my_stoi("007"), 7);
  EXPECT_EQ(my_stoi(std::string("12\0"
                                "34",
                                5)),
            12);                                  // stops at a NUL
  EXPECT_EQ(my_stoi("-5"), ('-' - 48) * 10 + 5);  // no sign handling
  // 32-bit wrap-around: 4294967299 is 2^32 + 3.
  EXPECT_EQ(my_stoi("4294967299"), 3);
}

}  // namespace
