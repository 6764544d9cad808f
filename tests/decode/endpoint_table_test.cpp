// Learning endpoints: replace by (address, endpoint), append, restart when full.
#include <gtest/gtest.h>

#include "decode/endpoint_table.h"

namespace {

// Learns {type, address, endpoint, direction, size}.
void learn(EndpointTable* t, EndpointEntry e) { endpoint_table_learn(t, &e); }

TEST(EndpointTable, SameAddressAndEndpointIsReplacedWhateverTheDirection) {
  EndpointTable t;
  endpoint_table_clear(&t);
  learn(&t, {2, 3, 1, 8, 512});
  learn(&t, {3, 3, 1, 0, 8});
  ASSERT_EQ(t.count, 1);
  const EndpointEntry* e = endpoint_table_find(&t, 3, 1);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->transferType, 3);
  EXPECT_EQ(e->direction, 0);
  EXPECT_EQ(e->maxPacketSize, 8u);
  // Another device's endpoint 1 is a separate entry.
  learn(&t, {2, 4, 1, 8, 64});
  EXPECT_EQ(t.count, 2);
  EXPECT_EQ(endpoint_table_find(&t, 4, 1)->maxPacketSize, 64u);
  EXPECT_EQ(endpoint_table_find(&t, 3, 2), nullptr);
  // Clearing forgets everything.
  endpoint_table_clear(&t);
  EXPECT_EQ(t.count, 0);
  EXPECT_EQ(endpoint_table_find(&t, 3, 1), nullptr);
  EXPECT_EQ(endpoint_table_find(nullptr, 3, 1), nullptr);
}

TEST(EndpointTable, The129thEndpointRestartsTheTable) {
  EndpointTable t;
  endpoint_table_clear(&t);
  for (int i = 0; i < 128; i++) learn(&t, {2, (uint8_t)(i / 16), (uint8_t)(i % 16), 8, 64});
  ASSERT_EQ(t.count, 128);
  // A known pair in a full table is still replaced in place.
  learn(&t, {1, 0, 5, 0, 1023});
  EXPECT_EQ(t.count, 128);
  EXPECT_EQ(endpoint_table_find(&t, 0, 5)->maxPacketSize, 1023u);

  learn(&t, {3, 100, 2, 8, 16});
  ASSERT_EQ(t.count, 1);
  EXPECT_EQ(endpoint_table_find(&t, 0, 0), nullptr);
  const EndpointEntry* e = endpoint_table_find(&t, 100, 2);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->transferType, 3);
}

}  // namespace
