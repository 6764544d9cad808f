// A second look at the packet decoder: colours of the transfer detail cells,
// the attribute flag of tokens, and how far a stream of packets without
// outcome may make the decoder grow.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/cells/attr_flag.h"
#include "decode/data_parse.h"
#include "decode/usb_packet.h"
#include "os/log.h"
#include "tests/decode/usb_packets.h"

using namespace usbtest;

namespace {

class DecoderAudit : public ::testing::Test {
 protected:
  void SetUp() override {
    orvane_log_set_muted(1);
    sof_hold_clear();
    selectedAddress = selectedEndpoint = 0xFF;
    dp = new dataParse(false);
  }
  void TearDown() override {
    delete dp;
    sof_hold_clear();
    orvane_log_set_muted(0);
  }
  // The caller's loop for one packet; the output lists are left alone.
  void feed(const Bytes& b, uint64_t t) {
    for (int guard = 0; guard < 4096; guard++) {
      uint32_t r = dp->parsePackage(b.data(), (int32_t)b.size(), t);
      if (!(r & RESULT_CALL_AGAIN)) return;
    }
    FAIL() << "parsePackage kept asking to be called again";
  }
  void feed_all(const std::vector<Bytes>& packets, uint64_t t0 = 1000) {
    uint64_t t = t0;
    for (const Bytes& b : packets) feed(b, t += 100);
  }
  dataParse* dp = nullptr;
};

// The token cells of a completed bulk transfer's detail carry no colour but
// the endpoint's: unlike the token's own field rows, the kind word here is a
// plain label.
TEST_F(DecoderAudit, TransferDetailTokenCellsArePlainButThePointAndDataKeys) {
  EndpointEntry e{2, 6, 2, 8, 64};  // bulk endpoint 2 of device 6, 64 bytes
  endpoint_table_learn(&dp->endpointTable, &e);
  feed_all({token(0x69, 6, 2), data(0xC3, filled(10)), hs(0xD2)});
  ASSERT_NE(dp->transferDetail, nullptr);
  EXPECT_EQ(list_text(dp->transferDetail).substr(0, 26), "In=69 | Addr=6 | Point=2 |");
  EXPECT_EQ(key_colours(dp->transferDetail), "In[0/0] Addr[0/0] Point[4/0] Data (10 tytes)[20/0]");
  // The token's own rows keep the kind colour.
  EXPECT_EQ(key_colours(dp->transactionDetail), "In[5/0] Addr[0/0] Point[4/0]");
}

// An IN or OUT row keeps its own address and endpoint, whatever token came
// before it; data and handshakes take those of the last addressed token.
TEST_F(DecoderAudit, TokensKeepTheirOwnAddressDataAndHandshakesTakeTheTokens) {
  feed_all({token(0x69, 3, 1), hs(0x5A)});
  dp->freeOutputLists();
  dp->parsePackage(token(0xE1, 9, 4).data(), 3, 5000);  // queued
  uint32_t r = dp->parsePackage(data(0xC3, filled(2)).data(), 5, 5100);
  EXPECT_EQ(r, 0u);
  dp->parsePackage(hs(0xD2).data(), 1, 5200);  // decodes the OUT
  EXPECT_EQ(dp->attrFlag, ATTR_OUT | ATTR_ACK | (9u << 24) | (4u << 16));
  dp->parsePackage(hs(0xD2).data(), 1, 5200);  // the DATA0
  EXPECT_EQ(dp->attrFlag, ATTR_ACK | (9u << 24) | (4u << 16));
  dp->parsePackage(hs(0xD2).data(), 1, 5200);  // the ACK
  EXPECT_EQ(dp->attrFlag, ATTR_ACK | (9u << 24) | (4u << 16));
  // An IN decoded right after a SOF keeps its own address too; a data packet
  // decoded after the SOF itself carries none.
  feed_all({sof(3), token(0x69, 9, 4)}, 6000);
  dp->freeOutputLists();
  dp->parsePackage(data(0x4B, filled(1)).data(), 4, 7000);  // queued
  dp->parsePackage(sof(4).data(), 3, 7100);                 // decodes the IN
  EXPECT_EQ(dp->attrFlag, ATTR_IN | (9u << 24) | (4u << 16));
  dp->freeOutputLists();
  feed(sof(5), 8000);  // the DATA1, then the SOF is held
  feed(data(0x4B, filled(1)), 8100);
  feed(hs(0xD2), 8200);  // the held SOF, then the lone DATA1: the last token is a SOF
  EXPECT_EQ(dp->attrFlag, ATTR_ACK | 0xFFFF0000u);
}

// Data packets are held until a token or handshake tells their outcome; a
// stream that never brings one must not hold them all. Past the bound the
// oldest is decoded (without outcome) before the new one is held, so every
// packet is still numbered once and in order.
TEST_F(DecoderAudit, DataPacketsWithoutOutcomeAreHeldWithinABound) {
  const int n = 20000;
  uint32_t expected = 1;
  size_t most = 0;
  bool inOrder = true;
  for (int i = 0; i < n; i++) {
    Bytes d = data(0xC3, Bytes{(uint8_t)i, (uint8_t)(i >> 8), 0xAA});
    for (int guard = 0; guard < 8; guard++) {
      uint32_t r = dp->parsePackage(d.data(), (int32_t)d.size(), (uint64_t)i * 10);
      if (dp->rawPackageInfo) {
        // The packet just numbered is the oldest one not numbered yet.
        uint32_t seq = (uint32_t)(dp->data.bytes[1] | (dp->data.bytes[2] << 8));
        if (dp->packageCount() != expected || seq != (uint16_t)(expected - 1)) inOrder = false;
        expected++;
      }
      dp->freeOutputLists();
      if (!(r & RESULT_CALL_AGAIN)) break;
    }
    if (dp->pendingPackets.size() > most) most = dp->pendingPackets.size();
  }
  EXPECT_LE(most, 4096u);
  EXPECT_TRUE(inOrder);
  // A handshake then drains what is left.
  feed(hs(0xD2), (uint64_t)n * 10);
  EXPECT_TRUE(dp->pendingPackets.empty());
  EXPECT_EQ(dp->packageCount(), (uint32_t)n);  // the lone ACK has no transaction
}

}  // namespace
