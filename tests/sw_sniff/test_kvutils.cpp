// Tests of the PID table, name functions, splitter, tick formatter and USB CRCs.
#include <gtest/gtest.h>

#include <cstring>

#include "crc.h"
#include "kvutils.h"

TEST(PidTable, LookupsMaskToTheLowNibbleButNamesDoNot) {
  EXPECT_STREQ(utils::pidName(99), "Unknown (X)PID Type");
  EXPECT_STREQ(utils::pidName(16), "RESET");
  EXPECT_STREQ(utils::pidName(17), "ERROR");
  EXPECT_STREQ(utils::pidName(18), "UNDEFINED");
  EXPECT_STREQ(utils::pidName(19), "Unknown (X)PID Type");
  EXPECT_STREQ(utils::pidName(13), "SETUP");
  EXPECT_STREQ(utils::pidPrintCode(99), "0xC3");
  EXPECT_EQ(utils::packetType(0x2D), L0_TOKEN);
  EXPECT_EQ(utils::packetType(5), L0_SOF);
  EXPECT_EQ(utils::packetType(0), L0_RESERVED);
  EXPECT_EQ(utils::packetType(12), L0_SPECIAL);
  EXPECT_EQ(utils::packetMinSize(8), 4);
  EXPECT_EQ(utils::pidIsFsLegal(6), 0);
  EXPECT_EQ(utils::pidIsFsLegal(0x69), 1);
  EXPECT_EQ(utils::pidBG(1), 0xFF4081ul);
  EXPECT_EQ(utils::pidFG(1), 0xFFFFFFul);
}

TEST(PidTable, PrintedCodeCarriesTheCheckNibble) {
  for (unsigned pid = 0; pid < 16; ++pid) {
    unsigned code = std::stoul(utils::pidPrintCode(pid), nullptr, 16);
    EXPECT_EQ(code & 0xF, pid);
    EXPECT_EQ(code >> 4, (~pid) & 0xF) << pid;
  }
}

TEST(Names, InsideAndOutsideTheEnumerations) {
  EXPECT_STREQ(utils::transactionTypeName(TRX_SETUP), "SETUP");
  EXPECT_STREQ(utils::transactionTypeName(TRX_UNDEFINED), "Undefined");
  EXPECT_STREQ(utils::transactionTypeName(static_cast<TtrxType>(4)), "Unknown Transaction Type");
  EXPECT_STREQ(utils::transactionTypeName(static_cast<TtrxType>(-1)), "Unknown Transaction Type");
  EXPECT_STREQ(utils::L0eventTypeName(L0_UNDEFINED), "Undefined");
  EXPECT_STREQ(utils::L0eventTypeName(static_cast<L0eventType>(8)), "Unknown L0 Event Type");
  EXPECT_STREQ(utils::L1groupTypeName(L1_SOFGROUP), "SOFgroup");
  EXPECT_STREQ(utils::L1groupTypeName(static_cast<L1groupType>(7)), "Unknown L1 Group Type");
}

TEST(Split, DropsEmptyPiecesAndAppends) {
  EXPECT_EQ(utils::split(";a;;b;", ';'), (TstringVec{"a", "b"}));
  EXPECT_TRUE(utils::split("", ';').empty());
  EXPECT_TRUE(utils::split(";;;", ';').empty());
  EXPECT_EQ(utils::split("abc", ';'), (TstringVec{"abc"}));
  TstringVec v{"x"};
  utils::split("1:2", ':', v);
  EXPECT_EQ(v, (TstringVec{"x", "1", "2"}));
}

TEST(TickToFloatStr, UnitsAndFractions) {
  EXPECT_EQ(utils::tickToFloatStr(0, 12), "0 ns");
  EXPECT_EQ(utils::tickToFloatStr(12, 12), "1000 ns");
  EXPECT_EQ(utils::tickToFloatStr(24, 12), "2 mus");
  EXPECT_EQ(utils::tickToFloatStr(30, 12), "2.500 mus");
  EXPECT_EQ(utils::tickToFloatStr(12012, 12), "1.001 ms");
  EXPECT_EQ(utils::tickToFloatStr(12018, 12), "1.001 ms");
  EXPECT_EQ(utils::tickToFloatStr(12000000, 12), "1000 ms");
  EXPECT_EQ(utils::tickToFloatStr(24000000, 12), "2 s");
  EXPECT_EQ(utils::tickToFloatStr(12000000000000ull, 12), "1000000 s");
  EXPECT_EQ(utils::tickToFloatStr(24, 0), "2 mus");  // no division by zero
}

TEST(Crc16, KnownValues) {
  const char* s = "123456789";
  EXPECT_EQ(crc::makeCRC16(reinterpret_cast<const uint8_t*>(s), std::strlen(s)), 0xB4C8);
  EXPECT_EQ(crc::makeCRC16(nullptr, 0), 0x0000);
  EXPECT_TRUE(crc::checkCRC16(nullptr, 0, 0x0000));
  // A GET_DESCRIPTOR setup packet as seen on a real bus.
  const uint8_t setup[] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x40, 0x00};
  EXPECT_EQ(crc::makeCRC16(setup, 8), 0x94DD);
  EXPECT_FALSE(crc::checkCRC16(setup, 8, 0x94DC));
  EXPECT_EQ(crc::USB_CRC16_TABLE[1], 0xC0C1);
  EXPECT_EQ(crc::USB_CRC16_TABLE[255], 0x4040);
}

TEST(Crc5, CheckAcceptsGoodFieldsAndEverySingleBitFlipFails) {
  const uint8_t good[2] = {0x00, 0x10};
  EXPECT_TRUE(crc::checkCRC5(good));
  for (int bit = 0; bit < 16; ++bit) {
    uint8_t b[2] = {good[0], good[1]};
    b[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
    EXPECT_FALSE(crc::checkCRC5(b)) << bit;
  }
}

TEST(Crc5, GeneratorMatchesTheCheckForEveryField) {
  EXPECT_EQ(crc::makeCRC5(0, 11), 0x08);
  EXPECT_EQ(crc::makeCRC5(0, 0), 0xFF);
  EXPECT_EQ(crc::makeCRC5(0, 33), 0xFF);
  EXPECT_NE(crc::makeCRC5(0x1234, 32), 0xFF);
  for (unsigned field = 0; field < 2048; ++field) {
    unsigned reversed = 0;
    for (int i = 0; i < 11; ++i)
      if (field & (1u << i))
        reversed |= 1u << (10 - i);
    unsigned c = crc::makeCRC5(static_cast<uint16_t>(reversed), 11);
    unsigned sent = 0;  // the five CRC bits as sent, least significant first
    for (int i = 0; i < 5; ++i)
      if (c & (1u << i))
        sent |= 1u << (4 - i);
    unsigned v = field | sent << 11;
    const uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    ASSERT_TRUE(crc::checkCRC5(b)) << field;
  }
}
