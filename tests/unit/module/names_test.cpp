// Name comparison: unsigned and case-sensitive, Shift-JIS characters as one
// unit under code page 932, and the 260-byte bound of a name block.
#include <gtest/gtest.h>

#include <string>

#include "host/heap.h"
#include "ports/names.h"

namespace {

class NamesTest : public ::testing::Test {
 protected:
  void TearDown() override { SetNameCodePage(0); }
};

TEST_F(NamesTest, CaseSensitiveUnsignedOrder) {
  EXPECT_EQ(CompareNames("PORT1", "PORT1"), 0);
  EXPECT_LT(CompareNames("Alpha", "alpha"), 0) << "upper case sorts first";
  EXPECT_GT(CompareNames("alpha", "Alpha"), 0);
  EXPECT_LT(CompareNames("ALPHA", "ALPHAB"), 0) << "a prefix sorts first";
  // Bytes above 0x7F are large, not negative.
  EXPECT_GT(CompareNames("\xE9", "z"), 0);
  EXPECT_GT(CompareNames("A\xFF", "A\x01"), 0);
}

TEST_F(NamesTest, NullAndEmptyNamesAreEqualAndSortFirst) {
  EXPECT_EQ(CompareNames(nullptr, ""), 0);
  EXPECT_EQ(CompareNames("", nullptr), 0);
  EXPECT_EQ(CompareNames(nullptr, nullptr), 0);
  EXPECT_LT(CompareNames("", "A"), 0);
  EXPECT_GT(CompareNames("A", nullptr), 0);
}

TEST_F(NamesTest, CodePageSelection) {
  EXPECT_TRUE(SetNameCodePage(932));
  EXPECT_FALSE(SetNameCodePage(65001));
  // An unknown code page leaves the selection as it was.
  EXPECT_EQ(CompareNames("AB\x81", "AB"), 0);
  EXPECT_TRUE(SetNameCodePage(1252));
  EXPECT_GT(CompareNames("AB\x81", "AB"), 0);
  EXPECT_TRUE(SetNameCodePage(932));
  EXPECT_TRUE(SetNameCodePage(0));
  EXPECT_GT(CompareNames("AB\x81", "AB"), 0);
}

TEST_F(NamesTest, ShiftJisLeadAndTrailCompareAsOneCharacter) {
  // A double-byte character (0x8140) against a single-byte katakana (0xA1):
  // byte by byte 0x81 < 0xA1, as characters 0x8140 > 0xA1.
  EXPECT_LT(CompareNames("\x81\x40", "\xA1"), 0);
  ASSERT_TRUE(SetNameCodePage(932));
  EXPECT_GT(CompareNames("\x81\x40", "\xA1"), 0);
  EXPECT_LT(CompareNames("\xA1", "\x81\x40"), 0);
  EXPECT_LT(CompareNames("\x81\x40", "\x81\x41"), 0);
  EXPECT_EQ(CompareNames("X\xE0\xFCY", "X\xE0\xFCY"), 0);

  // A trail byte in the lead range is a trail, not the lead of the next
  // character: after 0x8181 comes 0xA1 against 0x8140.
  EXPECT_LT(CompareNames("\x81\x81\xA1", "\x81\x81\x81\x40"), 0);
  SetNameCodePage(0);
  EXPECT_GT(CompareNames("\x81\x81\xA1", "\x81\x81\x81\x40"), 0);
  SetNameCodePage(932);

  // The edges of both lead ranges, and the bytes just outside them.
  for (int lead : {0x81, 0x9F, 0xE0, 0xFC}) {
    std::string dbcs{static_cast<char>(lead), '\x40'};
    EXPECT_GT(CompareNames(dbcs.c_str(), "\xFF"), 0) << std::hex << lead << " is a lead byte";
  }
  for (int single : {0x80, 0xA0, 0xDF, 0xFD}) {
    std::string two{static_cast<char>(single), '\x40'};
    EXPECT_LT(CompareNames(two.c_str(), "\xFF"), 0) << std::hex << single << " is a single byte";
  }
}

TEST_F(NamesTest, LeadByteBeforeTheNulEndsTheName) {
  ASSERT_TRUE(SetNameCodePage(932));
  EXPECT_EQ(CompareNames("AB\x81", "AB"), 0);
  EXPECT_EQ(CompareNames("\x9F", ""), 0);
  EXPECT_LT(CompareNames("AB\x81", "ABC"), 0);
}

TEST_F(NamesTest, NamesAreBoundByTheirBlock) {
  std::int64_t before = plat::LiveLocalBlocks();
  const std::string name259(259, 'N');
  std::string name300 = name259 + std::string(41, 'X');
  LPSTR block = NewNameBlock(name300.c_str());
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::string(block), name259) << "cut to what the block holds";
  EXPECT_EQ(CompareNames(block, name300.c_str()), 0) << "a long name matches its stored copy";
  EXPECT_EQ(CompareNames(block, name259.c_str()), 0);
  std::string other = name259;
  other[258] = 'M';
  EXPECT_NE(CompareNames(block, other.c_str()), 0) << "the 259th character still counts";

  // A double-byte character cut in half by the bound ends the name there.
  ASSERT_TRUE(SetNameCodePage(932));
  std::string dbcs = std::string(258, 'K') + "\x82\xA0";
  CopyName(block, dbcs.c_str());
  EXPECT_EQ(std::string(block), std::string(258, 'K') + "\x82");
  EXPECT_EQ(CompareNames(block, dbcs.c_str()), 0);
  EXPECT_EQ(CompareNames(block, std::string(258, 'K').c_str()), 0);

  CopyName(block, nullptr);
  EXPECT_EQ(block[0], '\0');
  CopyName(nullptr, "ignored");
  LocalFree(block);

  plat::FailAllAllocations(true);
  EXPECT_EQ(NewNameBlock("X"), nullptr);
  plat::FailAllAllocations(false);
  EXPECT_EQ(plat::LiveLocalBlocks(), before);
}

}  // namespace
