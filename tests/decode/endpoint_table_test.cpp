// Learned endpoints (replaced by address and endpoint) and the endpoints seen
// (each pair once) both restart when full; the selection test of the data view.
#include <gtest/gtest.h>

#include "decode/cells/attr_flag.h"
#include "decode/endpoint_table.h"

namespace {

// Learns {type, address, endpoint, direction, size}.
void learn(EndpointTable* t, EndpointEntry e) { endpoint_table_learn(t, &e); }

TEST(EndpointTable, ReplacedByAddressAndEndpointAndRestartedWhenFull) {
  EndpointTable t;
  endpoint_table_clear(&t);
  learn(&t, {2, 3, 1, 8, 512});
  learn(&t, {3, 3, 1, 0, 8});  // whatever the direction
  learn(&t, {2, 4, 1, 8, 64});  // another device's endpoint 1
  ASSERT_EQ(t.count, 2);
  EXPECT_EQ(endpoint_table_find(&t, 3, 1)->maxPacketSize, 8u);
  EXPECT_EQ(endpoint_table_find(&t, 4, 1)->maxPacketSize, 64u);
  EXPECT_EQ(endpoint_table_find(&t, 3, 2), nullptr);
  EXPECT_EQ(endpoint_table_find(nullptr, 3, 1), nullptr);
  for (int i = 2; i < 128; i++) learn(&t, {2, (uint8_t)(10 + i / 16), (uint8_t)(i % 16), 8, 64});
  ASSERT_EQ(t.count, 128);
  learn(&t, {1, 3, 1, 0, 1023});  // a known pair in a full table is replaced in place
  EXPECT_EQ(t.count, 128);
  EXPECT_EQ(endpoint_table_find(&t, 3, 1)->maxPacketSize, 1023u);
  learn(&t, {3, 100, 2, 8, 16});  // the 129th restarts the table
  ASSERT_EQ(t.count, 1);
  EXPECT_EQ(endpoint_table_find(&t, 3, 1), nullptr);
  EXPECT_EQ(endpoint_table_find(&t, 100, 2)->transferType, 3);
}

TEST(SeenEndpoints, RecordsEachPairOnceRestartsWhenFullAndMatchesTheSelection) {
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
  seen_endpoints_clear();

  uint32_t in_row = attr_make_address(ATTR_IN | ATTR_NAK, 5, 1);
  EXPECT_EQ(0x05011008u, in_row);
  EXPECT_TRUE(attr_matches_selection(in_row, 5, 1));
  EXPECT_FALSE(attr_matches_selection(in_row, 5, 2));
  EXPECT_FALSE(attr_matches_selection(in_row, 1, 5));
}

}  // namespace
