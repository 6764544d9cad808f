// Learning endpoints: replace by (address, endpoint), append, restart when full.
#include <gtest/gtest.h>

#include "decode/endpoint_table.h"

namespace {

EndpointEntry entry(uint8_t address, uint8_t endpoint, uint8_t type, uint8_t direction,
                    uint32_t size) {
  EndpointEntry e;
  e.transferType = type;
  e.address = address;
  e.endpoint = endpoint;
  e.direction = direction;
  e.maxPacketSize = size;
  return e;
}

}  // namespace

TEST(EndpointTable, SameAddressAndEndpointIsReplacedWhateverTheDirection) {
  EndpointTable t;
  endpoint_table_clear(&t);
  EndpointEntry in = entry(3, 1, 2, 8, 512);
  EndpointEntry out = entry(3, 1, 3, 0, 8);
  endpoint_table_learn(&t, &in);
  endpoint_table_learn(&t, &out);
  ASSERT_EQ(t.count, 1);
  const EndpointEntry* e = endpoint_table_find(&t, 3, 1);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->transferType, 3);
  EXPECT_EQ(e->direction, 0);
  EXPECT_EQ(e->maxPacketSize, 8u);
  // Another device's endpoint 1 is a separate entry.
  EndpointEntry other = entry(4, 1, 2, 8, 64);
  endpoint_table_learn(&t, &other);
  EXPECT_EQ(t.count, 2);
  EXPECT_EQ(endpoint_table_find(&t, 4, 1)->maxPacketSize, 64u);
  EXPECT_EQ(endpoint_table_find(&t, 3, 2), nullptr);
}

TEST(EndpointTable, The129thEndpointRestartsTheTable) {
  EndpointTable t;
  endpoint_table_clear(&t);
  for (int i = 0; i < 128; i++) {
    EndpointEntry e = entry((uint8_t)(i / 16), (uint8_t)(i % 16), 2, 8, 64);
    endpoint_table_learn(&t, &e);
  }
  ASSERT_EQ(t.count, 128);
  // A known pair in a full table is still replaced in place.
  EndpointEntry again = entry(0, 5, 1, 0, 1023);
  endpoint_table_learn(&t, &again);
  EXPECT_EQ(t.count, 128);
  EXPECT_EQ(endpoint_table_find(&t, 0, 5)->maxPacketSize, 1023u);

  EndpointEntry last = entry(100, 2, 3, 8, 16);
  endpoint_table_learn(&t, &last);
  ASSERT_EQ(t.count, 1);
  EXPECT_EQ(endpoint_table_find(&t, 0, 0), nullptr);
  const EndpointEntry* e = endpoint_table_find(&t, 100, 2);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->transferType, 3);
}

TEST(EndpointTable, ClearForgetsEverything) {
  EndpointTable t;
  endpoint_table_clear(&t);
  EndpointEntry e = entry(1, 1, 2, 8, 64);
  endpoint_table_learn(&t, &e);
  endpoint_table_clear(&t);
  EXPECT_EQ(t.count, 0);
  EXPECT_EQ(endpoint_table_find(&t, 1, 1), nullptr);
  EXPECT_EQ(endpoint_table_find(nullptr, 1, 1), nullptr);
}
