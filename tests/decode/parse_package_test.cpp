// parsePackage: validity, invalid and lone packets, reset, what goes to the
// script only, cell types and colours, and the bounds on what a hostile stream
// holds. The rows of real captures (outcomes, numbering, SOF runs, SPLITs, NAKed
// transfers, transfers by endpoint kind) are pinned by the golden outputs of orvane-dump.
// Learned endpoints (replaced by address and endpoint) and the endpoints seen
// (each pair once) both restart when full.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "decode/cells/attr_flag.h"
#include "decode/data_parse.h"
#include "decode/endpoint_table.h"
#include "decode/usb_packet.h"
#include "os/log.h"
#include "tests/support/usb_packets.h"

using namespace usbtest;

namespace {

std::vector<std::string> g_log;

// One call of parsePackage and the package info it left.
struct Call {
  uint32_t result;
  std::string package;  // rawPackageInfo
};

// "key{type}[bg/text]=value{type}[bg/text]" per entry: the whole form of a
// list, types and colours included; the list is taken (freed).
std::string typed(kvLinkedList** l) {
  auto one = [](const DataMsg* c) {
    return cell_text(c) + "{" + std::to_string(c->type) + "}" +
           (c->bgdColorIndex || c->colorIndex
                ? "[" + std::to_string(c->bgdColorIndex) + "/" + std::to_string(c->colorIndex) + "]"
                : std::string());
  };
  std::string out = *l ? "" : "<none>";
  for (const kvNode* n = *l ? (*l)->head : nullptr; n; n = n->next)
    out += (out.empty() ? "" : " | ") + one(n->pair->key) + "=" + one(n->pair->value);
  drop({l});
  return out;
}

// Learns {type, address, endpoint, direction, size}.
void learn(EndpointTable* t, EndpointEntry e) { endpoint_table_learn(t, &e); }

class ParsePackage : public DecoderTest {
 protected:
  void SetUp() override {
    orvane_log_set_sink([](const char* line, void*) { g_log.push_back(line); }, nullptr);
    DecoderTest::SetUp();
    g_log.clear();
  }
  void TearDown() override {
    DecoderTest::TearDown();
    orvane_log_set_sink(nullptr, nullptr);
  }
  // One call; the package and view lists and the descriptor tables are read
  // or freed as the pipeline takes them per call, the others stay.
  Call once(const Bytes& b, uint64_t t) {
    Call c{dp->parsePackage(b.data(), (int32_t)b.size(), t), list_text(dp->rawPackageInfo)};
    drop({&dp->rawPackageInfo, &dp->rawPackageValue, &dp->rawPackageParseInfo, &dp->rawPackageParseValue,
          &dp->viewPackageInfo, &dp->viewPackageValue});
    kvlistpair_chain_free(dp->descriptorTables);
    dp->descriptorTables = nullptr;
    return c;
  }
  // Every packet with the caller's loop: call again while asked to.
  std::vector<Call> feed_all(const std::vector<Bytes>& packets, uint64_t t = 1000) {
    std::vector<Call> all;
    for (const Bytes& b : packets) {
      for (int guard = 0; guard < 16; guard++) {
        all.push_back(once(b, t));
        if (!(all.back().result & RESULT_CALL_AGAIN)) break;
      }
      t += 100;
    }
    return all;
  }
  void fresh() { TearDown(); SetUp(); }
};

TEST(UsbPacket, ValidityRulesAndTimeText) {
  auto flipped = [](Bytes b, size_t at, uint8_t bits) { return b[at] ^= bits, b; };
  const std::pair<Bytes, int> cases[] = {  // a packet and what validation returns
      // Tokens: SETUP with CRC5 2, a wrong CRC5, too short; an IN, its address
      // changed with the CRC5 kept; a SOF.
      {{0x2D, 0x00, 0x10}, 0x2D}, {{0x2D, 0x00, 0x00}, 0}, {{0x2D, 0x00}, 0},
      {token(0x69, 5, 3), 0x69}, {flipped(token(0x69, 5, 3), 1, 0x01), 0}, {sof(0x7FF), 0xA5},
      // Data: length 2 invalid, 3 valid whatever the CRC bytes, from 4 the CRC16 counts.
      {{0xC3, 0x00}, 0}, {{0x4B, 0x12, 0x34}, 0x4B},
      {data(0x87, filled(10)), 0x87}, {flipped(data(0x87, filled(10)), 3, 0x80), 0},
      // Handshakes: one byte only (ERR with more bytes is not a handshake).
      {{0xD2}, 0xD2}, {{0x3C, 0x00}, 0},
      // SPLIT: four bytes, CRC5 not tested. Unlisted PIDs.
      {{0x78, 0x01, 0x02, 0xFF}, 0x78}, {{0x78, 0x01, 0x02}, 0}, {{0x00}, 0}, {{0x55, 0, 0}, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(usb_packet_validate(c.first.data(), (int32_t)c.first.size()), c.second) << "case " << &c - cases;
  EXPECT_EQ(usb_packet_validate(nullptr, 0), 0);
  // The time text is formatted without printf on the decoding path; it must
  // read exactly as printf's "%.2f" of the single-precision value.
  uint64_t seed = 99;
  auto next = [&]() { return seed = seed * 6364136223846793005ULL + 1442695040888963407ULL; };
  char mine[64], ref[64];
  EXPECT_STREQ(usb_time_text(999999, mine, sizeof mine), " 1000.00 us   ");  // single precision
  std::vector<uint64_t> values = {0, 1, 5, 125, 999, 1000, 1005, 1015, 12345, 999994, 999995,
                                  999999, 1000000, 1004999, 2500000, 18446744073709551615ULL};
  for (int i = 0; i < 200000; i++) values.push_back(next() >> (next() % 64));
  for (uint64_t ns : values) {
    usb_time_text(ns, mine, sizeof mine);
    float t = (float)ns;
    if (t < 1000.0f) snprintf(ref, sizeof ref, " %.2f ns   ", t);
    else if (t < 1000000.0f) snprintf(ref, sizeof ref, " %.2f us   ", t / 1000.0f);
    else snprintf(ref, sizeof ref, " %.2f ms   ", t / 1000000.0f);
    ASSERT_STREQ(mine, ref) << ns;
  }
}

// Each part on a fresh decoder: invalid, oversized and lone handshake packets
// are not numbered; even a handshake that answers nothing is traffic, so the
// SOF after it starts no idle run; a SETUP behind a start split begins a new
// control transfer (only a complete split's repeated token continues the open
// one); a learned isochronous endpoint begins a transfer that a short packet
// ends, one never described begins none; the selection goes to the script
// only, and a reset clears the decoding state (seen endpoints too) but not the queue.
TEST_F(ParsePackage, PacketsNotNumberedIdleRunsTransferBoundariesSelectionAndReset) {
  // Two invalid packets, 4,099 bytes with a correct CRC16, a lone handshake.
  for (const Bytes& b : {Bytes{0xC3, 0x00}, Bytes{0x2D, 0x00, 0x00}, data(0xC3, filled(4096)), hs(0xD2)}) {
    Call c = once(b, 10);
    EXPECT_EQ(std::to_string(c.result) + " " + c.package, "0 <none>");
  }
  ASSERT_EQ(g_log.size(), 3u);
  EXPECT_EQ(g_log[0] + ";" + g_log[1], "unknow data[2]:C3 00;unknow data[3]:2D 00 00");
  EXPECT_EQ(g_log[2].rfind("unknow data[4099]:C3 00 01 02", 0), 0u);
  EXPECT_TRUE(dp->pendingPackets.empty());
  EXPECT_EQ(dp->packageCount(), 0u);
  EXPECT_EQ(dp->invalidPackets, 3u);  // orvane-dump reports this count
  EXPECT_EQ(once(data(0xC3, filled(4093)), 10).result, 0u);  // exactly 4,096 bytes: taken
  EXPECT_EQ(dp->pendingPackets.size(), 1u);

  fresh();
  EXPECT_NE(once(sof(1), 10).result, 0u);
  EXPECT_EQ(once(hs(0xD2), 20).result, 0u);
  EXPECT_NE(once(sof(2), 30).result, 0u);

  fresh();
  const Bytes request = data(0xC3, Bytes{0x80, 6, 0, 1, 0, 0, 18, 0});
  feed_all({token(0x2D, 1, 0), request, hs(0xD2)});
  uint32_t all = 0;
  for (const Call& c : feed_all({Bytes{0x78, 5, 3, 0xFD}, token(0x2D, 2, 0), request, hs(0xD2)}, 5000))
    all |= c.result;
  EXPECT_EQ(all & RESULT_TRANSFER_ENDED, RESULT_TRANSFER_ENDED);

  fresh();
  learn(&dp->endpointTable, {1, 5, 3, 0, 192});
  uint32_t isoc = 0, unknown = 0;
  for (const Call& c : feed_all({token(0xE1, 5, 3), data(0xC3, filled(100)), hs(0xD2)})) isoc |= c.result;
  for (const Call& c : feed_all({token(0x69, 5, 4), data(0xC3, filled(3)), hs(0xD2)}, 5000)) unknown |= c.result;
  EXPECT_EQ(isoc & RESULT_TRANSFER_ENDED, RESULT_TRANSFER_ENDED);
  EXPECT_EQ(unknown & (RESULT_TRANSFER_ACTIVE | RESULT_TRANSFER_ENDED), 0u);

  fresh();
  std::vector<Bytes> got;
  dp->selectedPayload = [](const uint8_t* p, int32_t n, void* ctx) {
    static_cast<std::vector<Bytes>*>(ctx)->push_back(Bytes(p, p + n));
  };
  dp->selectedPayloadContext = &got;
  selectedAddress = 4;
  selectedEndpoint = 1;
  feed_all({token(0x69, 4, 1), data(0xC3, filled(3)), hs(0xD2), token(0x69, 5, 1),
            data(0x4B, filled(2)), hs(0xD2), sof(1)});
  ASSERT_EQ(seenEndpoints.count, 2);
  EXPECT_EQ(seenEndpoints.pairs[0].address, 4);
  EXPECT_EQ(seenEndpoints.pairs[0].endpoint, 1);
  EXPECT_EQ(got, std::vector<Bytes>{filled(3)});  // the other device's payload is not selected
  learn(&dp->endpointTable, {2, 6, 2, 8, 64});
  feed_all({token(0x69, 6, 2), hs(0x5A), token(0x69, 6, 2)});
  ASSERT_EQ(dp->pendingPackets.size(), 1u);
  dp->reset();
  EXPECT_EQ(dp->packageCount(), 0u);
  EXPECT_EQ(dp->endpointTable.count, 0);
  EXPECT_EQ(dp->transfer.state, TRANSFER_NONE);
  EXPECT_EQ(dp->transaction.open, 0);
  EXPECT_EQ(dp->pendingPackets.size(), 1u);
  EXPECT_EQ(seenEndpoints.count, 0);
}

// The cells of a control transfer's first packets and of a SOF, with their
// types ({0} word, {1} string, {2} u8, {3} u16, {4} u32, {5} hex) and colours:
// the texts are pinned by the golden outputs, these are not.
TEST_F(ParsePackage, CellTypesAndColours) {
  once(token(0x2D, 1, 0), 1000);
  once(data(0xC3, Bytes{0x80, 6, 0, 1, 0, 0, 18, 0}), 1100);
  EXPECT_EQ(dp->parsePackage(hs(0xD2).data(), 1, 1200), RESULT_CALL_AGAIN | RESULT_TRANSACTION_STARTED | RESULT_TRANSFER_ACTIVE);
  const std::string setupCells = "Setup{0}[3/0]=2D{5} | Addr{0}=1{2} | Point{0}[4/0]=0{2}";
  EXPECT_EQ(typed(&dp->rawPackageParseInfo), "Type{0}[1/0]=Token{0}");
  EXPECT_EQ(typed(&dp->rawPackageParseValue), setupCells + " | Crc5{0}=1D{5}");
  EXPECT_EQ(typed(&dp->viewPackageInfo), "Package{0}[12/11]=1{4} | Dir{0}[27/0]=↓{0}");
  EXPECT_EQ(typed(&dp->rawPackageInfo), "Package{0}[12/11]=1{4} | TimeStamp{0}[13/0]= 1.00 us   {1}");
  EXPECT_EQ(typed(&dp->rawPackageValue), "Token{0}[14/0]=Setup{0} | Raw{0}[15/11]=2D 01 E8{5}");
  EXPECT_EQ(typed(&dp->transactionHeadInfo), "SETUP Transaction{1}[29/0]= 1.00 us   {1}");
  EXPECT_EQ(typed(&dp->transferHead), "CTRL Transfer{1}[31/0]= 1.00 us   {1}");
  dp->freeOutputLists();
  dp->parsePackage(hs(0xD2).data(), 1, 1200);  // the setup DATA0
  EXPECT_EQ(typed(&dp->viewPackageValue),
            "Data0{0}[16/11]=C3{5} | Data (8 tytes){1}[20/0]=80 06 00 01 00 00 12 00{5} | Crc16{0}=E0 F4{5}");
  EXPECT_EQ(typed(&dp->transferDetail), "Standard Req{1}[30/11]=Get Descriptor{1} | Addr{0}=1{2} | Point{0}[4/0]=0{2}");
  dp->freeOutputLists();
  EXPECT_EQ(dp->parsePackage(hs(0xD2).data(), 1, 1200), RESULT_TRANSACTION_ENDED);  // the ACK
  EXPECT_EQ(typed(&dp->viewPackageValue), "Ack{0}[22/0]=D2{5}");
  EXPECT_EQ(typed(&dp->transactionState), "State{0}[28/0]=Success{0}");
  EXPECT_EQ(typed(&dp->transactionRange), "Package{0}[12/11]=1 ~ 3{1}");
  dp->freeOutputLists();
  EXPECT_EQ(dp->parsePackage(sof(0x123).data(), 3, 3000), RESULT_TRANSFER_ACTIVE);  // the transfer is still open
  EXPECT_EQ(typed(&dp->rawPackageParseValue), "Sof{0}[2/0]=A5{5} | Frame{0}=291{3} | Crc5{0}=1E{5}");
  EXPECT_EQ(dp->viewPackageInfo, nullptr);
}

// Data packets are held until a token or handshake tells their outcome; a
// stream that never brings one must not hold them all. Past the bound the
// oldest is decoded (without outcome), so every packet is numbered once, in order.
TEST_F(ParsePackage, HeldDataPacketsAndRepeatedSetupsStayBounded) {
  orvane_log_set_muted(1);
  const int n = 20000;
  uint32_t expected = 1;
  size_t most = 0;
  bool inOrder = true;
  for (int i = 0; i < n; i++) {
    Bytes d = data(0xC3, Bytes{(uint8_t)i, (uint8_t)(i >> 8), 0xAA});
    for (int guard = 0; guard < 8; guard++) {
      uint32_t r = dp->parsePackage(d.data(), (int32_t)d.size(), (uint64_t)i * 10);
      if (dp->rawPackageInfo) {
        uint32_t seq = (uint32_t)(dp->data.bytes[1] | (dp->data.bytes[2] << 8));
        inOrder &= dp->packageCount() == expected && seq == (uint16_t)(expected - 1);
        expected++;
      }
      dp->freeOutputLists();
      if (!(r & RESULT_CALL_AGAIN)) break;
    }
    most = std::max(most, dp->pendingPackets.size());
  }
  EXPECT_LE(most, 4096u);
  EXPECT_TRUE(inOrder);
  for (int guard = 0; guard < 5000 && dp->parsePackage(hs(0xD2).data(), 1, (uint64_t)n * 10) & RESULT_CALL_AGAIN; guard++)
    dp->freeOutputLists();  // the handshake drains what is left
  EXPECT_TRUE(dp->pendingPackets.empty());
  EXPECT_EQ(dp->packageCount(), (uint32_t)n);
  orvane_log_set_muted(0);

  // Setup packets that never end each repeat the request line in the
  // transfer's detail, which waits for the transfer to end: it stays bounded.
  fresh();
  Bytes setup = data(0xC3, Bytes{0x80, 6, 0, 1, 0, 0, 18, 0});
  once(token(0x2D, 1, 0), 100);
  uint64_t longest = 0;
  for (int i = 0; i < 5000; i++) {
    feed_all({setup}, 200 + (uint64_t)i);
    if (dp->transferDetail) longest = std::max(longest, dp->transferDetail->count);
  }
  EXPECT_GT(dp->packageCount(), 3000u);
  EXPECT_LE(longest, 64u);
}

TEST(EndpointTable, LearnedAndSeenEndpointsReplaceOrRecordOnceAndRestartWhenFull) {
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

  seen_endpoints_clear();
  for (auto [a, e] : {std::pair<uint8_t, uint8_t>{1, 0}, {0, 1}, {1, 0}}) seen_endpoints_record(a, e);
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

