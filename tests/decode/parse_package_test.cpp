// parsePackage: which packet is decoded when, its numbering, attribute flag
// and result, validity, the cells (with types and colours) of packets,
// transactions and transfers, and the bounds on what a hostile stream holds.
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

// One call of parsePackage and what it left in the package lists.
struct Call {
  uint32_t result, attr, count;
  std::string package, raw, parse;  // rawPackageInfo, rawPackageValue, rawPackageParseValue
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
    Call c{dp->parsePackage(b.data(), (int32_t)b.size(), t), dp->attrFlag, dp->packageCount(),
           list_text(dp->rawPackageInfo), list_text(dp->rawPackageValue),
           list_text(dp->rawPackageParseValue)};
    drop({&dp->rawPackageInfo, &dp->rawPackageValue, &dp->rawPackageParseInfo, &dp->rawPackageParseValue});
    return c;
  }
  // The caller's loop: call again while asked to.
  std::vector<Call> feed(const Bytes& b, uint64_t t) {
    std::vector<Call> calls;
    for (int guard = 0; guard < 16; guard++) {
      calls.push_back(once(b, t));
      if (!(calls.back().result & RESULT_CALL_AGAIN)) break;
    }
    return calls;
  }
  std::vector<Call> feed_all(const std::vector<Bytes>& packets, uint64_t t = 1000) {
    std::vector<Call> all;
    for (const Bytes& b : packets) {
      for (const Call& c : feed(b, t)) all.push_back(c);
      t += 100;
    }
    return all;
  }
  void learn(EndpointEntry e) { endpoint_table_learn(&dp->endpointTable, &e); }
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
    EXPECT_EQ(usb_packet_validate(c.first.data(), (int32_t)c.first.size()), c.second) << "case " << &c - cases;
  EXPECT_EQ(usb_packet_validate(nullptr, 0), 0);
}

TEST_F(ParsePackage, InvalidOversizedAndLoneHandshakePacketsAreNotNumbered) {
  EXPECT_EQ(dp->parsePackage(Bytes{0xC3, 0x00}.data(), 2, 10), 0u);
  ASSERT_EQ(g_log.size(), 1u);
  EXPECT_EQ(g_log[0], "unknow data[2]:C3 00");
  EXPECT_EQ(dp->parsePackage(Bytes{0x2D, 0x00, 0x00}.data(), 3, 10), 0u);
  EXPECT_EQ(g_log.back(), "unknow data[3]:2D 00 00");
  Bytes big = data(0xC3, filled(4096));  // 4,099 bytes with a correct CRC16
  EXPECT_EQ(dp->parsePackage(big.data(), (int32_t)big.size(), 10), 0u);
  EXPECT_EQ(g_log.back().rfind("unknow data[4099]:C3 00 01 02", 0), 0u);
  EXPECT_TRUE(dp->pendingPackets.empty());
  Call lone = once(hs(0xD2), 10);
  EXPECT_EQ(lone.result, 0u);
  EXPECT_EQ(lone.package, "<none>");
  EXPECT_EQ(dp->packageCount(), 0u);
  EXPECT_EQ(dp->invalidPackets, 3u);  // orvane-dump reports this count
  Bytes max = data(0xC3, filled(4093));  // exactly 4,096 bytes: taken
  EXPECT_EQ(dp->parsePackage(max.data(), (int32_t)max.size(), 10), 0u);
  EXPECT_EQ(dp->pendingPackets.size(), 1u);
}

TEST_F(ParsePackage, HandshakeOutcomeReachesTheTokenAndDataRows) {
  Bytes in = token(0x69, 3, 1), ack = hs(0xD2);
  EXPECT_EQ(once(in, 1000).result, 0u);
  EXPECT_EQ(once(data(0x4B, filled(4)), 1100).result, 0u);
  Call a = once(ack, 1200);  // decodes the IN
  EXPECT_EQ(a.result, RESULT_CALL_AGAIN | RESULT_TRANSACTION_STARTED | RESULT_NO_TRANSFER);
  EXPECT_EQ(a.attr, ATTR_IN | ATTR_ACK | (3u << 24) | (1u << 16));
  EXPECT_EQ(a.package, "Package=1 | TimeStamp= 1.00 us   ");
  char hex[16];
  EXPECT_EQ(a.raw, std::string("Token=In | Raw=") + usb_hex_text(in.data(), 3, hex, sizeof hex));
  Call b = once(ack, 1200);  // decodes the DATA1
  EXPECT_EQ(b.result & RESULT_CALL_AGAIN, RESULT_CALL_AGAIN);
  EXPECT_EQ(b.attr, ATTR_ACK | (3u << 24) | (1u << 16));
  EXPECT_EQ(b.count, 2u);
  Call c = once(ack, 1200);  // the ACK itself closes the transaction
  EXPECT_EQ(c.result & (RESULT_CALL_AGAIN | RESULT_TRANSACTION_ENDED), RESULT_TRANSACTION_ENDED);
  EXPECT_EQ(c.package, "Package=3 | TimeStamp= 1.20 us   ");
  EXPECT_EQ(c.raw, "HandShake=Ack | Raw=D2");
  EXPECT_EQ(list_text(dp->transactionHeadInfo), "IN Transaction= 1.00 us   ");
  EXPECT_EQ(list_text(dp->transactionRange), "Package=1 ~ 3");
  EXPECT_EQ(list_text(dp->transactionState), "Data1=4B | Data (4 tytes)=00 01 02 03 | State=Success");
  EXPECT_EQ(list_text(dp->transactionDetail), "In=69 | Addr=3 | Point=1");
}

// An IN or OUT row keeps its own address and endpoint, whatever token came
// before it; data and handshakes take those of the last addressed token.
TEST_F(ParsePackage, TokensKeepTheirOwnAddressDataAndHandshakesTakeTheTokens) {
  feed_all({token(0x69, 3, 1), hs(0x5A)});
  dp->freeOutputLists();
  once(token(0xE1, 9, 4), 5000);  // queued
  EXPECT_EQ(once(data(0xC3, filled(2)), 5100).result, 0u);
  const uint32_t at94 = (9u << 24) | (4u << 16);
  EXPECT_EQ(once(hs(0xD2), 5200).attr, ATTR_OUT | ATTR_ACK | at94);  // the OUT
  EXPECT_EQ(once(hs(0xD2), 5200).attr, ATTR_ACK | at94);             // the DATA0
  EXPECT_EQ(once(hs(0xD2), 5200).attr, ATTR_ACK | at94);             // the ACK
  // An IN decoded right after a SOF keeps its own address; a data packet
  // decoded after the SOF itself carries none.
  feed_all({sof(3), token(0x69, 9, 4)}, 6000);
  dp->freeOutputLists();
  once(data(0x4B, filled(1)), 7000);  // queued
  EXPECT_EQ(once(sof(4), 7100).attr, ATTR_IN | at94);
  dp->freeOutputLists();
  feed_all({sof(5), data(0x4B, filled(1)), hs(0xD2)}, 8000);
  EXPECT_EQ(dp->attrFlag, ATTR_ACK | 0xFFFF0000u);
}

TEST_F(ParsePackage, RepeatedTokenWithoutHandshakeDecodesTheFirst) {
  Bytes in = token(0x69, 2, 0);
  EXPECT_EQ(once(in, 10).result, 0u);
  Call first = once(in, 20);
  EXPECT_TRUE(first.result & RESULT_CALL_AGAIN);
  EXPECT_EQ(first.count, 1u);
  EXPECT_EQ(first.attr & 0xF800u, 0u);  // no handshake bit
  EXPECT_EQ(first.package, "Package=1 | TimeStamp= 10.00 ns   ");
  EXPECT_EQ(once(in, 20).result, 0u);  // the second IN now waits
  EXPECT_EQ(dp->pendingPackets.size(), 1u);
  Call closing = once(in, 30);  // and closes the first transaction without a handshake
  EXPECT_EQ(closing.result & (RESULT_TRANSACTION_ENDED | RESULT_TRANSACTION_STARTED),
            RESULT_TRANSACTION_ENDED | RESULT_TRANSACTION_STARTED);
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
  EXPECT_EQ(at_ack[0].package, "Package=2 | TimeStamp= 5.00 us   ");  // SOF 5, own time
  EXPECT_EQ(at_ack[0].raw.substr(0, 10), "Token=Sof ");
  EXPECT_EQ(at_ack[1].count, 3u);
  EXPECT_EQ(at_ack[1].raw.substr(0, 9), "Token=In ");
  EXPECT_EQ(at_ack[3].count, 5u);
  EXPECT_EQ(at_ack[3].result & RESULT_CALL_AGAIN, 0u);
}

TEST_F(ParsePackage, CallAgainOrderIsOldestFirst) {
  // SETUP, DATA0 and then an OUT without any handshake: the OUT decodes the
  // SETUP, then the DATA0, then waits itself.
  once(token(0x2D, 0, 0), 10);
  once(data(0xC3, Bytes{0x80, 6, 0, 1, 0, 0, 18, 0}), 20);
  std::vector<Call> calls = feed(token(0xE1, 0, 0), 30);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].raw.substr(0, 12), "Token=Setup ");
  EXPECT_EQ(calls[1].raw.substr(0, 11), "Data=Data0 ");
  EXPECT_EQ(calls[2].result, 0u);
  EXPECT_EQ(dp->pendingPackets.size(), 1u);
}

TEST_F(ParsePackage, SplitFieldsAndAnEmptyDataPacket) {
  // SPLIT: start split, hub 5, port 3, S 1, E 1, ET 2 (interrupt).
  once(Bytes{0x78, 5, 0x83, (uint8_t)(1 | (2 << 1) | (0x1F << 3))}, 20);
  Call c = once(token(0x69, 7, 1), 30);  // decodes the SPLIT
  EXPECT_EQ(c.parse, "SSplit=78 | HubAddr=5 | Port=3 | S=1 | E=1 | ET=2 | Crc5=1F");
  EXPECT_EQ(c.raw, "Token=Split | Raw=78 05 83 FD");
  EXPECT_EQ(dp->attrFlag, ATTR_SPLIT | 0xFFFF0000u);
  EXPECT_EQ(dp->viewPackageInfo, nullptr);      // SPLIT has no transaction-view cells
  EXPECT_EQ(dp->transactionHeadInfo, nullptr);  // nor a head cell
  // The complete split of a real high-speed capture (hub 12, port 2).
  once(Bytes{0x78, 0x8C, 0x82, 0x10}, 40);
  EXPECT_EQ(once(token(0x2D, 0, 0), 50).parse, "CSplit=78 | HubAddr=12 | Port=2 | S=1 | U=0 | ET=0 | Crc5=02");
  dp->freeOutputLists();
  feed_all({token(0xE1, 1, 2), Bytes{0x4B, 0xAB, 0xCD}}, 60);  // any CRC bytes
  once(hs(0xD2), 80);                                          // decodes the OUT
  EXPECT_EQ(once(hs(0xD2), 80).parse, "Data1=4B | Data (0 tytes)= | Crc16=AB CD");
  EXPECT_EQ(list_text(dp->capDataValue), "Data (0 tytes)=");
}

TEST_F(ParsePackage, InToUnknownEndpointMakesNoTransfer) {
  for (const Call& c : feed_all({token(0x69, 9, 2), data(0xC3, filled(3)), hs(0xD2), token(0x69, 9, 2)})) {
    if (c.result) {
      EXPECT_EQ(c.result & RESULT_NO_TRANSFER, RESULT_NO_TRANSFER);
    }
  }
  EXPECT_EQ(dp->transferHead, nullptr);
  EXPECT_NE(dp->transactionRange, nullptr);
  EXPECT_EQ(list_text(dp->capDataValue), "Data (3 tytes)=00 01 02");  // endpoint 2: data view
}

TEST_F(ParsePackage, NakedInKeepsTheTransferInProgress) {
  learn({3, 4, 1, 8, 8});  // interrupt IN endpoint 1 of device 4, 8 bytes
  std::vector<Call> calls = feed_all({token(0x69, 4, 1), hs(0x5A), token(0x69, 4, 1)});
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[0].result, 0u);  // the IN waits for its outcome
  EXPECT_TRUE(calls[1].result & RESULT_TRANSFER_ACTIVE);
  EXPECT_EQ(calls[1].attr & ATTR_NAK, ATTR_NAK);
  EXPECT_EQ(list_text(dp->transferHead), "INT Transfer= 1.00 us   ");
  EXPECT_EQ(list_text(dp->transactionState), "State=Failed");
  EXPECT_EQ(dp->transfer.state, TRANSFER_IN_PROGRESS);
  EXPECT_EQ(dp->transferRange, nullptr);
  for (const Call& c : calls) {
    if (c.result) {
      EXPECT_EQ(c.result & RESULT_NO_TRANSFER, 0u);
    }
  }
}

TEST_F(ParsePackage, BulkTransferCompletesOnShortPacket) {
  learn({2, 6, 2, 8, 64});  // bulk IN endpoint 2 of device 6, 64 bytes
  for (int i = 0; i < 3; i++)
    feed_all({token(0x69, 6, 2), data(i % 2 ? 0x4B : 0xC3, filled(64, (uint8_t)(i * 64))), hs(0xD2)});
  EXPECT_EQ(dp->transfer.state, TRANSFER_IN_PROGRESS);
  EXPECT_EQ(dp->transferDetail, nullptr);
  feed_all({token(0x69, 6, 2), data(0xC3, filled(10)), hs(0xD2)}, 5000);
  EXPECT_EQ(dp->transfer.state, TRANSFER_NONE);
  EXPECT_EQ(list_text(dp->transferRange), "Package=1 ~ 12");
  EXPECT_EQ(list_text(dp->transferState), "State=Success");
  std::string detail = list_text(dp->transferDetail);
  EXPECT_EQ(detail.substr(0, 49), "In=69 | Addr=6 | Point=2 | Data (202 tytes)=00 01");
  EXPECT_EQ(std::count(detail.begin(), detail.end(), '|'), 3);  // detail once
  EXPECT_EQ(dp->capDataInfo->count, 8u);  // a data-view row for each of the four data packets
}

// A SOF decoded while a transfer is in progress is numbered and says so;
// PING and SPLIT say the same.
TEST_F(ParsePackage, TokensDuringATransferSayItIsInProgress) {
  learn({2, 6, 2, 8, 64});
  feed_all({token(0x69, 6, 2), data(0xC3, filled(64)), hs(0xD2)});
  uint32_t before = dp->packageCount();
  EXPECT_EQ(once(sof(9), 90000).result, RESULT_TRANSFER_ACTIVE);
  EXPECT_EQ(dp->packageCount(), before + 1);
  once(Bytes{0x78, 5, 3, 0xFD}, 90100);  // queued
  const uint32_t started = RESULT_CALL_AGAIN | RESULT_TRANSFER_ACTIVE | RESULT_TRANSACTION_STARTED;
  EXPECT_EQ(once(token(0xB4, 6, 2), 90200).result, started);  // decodes the SPLIT
  EXPECT_EQ(once(token(0xB4, 6, 2), 90200).result, 0u);       // the PING waits
  EXPECT_EQ(once(hs(0x5A), 90300).result, started | RESULT_TRANSACTION_ENDED);
}

TEST_F(ParsePackage, ResetClearsDecodingStateButNotTheQueue) {
  learn({2, 6, 2, 8, 64});
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

// Every cell of a control transfer, a bulk IN and a SOF, with its type
// ({0} word, {1} string, {2} u8, {3} u16, {4} u32, {5} hex) and colours.
TEST_F(ParsePackage, EveryCellWithItsTypeAndColours) {
  once(token(0x2D, 1, 0), 1000);
  once(data(0xC3, Bytes{0x80, 6, 0, 1, 0, 0, 18, 0}), 1100);
  EXPECT_EQ(dp->parsePackage(hs(0xD2).data(), 1, 1200), RESULT_CALL_AGAIN | RESULT_TRANSACTION_STARTED | RESULT_TRANSFER_ACTIVE);
  const std::string setupCells = "Setup{0}[3/0]=2D{5} | Addr{0}=1{2} | Point{0}[4/0]=0{2}";
  EXPECT_EQ(typed(&dp->rawPackageParseInfo), "Type{0}[1/0]=Token{0}");
  EXPECT_EQ(typed(&dp->rawPackageParseValue), setupCells + " | Crc5{0}=1D{5}");
  EXPECT_EQ(typed(&dp->viewPackageInfo), "Package{0}[12/11]=1{4} | Dir{0}[27/0]=↓{0}");
  EXPECT_EQ(typed(&dp->transactionDetail), setupCells);
  EXPECT_EQ(typed(&dp->rawPackageInfo), "Package{0}[12/11]=1{4} | TimeStamp{0}[13/0]= 1.00 us   {1}");
  EXPECT_EQ(typed(&dp->rawPackageValue), "Token{0}[14/0]=Setup{0} | Raw{0}[15/11]=2D 01 E8{5}");
  EXPECT_EQ(typed(&dp->transactionHeadInfo), "SETUP Transaction{1}[29/0]= 1.00 us   {1}");
  EXPECT_EQ(typed(&dp->transferHead), "CTRL Transfer{1}[31/0]= 1.00 us   {1}");
  dp->freeOutputLists();
  dp->parsePackage(hs(0xD2).data(), 1, 1200);  // the setup DATA0
  EXPECT_EQ(typed(&dp->viewPackageValue),
            "Data0{0}[16/11]=C3{5} | Data (8 tytes){1}[20/0]=80 06 00 01 00 00 12 00{5} | Crc16{0}=E0 F4{5}");
  EXPECT_EQ(typed(&dp->transferDetail), "Standard Req{1}[30/11]=Get Descriptor{1} | Addr{0}=1{2} | Point{0}[4/0]=0{2}");
  EXPECT_EQ(typed(&dp->rawPackageValue), "Data{0}[20/0]=Data0{0} | Raw{0}[15/11]=C3 80 06 00 01 00 00 12 00 E0 F4{5}");
  EXPECT_EQ(dp->capDataInfo, nullptr);  // endpoint 0: no data-view row
  dp->freeOutputLists();
  EXPECT_EQ(dp->parsePackage(hs(0xD2).data(), 1, 1200), RESULT_TRANSACTION_ENDED);  // the ACK
  EXPECT_EQ(typed(&dp->rawPackageParseInfo), "Type{0}[1/0]=HandShake{0}");
  EXPECT_EQ(typed(&dp->viewPackageValue), "Ack{0}[22/0]=D2{5}");
  EXPECT_EQ(typed(&dp->transactionState), "State{0}[28/0]=Success{0}");
  EXPECT_EQ(typed(&dp->rawPackageValue), "HandShake{0}[21/0]=Ack{0} | Raw{0}[15/11]=D2{5}");
  EXPECT_EQ(typed(&dp->transactionRange), "Package{0}[12/11]=1 ~ 3{1}");
  dp->freeOutputLists();
  feed_all({token(0xE1, 1, 0), data(0x4B, Bytes{}), hs(0xD2)}, 1500);  // the status stage
  EXPECT_EQ(typed(&dp->transferState), "State{0}[28/0]=Success{0}");
  dp->freeOutputLists();

  // A bulk IN of 5 bytes on a learned 64-byte endpoint completes at once.
  learn({2, 1, 2, 8, 64});
  feed_all({token(0x69, 1, 2), data(0x4B, filled(5))}, 2000);
  dp->parsePackage(hs(0xD2).data(), 1, 2200);  // the IN
  dp->freeOutputLists();
  dp->parsePackage(hs(0xD2).data(), 1, 2200);  // the DATA1
  EXPECT_EQ(typed(&dp->capDataInfo), "Package{0}[12/11]=8{4} | Dir{0}[27/0]=↑{0}");
  EXPECT_EQ(typed(&dp->capDataValue), "Data (5 tytes){1}[20/0]=00 01 02 03 04{5}");
  EXPECT_EQ(typed(&dp->transferDetail), "In{0}=69{5} | Addr{0}=1{2} | Point{0}[4/0]=2{2} | Data (5 tytes){1}[20/0]=00 01 02 03 04{5}");
  dp->freeOutputLists();
  EXPECT_EQ(dp->parsePackage(hs(0xD2).data(), 1, 2200), RESULT_TRANSACTION_ENDED | RESULT_TRANSFER_ENDED);
  EXPECT_EQ(typed(&dp->transferRange), "Package{0}[12/11]=7 ~ 9{1}");
  dp->freeOutputLists();

  EXPECT_EQ(dp->parsePackage(sof(0x123).data(), 3, 3000), RESULT_NO_TRANSFER);
  EXPECT_EQ(typed(&dp->rawPackageParseValue), "Sof{0}[2/0]=A5{5} | Frame{0}=291{3} | Crc5{0}=1E{5}");
  EXPECT_EQ(dp->viewPackageInfo, nullptr);
  EXPECT_EQ(dp->attrFlag, ATTR_SOF | 0xFFFF0000u);
}

// Data packets are held until a token or handshake tells their outcome; a
// stream that never brings one must not hold them all. Past the bound the
// oldest is decoded (without outcome), so every packet is numbered once, in order.
TEST_F(ParsePackage, DataPacketsWithoutOutcomeAreHeldWithinABound) {
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
}

// Setup packets that never end each repeat the request line in the
// transfer's detail, which waits for the transfer to end: it stays bounded.
TEST_F(ParsePackage, RepeatedSetupPacketsKeepTheTransferDetailBounded) {
  Bytes setup = data(0xC3, Bytes{0x80, 6, 0, 1, 0, 0, 18, 0});
  once(token(0x2D, 1, 0), 100);
  uint64_t most = 0;
  for (int i = 0; i < 5000; i++) {
    for (int k = 0; k < 4; k++) {
      uint32_t r = once(setup, 200 + (uint64_t)i).result;
      drop({&dp->viewPackageInfo, &dp->viewPackageValue});  // what the pipeline takes per call
      kvlistpair_chain_free(dp->descriptorTables);
      dp->descriptorTables = nullptr;
      if (!(r & RESULT_CALL_AGAIN)) break;
    }
    if (dp->transferDetail) most = std::max(most, dp->transferDetail->count);
  }
  EXPECT_GT(dp->packageCount(), 3000u);
  EXPECT_LE(most, 64u);
}

}  // namespace

// The time text is formatted without printf on the decoding path; it must
// read exactly as printf's "%.2f" of the single-precision value.
TEST(UsbPacket, TimeText) {
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
