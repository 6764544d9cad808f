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
#include "tests/support/usb_packets.h"

using namespace usbtest;

namespace {

// "key{type}[bg/text]=value{type}[bg/text]" per entry, joined by " | ": the
// whole form of a list, types and colours included.
std::string typed(const kvLinkedList* l) {
  if (!l) return "<none>";
  auto one = [](const DataMsg* c) {
    return cell_text(c) + "{" + std::to_string(c->type) + "}" +
           (c->bgdColorIndex || c->colorIndex
                ? "[" + std::to_string(c->bgdColorIndex) + "/" + std::to_string(c->colorIndex) + "]"
                : std::string());
  };
  std::string out;
  for (const kvNode* n = l->head; n; n = n->next) {
    if (!out.empty()) out += " | ";
    out += one(n->pair->key) + "=" + one(n->pair->value);
  }
  return out;
}

class DecoderAudit : public DecoderTest {
 protected:
  void SetUp() override {
    orvane_log_set_muted(1);
    DecoderTest::SetUp();
  }
  void TearDown() override {
    DecoderTest::TearDown();
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
};

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

// Every cell of a control transfer, a bulk IN and a SOF, with its type
// ({0} word, {1} string, {2} u8, {3} u16, {4} u32, {5} hex) and colours, as
// the rows are defined; a faster cell builder must still produce exactly these.
TEST_F(DecoderAudit, EveryCellWithItsTypeAndColours) {
  auto take = [&](kvLinkedList** l) {
    std::string t = typed(*l);
    drop({l});
    return t;
  };
  // SETUP to device 1: decoded at the ACK.
  dp->parsePackage(token(0x2D, 1, 0).data(), 3, 1000);
  Bytes setup = data(0xC3, Bytes{0x80, 6, 0, 1, 0, 0, 18, 0});
  dp->parsePackage(setup.data(), (int32_t)setup.size(), 1100);
  uint32_t r = dp->parsePackage(hs(0xD2).data(), 1, 1200);
  EXPECT_EQ(r, RESULT_CALL_AGAIN | RESULT_TRANSACTION_STARTED | RESULT_TRANSFER_ACTIVE);
  EXPECT_EQ(take(&dp->rawPackageParseInfo), "Type{0}[1/0]=Token{0}");
  EXPECT_EQ(take(&dp->rawPackageParseValue),
            "Setup{0}[3/0]=2D{5} | Addr{0}=1{2} | Point{0}[4/0]=0{2} | Crc5{0}=1D{5}");
  EXPECT_EQ(take(&dp->viewPackageInfo), "Package{0}[12/11]=1{4} | Dir{0}[27/0]=↓{0}");
  EXPECT_EQ(take(&dp->viewPackageValue),
            "Setup{0}[3/0]=2D{5} | Addr{0}=1{2} | Point{0}[4/0]=0{2} | Crc5{0}=1D{5}");
  EXPECT_EQ(take(&dp->transactionDetail), "Setup{0}[3/0]=2D{5} | Addr{0}=1{2} | Point{0}[4/0]=0{2}");
  EXPECT_EQ(take(&dp->rawPackageInfo), "Package{0}[12/11]=1{4} | TimeStamp{0}[13/0]= 1.00 us   {1}");
  EXPECT_EQ(take(&dp->rawPackageValue), "Token{0}[14/0]=Setup{0} | Raw{0}[15/11]=2D 01 E8{5}");
  EXPECT_EQ(take(&dp->transactionHeadInfo), "SETUP Transaction{1}[29/0]= 1.00 us   {1}");
  EXPECT_EQ(take(&dp->transferHead), "CTRL Transfer{1}[31/0]= 1.00 us   {1}");
  // The setup DATA0.
  dp->parsePackage(hs(0xD2).data(), 1, 1200);
  EXPECT_EQ(take(&dp->rawPackageParseInfo), "Type{0}[1/0]=Data{0}");
  EXPECT_EQ(take(&dp->rawPackageInfo), "Package{0}[12/11]=2{4} | TimeStamp{0}[13/0]= 1.10 us   {1}");
  EXPECT_EQ(take(&dp->viewPackageInfo), "Package{0}=2{4} | Dir{0}[27/0]=↓{0}");
  const std::string dataCells =
      "Data0{0}[16/11]=C3{5} | Data (8 tytes){1}[20/0]=80 06 00 01 00 00 12 00{5}";
  EXPECT_EQ(take(&dp->viewPackageValue), dataCells + " | Crc16{0}=E0 F4{5}");
  EXPECT_EQ(take(&dp->rawPackageParseValue), dataCells + " | Crc16{0}=E0 F4{5}");
  EXPECT_EQ(take(&dp->transactionState), dataCells);
  EXPECT_EQ(take(&dp->transferDetail),
            "Standard Req{1}[30/11]=Get Descriptor{1} | Addr{0}=1{2} | Point{0}[4/0]=0{2}");
  EXPECT_EQ(take(&dp->rawPackageValue),
            "Data{0}[20/0]=Data0{0} | Raw{0}[15/11]=C3 80 06 00 01 00 00 12 00 E0 F4{5}");
  EXPECT_EQ(dp->capDataInfo, nullptr);  // endpoint 0: no data-view row
  // The ACK.
  r = dp->parsePackage(hs(0xD2).data(), 1, 1200);
  EXPECT_EQ(r, RESULT_TRANSACTION_ENDED);
  EXPECT_EQ(take(&dp->rawPackageParseInfo), "Type{0}[1/0]=HandShake{0}");
  EXPECT_EQ(take(&dp->viewPackageInfo), "Package{0}[12/11]=3{4} | Dir{0}[27/0]=↑{0}");
  EXPECT_EQ(take(&dp->viewPackageValue), "Ack{0}[22/0]=D2{5}");
  EXPECT_EQ(take(&dp->transactionState), "State{0}[28/0]=Success{0}");
  EXPECT_EQ(take(&dp->rawPackageInfo), "Package{0}=3{4} | TimeStamp{0}[13/0]= 1.20 us   {1}");
  EXPECT_EQ(take(&dp->rawPackageValue), "HandShake{0}[21/0]=Ack{0} | Raw{0}[15/11]=D2{5}");
  EXPECT_EQ(take(&dp->rawPackageParseValue), "Ack{0}[22/0]=D2{5}");
  EXPECT_EQ(take(&dp->transactionRange), "Package{0}[12/11]=1 ~ 3{1}");
  dp->freeOutputLists();

  // The status stage (packets 4 to 6) ends the control transfer.
  Bytes zlp = data(0x4B, Bytes{});
  for (const Bytes& b : {token(0xE1, 1, 0), zlp, hs(0xD2)})
    for (int k = 0; k < 4; k++)
      if (!(dp->parsePackage(b.data(), (int32_t)b.size(), 1500) & RESULT_CALL_AGAIN)) break;
  EXPECT_EQ(take(&dp->transferState), "State{0}[28/0]=Success{0}");
  dp->freeOutputLists();

  // A bulk IN of 5 bytes on a learned 64-byte endpoint completes at once.
  EndpointEntry e{2, 1, 2, 8, 64};
  endpoint_table_learn(&dp->endpointTable, &e);
  dp->parsePackage(token(0x69, 1, 2).data(), 3, 2000);
  Bytes in = data(0x4B, filled(5));
  dp->parsePackage(in.data(), (int32_t)in.size(), 2100);
  r = dp->parsePackage(hs(0xD2).data(), 1, 2200);  // the IN
  EXPECT_EQ(r, RESULT_CALL_AGAIN | RESULT_TRANSACTION_STARTED | RESULT_TRANSFER_ACTIVE);
  EXPECT_EQ(take(&dp->transferHead), "BULK Transfer{1}[31/0]= 2.00 us   {1}");
  dp->freeOutputLists();
  dp->parsePackage(hs(0xD2).data(), 1, 2200);  // the DATA1
  EXPECT_EQ(take(&dp->capDataInfo), "Package{0}[12/11]=8{4} | Dir{0}[27/0]=↑{0}");
  EXPECT_EQ(take(&dp->capDataValue), "Data (5 tytes){1}[20/0]=00 01 02 03 04{5}");
  EXPECT_EQ(take(&dp->viewPackageInfo), "Package{0}=8{4} | Dir{0}[27/0]=↑{0}");
  EXPECT_EQ(take(&dp->transferDetail),
            "In{0}=69{5} | Addr{0}=1{2} | Point{0}[4/0]=2{2} | Data (5 tytes){1}[20/0]=00 01 02 03 04{5}");
  dp->freeOutputLists();
  r = dp->parsePackage(hs(0xD2).data(), 1, 2200);  // the ACK ends both
  EXPECT_EQ(r, RESULT_TRANSACTION_ENDED | RESULT_TRANSFER_ENDED);
  EXPECT_EQ(take(&dp->viewPackageInfo), "Package{0}[12/11]=9{4} | Dir{0}[27/0]=↓{0}");
  EXPECT_EQ(take(&dp->transferRange), "Package{0}[12/11]=7 ~ 9{1}");
  EXPECT_EQ(take(&dp->transferState), "State{0}[28/0]=Success{0}");
  dp->freeOutputLists();

  // A SOF, decoded at once.
  r = dp->parsePackage(sof(0x123).data(), 3, 3000);
  EXPECT_EQ(r, RESULT_NO_TRANSFER);
  EXPECT_EQ(take(&dp->rawPackageParseValue), "Sof{0}[2/0]=A5{5} | Frame{0}=291{3} | Crc5{0}=1E{5}");
  EXPECT_EQ(take(&dp->rawPackageValue), "Token{0}[14/0]=Sof{0} | Raw{0}[15/11]=A5 23 F1{5}");
  EXPECT_EQ(dp->viewPackageInfo, nullptr);
  EXPECT_EQ(dp->attrFlag, ATTR_SOF | 0xFFFF0000u);
}

// A SETUP followed by setup packets that never end (no token, no handshake):
// each one decoded repeats the request line in the transfer's detail, which
// waits for the transfer to end. It must stay bounded.
TEST_F(DecoderAudit, RepeatedSetupPacketsKeepTheTransferDetailBounded) {
  Bytes setup = data(0xC3, Bytes{0x80, 6, 0, 1, 0, 0, 18, 0});
  dp->parsePackage(token(0x2D, 1, 0).data(), 3, 100);
  size_t most = 0;
  for (int i = 0; i < 5000; i++) {
    for (int k = 0; k < 4; k++) {
      uint32_t r = dp->parsePackage(setup.data(), (int32_t)setup.size(), 200 + (uint64_t)i);
      // What the pipeline takes after every call; the transfer's lists stay.
      drop({&dp->rawPackageInfo, &dp->rawPackageValue, &dp->rawPackageParseInfo,
            &dp->rawPackageParseValue, &dp->viewPackageInfo, &dp->viewPackageValue});
      kvlistpair_chain_free(dp->descriptorTables);
      dp->descriptorTables = nullptr;
      if (!(r & RESULT_CALL_AGAIN)) break;
    }
    if (dp->transferDetail && dp->transferDetail->count > most) most = dp->transferDetail->count;
  }
  EXPECT_GT(dp->packageCount(), 3000u);  // the setup packets were decoded
  EXPECT_LE(most, 64u);
}

// A SOF decoded while a transfer is in progress is numbered and shown: its
// result is not zero (zero means nothing was produced) but says that a
// transfer is in progress after it. PING and SPLIT say the same.
TEST_F(DecoderAudit, TokensDuringATransferSayItIsInProgress) {
  EndpointEntry e{2, 6, 2, 8, 64};
  endpoint_table_learn(&dp->endpointTable, &e);
  feed_all({token(0x69, 6, 2), data(0xC3, filled(64)), hs(0xD2)});
  ASSERT_EQ(dp->transfer.state, TRANSFER_IN_PROGRESS);
  uint32_t before = dp->packageCount();
  uint32_t r = dp->parsePackage(sof(9).data(), 3, 90000);
  EXPECT_EQ(dp->packageCount(), before + 1);
  EXPECT_EQ(r, RESULT_TRANSFER_ACTIVE);
  dp->parsePackage(Bytes{0x78, 5, 3, 0xFD}.data(), 4, 90100);  // queued
  r = dp->parsePackage(token(0xB4, 6, 2).data(), 3, 90200);    // decodes the SPLIT
  EXPECT_EQ(r, RESULT_CALL_AGAIN | RESULT_TRANSFER_ACTIVE | RESULT_TRANSACTION_STARTED);
  r = dp->parsePackage(token(0xB4, 6, 2).data(), 3, 90200);  // the PING waits
  EXPECT_EQ(r, 0u);
  r = dp->parsePackage(hs(0x5A).data(), 1, 90300);  // decodes the PING
  EXPECT_EQ(r, RESULT_CALL_AGAIN | RESULT_TRANSFER_ACTIVE | RESULT_TRANSACTION_STARTED |
                   RESULT_TRANSACTION_ENDED);
}

}  // namespace
