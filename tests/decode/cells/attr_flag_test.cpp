// The seen-endpoint table and the selection test of the data view.
#include "decode/cells/attr_flag.h"

#include <gtest/gtest.h>

namespace {

TEST(SeenEndpoints, RecordsEachPairOnceAndRestartsWhenFull) {
  seen_endpoints_clear();
  seen_endpoints_record(1, 0);
  seen_endpoints_record(0, 1);
  seen_endpoints_record(1, 0);
  ASSERT_EQ(2, seenEndpoints.count);
  for (int i = 2; i < 128; ++i) seen_endpoints_record((uint8_t)(10 + i / 16), (uint8_t)(i % 16));
  seen_endpoints_record(17, 15);  // present: nothing changes
  ASSERT_EQ(128, seenEndpoints.count);
  seen_endpoints_record(100, 2);  // the 129th pair restarts the table
  ASSERT_EQ(1, seenEndpoints.count);
  EXPECT_EQ(100, seenEndpoints.pairs[0].address);
}

TEST(AttrFlag, SelectionMatchesAddressAndEndpointBits) {
  uint32_t in_row = attr_make_address(ATTR_IN | ATTR_NAK, 5, 1);
  EXPECT_EQ(0x05011008u, in_row);
  EXPECT_TRUE(attr_matches_selection(in_row, 5, 1));
  EXPECT_FALSE(attr_matches_selection(in_row, 5, 2));
  EXPECT_FALSE(attr_matches_selection(in_row, 1, 5));
}

}  // namespace
