// parsePackage: which packet is decoded when, its numbering and attribute
// flag, validity, and the cells of packets, transactions and transfers.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "decode/cells/attr_flag.h"
#include "decode/data_parse.h"
#include "decode/usb_packet.h"
#include "os/log.h"
#include "tests/support/usb_packets.h"

using namespace usbtest;

namespace {

std::vector<std::string> g_log;
void capture_log(const char* line, void*) { g_log.push_back(line); }

// One call of parsePackage and what it left in the output lists.
struct Call {
  uint32_t result;
  uint32_t attr;
  uint32_t count;
  std::string package;  // rawPackageInfo
  std::string raw;      // rawPackageValue
  std::string parse;    // rawPackageParseValue
};

class ParsePackage : public DecoderTest {
 protected:
  void SetUp() override {
    orvane_log_set_sink(capture_log, nullptr);
    DecoderTest::SetUp();
    g_log.clear();
  }
  void TearDown() override {
    DecoderTest::TearDown();
    orvane_log_set_sink(nullptr, nullptr);
  }
  // One call; the package lists are read and freed, the others stay.
  Call once(const Bytes& b, uint64_t t) {
    Call c;
    c.result = dp->parsePackage(b.data(), (int32_t)b.size(), t);
    c.attr = dp->attrFlag;
    c.count = dp->packageCount();
    c.package = list_text(dp->rawPackageInfo);
    c.raw = list_text(dp->rawPackageValue);
    c.parse = list_text(dp->rawPackageParseValue);
    drop({&dp->rawPackageInfo, &dp->rawPackageValue, &dp->rawPackageParseInfo,
          &dp->rawPackageParseValue});
    return c;
  }
  // The caller's loop: call again while asked to.
  std::vector<Call> feed(const Bytes& b, uint64_t t) {
    std::vector<Call> calls;
    for (int guard = 0; guard < 16; guard++) {
      Call c = once(b, t);
      calls.push_back(c);
      if (!(c.result & RESULT_CALL_AGAIN)) break;
    }
    return calls;
  }
  std::vector<Call> feed_all(const std::vector<Bytes>& packets, uint64_t t0 = 1000, uint64_t step = 100) {
    std::vector<Call> all;
    uint64_t t = t0;
    for (const Bytes& b : packets) {
      for (const Call& c : feed(b, t)) all.push_back(c);
      t += step;
    }
    return all;
  }
};

TEST(UsbPacket, ValidityRules) {
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
    EXPECT_EQ(usb_packet_validate(c.first.data(), (int32_t)c.first.size()), c.second)
        << "case " << &c - cases;
  EXPECT_EQ(usb_packet_validate(nullptr, 0), 0);
}

TEST_F(ParsePackage, InvalidPacketsAreLoggedAndNotNumbered) {
  Bytes bad{0xC3, 0x00};
  EXPECT_EQ(dp->parsePackage(bad.data(), 2, 10), 0u);
  ASSERT_EQ(g_log.size(), 1u);
  EXPECT_EQ(g_log[0], "unknow data[2]:C3 00");
  Bytes crc{0x2D, 0x00, 0x00};
  EXPECT_EQ(dp->parsePackage(crc.data(), 3, 10), 0u);
  EXPECT_EQ(g_log.back(), "unknow data[3]:2D 00 00");
  EXPECT_EQ(dp->packageCount(), 0u);
  EXPECT_EQ(dp->rawPackageInfo, nullptr);
}

TEST_F(ParsePackage, OversizedPacketIsRefusedBeforeTheDataSlot) {
  Bytes big = data(0xC3, filled(4096));  // 4,099 bytes with a correct CRC16
  EXPECT_EQ(dp->parsePackage(big.data(), (int32_t)big.size(), 10), 0u);
  ASSERT_FALSE(g_log.empty());
  EXPECT_EQ(g_log.back().rfind("unknow data[4099]:C3 00 01 02", 0), 0u);
  EXPECT_TRUE(dp->pendingPackets.empty());
  Bytes max = data(0xC3, filled(4093));  // exactly 4,096 bytes: taken
  EXPECT_EQ(dp->parsePackage(max.data(), (int32_t)max.size(), 10), 0u);
  EXPECT_EQ(dp->pendingPackets.size(), 1u);
}

TEST_F(ParsePackage, HandshakeOutcomeReachesTheTokenAndDataRows) {
  Bytes in = token(0x69, 3, 1), d1 = data(0x4B, filled(4)), ack = hs(0xD2);
  EXPECT_EQ(once(in, 1000).result, 0u);
  EXPECT_EQ(once(d1, 1100).result, 0u);
  Call a = once(ack, 1200);  // decodes the IN
  EXPECT_EQ(a.result & 0xFF, RESULT_CALL_AGAIN | RESULT_TRANSACTION_STARTED | RESULT_NO_TRANSFER);
  EXPECT_EQ(a.attr, ATTR_IN | ATTR_ACK | (3u << 24) | (1u << 16));
  EXPECT_EQ(a.package, "Package=1 | TimeStamp= 1.00 us   ");
  char hex[16];
  EXPECT_EQ(a.raw, std::string("Token=In | Raw=") + usb_hex_text(in.data(), 3, hex, sizeof hex));
  Call b = once(ack, 1200);  // decodes the DATA1
  EXPECT_EQ(b.result & RESULT_CALL_AGAIN, RESULT_CALL_AGAIN);
  EXPECT_EQ(b.attr, ATTR_ACK | (3u << 24) | (1u << 16));
  EXPECT_EQ(b.count, 2u);
  Call c = once(ack, 1200);  // the ACK itself closes the transaction
  EXPECT_EQ(c.result & RESULT_CALL_AGAIN, 0u);
  EXPECT_EQ(c.result & RESULT_TRANSACTION_ENDED, RESULT_TRANSACTION_ENDED);
  EXPECT_EQ(c.count, 3u);
  EXPECT_EQ(c.package, "Package=3 | TimeStamp= 1.20 us   ");
  EXPECT_EQ(c.raw, "HandShake=Ack | Raw=D2");
  EXPECT_EQ(list_text(dp->transactionHeadInfo), "IN Transaction= 1.00 us   ");
  EXPECT_EQ(list_text(dp->transactionRange), "Package=1 ~ 3");
  EXPECT_EQ(list_text(dp->transactionState),
            "Data1=4B | Data (4 tytes)=00 01 02 03 | State=Success");
  EXPECT_EQ(list_text(dp->transactionDetail), "In=69 | Addr=3 | Point=1");
}

TEST_F(ParsePackage, RepeatedTokenWithoutHandshakeDecodesTheFirst) {
  Bytes in = token(0x69, 2, 0);
  EXPECT_EQ(once(in, 10).result, 0u);
  Call first = once(in, 20);
  EXPECT_TRUE(first.result & RESULT_CALL_AGAIN);
  EXPECT_EQ(first.count, 1u);
  EXPECT_EQ(first.attr & 0xF800u, 0u);  // no handshake bit
  EXPECT_EQ(first.package, "Package=1 | TimeStamp= 10.00 ns   ");
  Call again = once(in, 20);  // the second IN now waits
  EXPECT_EQ(again.result, 0u);
  EXPECT_EQ(dp->pendingPackets.size(), 1u);
  // The next token closes the first transaction without a handshake.
  Call closing = once(token(0x69, 2, 0), 30);
  EXPECT_TRUE(closing.result & RESULT_TRANSACTION_ENDED);
  EXPECT_TRUE(closing.result & RESULT_TRANSACTION_STARTED);
  EXPECT_EQ(list_text(dp->transactionRange), "Package=1 ~ 1");
}

TEST_F(ParsePackage, IdleSofRunCollapsesToFirstAndLast) {
  std::vector<Call> calls;
  for (int i = 1; i <= 5; i++)
    for (const Call& c : feed(sof((uint16_t)i), 1000u * (uint64_t)i)) calls.push_back(c);
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].count, 1u);
  EXPECT_NE(calls[0].result, 0u);
  EXPECT_EQ(calls[0].attr, ATTR_SOF | 0xFFFF0000u);
  for (int i = 1; i < 5; i++) EXPECT_EQ(calls[i].result, 0u) << i;
  EXPECT_EQ(feed(token(0x69, 1, 1), 6000).back().result, 0u);
  EXPECT_EQ(feed(data(0xC3, filled(2)), 6100).back().result, 0u);
  std::vector<Call> at_ack = feed(hs(0xD2), 6200);
  ASSERT_EQ(at_ack.size(), 4u);  // held SOF, IN, DATA0, ACK
  EXPECT_EQ(at_ack[0].count, 2u);
  EXPECT_EQ(at_ack[0].package, "Package=2 | TimeStamp= 5.00 us   ");  // SOF 5, own time
  EXPECT_EQ(at_ack[0].raw.substr(0, 10), "Token=Sof ");
  EXPECT_EQ(at_ack[1].count, 3u);
  EXPECT_EQ(at_ack[1].raw.substr(0, 9), "Token=In ");
  EXPECT_EQ(at_ack[3].count, 5u);
  EXPECT_EQ(at_ack[3].result & RESULT_CALL_AGAIN, 0u);
}

TEST_F(ParsePackage, LoneHandshakeIsDroppedUnnumbered) {
  Call c = once(hs(0xD2), 10);
  EXPECT_EQ(c.result, 0u);
  EXPECT_EQ(c.count, 0u);
  EXPECT_EQ(c.package, "<none>");
}

TEST_F(ParsePackage, CallAgainOrderIsOldestFirst) {
  // SETUP, DATA0 and then an OUT without any handshake: the OUT decodes the
  // SETUP, then the DATA0, then waits itself.
  Bytes setup = token(0x2D, 0, 0);
  once(setup, 10);
  once(data(0xC3, Bytes{0x80, 6, 0, 1, 0, 0, 18, 0}), 20);
  std::vector<Call> calls = feed(token(0xE1, 0, 0), 30);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].raw.substr(0, 12), "Token=Setup ");
  EXPECT_EQ(calls[1].raw.substr(0, 11), "Data=Data0 ");
  EXPECT_EQ(calls[2].result, 0u);
  EXPECT_EQ(dp->pendingPackets.size(), 1u);
}

TEST_F(ParsePackage, SofAndSplitFields) {
  Call s = once(sof(0x123), 10);
  // The SOF is decoded at once (first of a run).
  EXPECT_EQ(dp->packageCount(), 1u);
  EXPECT_EQ(s.parse.substr(0, 23), "Sof=A5 | Frame=291 | Cr");
  dp->freeOutputLists();
  // SPLIT: start split (SC, bit 7, clear), hub 5, port 3, S 1, E 1, ET 2 (interrupt).
  Bytes split{0x78, 5, (uint8_t)(0x80 | 3), (uint8_t)(1 | (2 << 1) | (0x1F << 3))};
  once(split, 20);
  Call c = once(token(0x69, 7, 1), 30);  // decodes the SPLIT
  EXPECT_EQ(c.parse, "SSplit=78 | HubAddr=5 | Port=3 | S=1 | E=1 | ET=2 | Crc5=1F");
  EXPECT_EQ(c.raw, "Token=Split | Raw=78 05 83 FD");
  EXPECT_EQ(dp->attrFlag, ATTR_SPLIT | 0xFFFF0000u);
  EXPECT_EQ(dp->viewPackageInfo, nullptr);        // SPLIT has no transaction-view cells
  EXPECT_EQ(dp->transactionHeadInfo, nullptr);    // nor a head cell
}

// The start and complete split of a full-speed control transfer behind hub 12,
// port 2, as a real high-speed capture recorded them.
TEST_F(ParsePackage, SplitFieldsOfARealCapture) {
  once(Bytes{0x78, 0x0C, 0x82, 0xC8}, 10);
  Call start = once(token(0x2D, 0, 0), 20);
  EXPECT_EQ(start.parse, "SSplit=78 | HubAddr=12 | Port=2 | S=1 | E=0 | ET=0 | Crc5=19");
  dp->freeOutputLists();
  once(Bytes{0x78, 0x8C, 0x82, 0x10}, 30);
  Call complete = once(token(0x2D, 0, 0), 40);
  EXPECT_EQ(complete.parse, "CSplit=78 | HubAddr=12 | Port=2 | S=1 | U=0 | ET=0 | Crc5=02");
}

TEST_F(ParsePackage, EmptyDataPacket) {
  once(token(0xE1, 1, 2), 40);
  once(Bytes{0x4B, 0xAB, 0xCD}, 50);  // any CRC bytes
  once(hs(0xD2), 60);             // decodes the OUT
  Call d = once(hs(0xD2), 60);    // decodes the DATA1
  EXPECT_EQ(d.parse, "Data1=4B | Data (0 tytes)= | Crc16=AB CD");
  EXPECT_EQ(list_text(dp->capDataValue), "Data (0 tytes)=");
  EXPECT_NE(list_text(dp->viewPackageInfo).find("Dir=↓"), std::string::npos);
}

TEST_F(ParsePackage, InToUnknownEndpointMakesNoTransfer) {
  std::vector<Call> calls =
      feed_all({token(0x69, 9, 2), data(0xC3, filled(3)), hs(0xD2), token(0x69, 9, 2)});
  for (const Call& c : calls)
    if (c.result) {
      EXPECT_EQ(c.result & RESULT_NO_TRANSFER, RESULT_NO_TRANSFER);
    }
  EXPECT_EQ(dp->transferHead, nullptr);
  EXPECT_EQ(dp->transferRange, nullptr);
  EXPECT_NE(dp->transactionRange, nullptr);
  EXPECT_EQ(list_text(dp->capDataValue), "Data (3 tytes)=00 01 02");  // endpoint 2: data view
}

TEST_F(ParsePackage, NakedInKeepsTheTransferInProgress) {
  EndpointEntry e{3, 4, 1, 8, 8};  // interrupt IN endpoint 1 of device 4, 8 bytes
  endpoint_table_learn(&dp->endpointTable, &e);
  std::vector<Call> calls = feed_all({token(0x69, 4, 1), hs(0x5A), token(0x69, 4, 1)});
  // IN decoded at the NAK: the transfer began.
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[0].result, 0u);  // the IN waits for its outcome
  EXPECT_TRUE(calls[1].result & RESULT_TRANSFER_ACTIVE);
  EXPECT_EQ(calls[1].attr & ATTR_NAK, ATTR_NAK);
  EXPECT_EQ(list_text(dp->transferHead), "INT Transfer= 1.00 us   ");
  EXPECT_EQ(list_text(dp->transactionState), "State=Failed");
  EXPECT_EQ(dp->transfer.state, TRANSFER_IN_PROGRESS);
  EXPECT_EQ(dp->transferRange, nullptr);
  for (const Call& c : calls)
    if (c.result) {
      EXPECT_EQ(c.result & RESULT_NO_TRANSFER, 0u);
    }
}

TEST_F(ParsePackage, BulkTransferCompletesOnShortPacket) {
  EndpointEntry e{2, 6, 2, 8, 64};  // bulk IN endpoint 2 of device 6, 64 bytes
  endpoint_table_learn(&dp->endpointTable, &e);
  std::vector<Bytes> pk;
  for (int i = 0; i < 3; i++)
    pk.insert(pk.end(),
              {token(0x69, 6, 2), data(i % 2 ? 0x4B : 0xC3, filled(64, (uint8_t)(i * 64))), hs(0xD2)});
  std::vector<Call> calls = feed_all(pk);
  EXPECT_EQ(dp->transfer.state, TRANSFER_IN_PROGRESS);
  EXPECT_EQ(dp->transferDetail, nullptr);
  feed_all({token(0x69, 6, 2), data(0xC3, filled(10)), hs(0xD2)}, 5000);
  EXPECT_EQ(dp->transfer.state, TRANSFER_NONE);
  EXPECT_EQ(list_text(dp->transferRange), "Package=1 ~ 12");
  EXPECT_EQ(list_text(dp->transferState), "State=Success");
  std::string detail = list_text(dp->transferDetail);
  EXPECT_EQ(detail.substr(0, 49), "In=69 | Addr=6 | Point=2 | Data (202 tytes)=00 01");
  EXPECT_EQ(std::count(detail.begin(), detail.end(), '|'), 3);  // detail once
  // Every data packet had a data-view row: four of them; the lists were
  // never taken here, so they hold all four.
  EXPECT_EQ(dp->capDataInfo->count, 8u);
}

TEST_F(ParsePackage, ResetClearsDecodingStateButNotTheQueue) {
  EndpointEntry e{2, 6, 2, 8, 64};
  endpoint_table_learn(&dp->endpointTable, &e);
  feed_all({token(0x69, 6, 2), hs(0x5A), token(0x69, 6, 2)});
  ASSERT_EQ(dp->pendingPackets.size(), 1u);
  dp->reset();
  EXPECT_EQ(dp->packageCount(), 0u);
  EXPECT_EQ(dp->endpointTable.count, 0);
  EXPECT_EQ(dp->transfer.entry.transferType, 255);
  EXPECT_EQ(dp->transfer.state, TRANSFER_NONE);
  EXPECT_EQ(dp->transaction.open, 0);
  EXPECT_EQ(dp->pendingPackets.size(), 1u);
  EXPECT_EQ(seenEndpoints.count, 0);
}

TEST_F(ParsePackage, SeenEndpointsAndSelectionGoToTheScriptOnly) {
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
}

// Deterministic random packets: no crash, no out-of-bounds access, and every
// list the decoder produced can be freed.
TEST_F(ParsePackage, RandomPacketsNeverCrash) {
  orvane_log_set_muted(1);
  uint32_t seed = 12345;
  auto next = [&]() {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  static const uint8_t pids[] = {0xA5, 0x2D, 0x69, 0xE1, 0xB4, 0x78, 0xC3, 0x4B,
                                 0x87, 0x0F, 0xD2, 0x5A, 0x1E, 0x96, 0x3C, 0x00};
  EndpointEntry e{2, 1, 1, 0, 8};
  endpoint_table_learn(&dp->endpointTable, &e);
  for (int i = 0; i < 20000; i++) {
    uint8_t pid = pids[next() % 16];
    Bytes b;
    switch (next() % 4) {
      case 0: b = token(pid, (uint8_t)(next() % 3), (uint8_t)(next() % 3)); break;
      case 1: b = data(pid, filled(next() % 80)); break;
      case 2: b = Bytes{pid}; break;
      default: b = filled(next() % 12, (uint8_t)next()); if (!b.empty()) b[0] = pid;
    }
    for (int k = 0; k < 16; k++) {
      uint32_t r = dp->parsePackage(b.data(), (int32_t)b.size(), (uint64_t)i * 10);
      dp->freeOutputLists();
      if (!(r & RESULT_CALL_AGAIN)) break;
    }
  }
  orvane_log_set_muted(0);
  EXPECT_LE(dp->pendingPackets.size(), 20000u);
}

}  // namespace

// The time text is formatted without printf on the decoding path; it must
// read exactly as printf's "%.2f" of the single-precision value.
TEST(UsbPacket, TimeText) {
  uint64_t seed = 99;
  auto next = [&]() {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return seed;
  };
  char mine[64], ref[64];
  EXPECT_STREQ(usb_time_text(999, mine, sizeof mine), " 999.00 ns   ");
  EXPECT_STREQ(usb_time_text(1000, mine, sizeof mine), " 1.00 us   ");
  EXPECT_STREQ(usb_time_text(999999, mine, sizeof mine), " 1000.00 us   ");  // single precision
  EXPECT_STREQ(usb_time_text(2500000, mine, sizeof mine), " 2.50 ms   ");
  EXPECT_STREQ(usb_time_text(0, mine, sizeof mine), " 0.00 ns   ");
  std::vector<uint64_t> values = {0, 1, 5, 125, 999, 1000, 1005, 1015, 12345, 999994, 999995,
                                  999999, 1000000, 1004999, 2500000, 18446744073709551615ULL};
  for (int i = 0; i < 200000; i++) {
    uint64_t v = next();
    values.push_back(v >> (next() % 64));
  }
  for (uint64_t ns : values) {
    usb_time_text(ns, mine, sizeof mine);
    float t = (float)ns;
    if (t < 1000.0f)
      snprintf(ref, sizeof ref, " %.2f ns   ", t);
    else if (t < 1000000.0f)
      snprintf(ref, sizeof ref, " %.2f us   ", t / 1000.0f);
    else
      snprintf(ref, sizeof ref, " %.2f ms   ", t / 1000000.0f);
    ASSERT_STREQ(mine, ref) << ns;
  }
}
