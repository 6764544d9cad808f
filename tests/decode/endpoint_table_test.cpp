// Learning endpoints: replace by (address, endpoint), append, restart when full.
#include <gtest/gtest.h>

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

}  // namespace
