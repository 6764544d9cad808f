// The decoding step end to end: packets in, rows out in the four trees, with
// transactions (packets as children) and transfers (transactions as
// children, packets as grandchildren).
#include <gtest/gtest.h>

#include "decode/cells/attr_flag.h"
#include "tests/support/tree_text.h"

using namespace usbtest;

namespace {

class Assembly : public treetext::PipelineTest {
 protected:
  uint32_t attr_of(RowTree* t, uint32_t row) {
    IndexEntry e;
    EXPECT_TRUE(row_tree_entry(t, row, &e));
    return e.attr_flags;
  }
};

const Bytes kGetDevice8{0x80, 6, 0, 1, 0, 0, 8, 0};
const Bytes kSetAddress5{0x00, 5, 5, 0, 0, 0, 0, 0};

TEST_F(Assembly, TransactionRowsWithPacketChildren) {
  // IN to an endpoint no descriptor announced: transactions, no transfer.
  feed({token(0x69, 9, 2), data(0xC3, filled(3)), hs(0xD2), token(0x69, 9, 2), hs(0x5A),
        sof(7)});
  std::vector<std::string> t = treetext::lines(trees.transaction);
  ASSERT_EQ(t.size(), 7u);
  EXPECT_EQ(t[0],
            "IN Transaction= 1.00 us    | Package=1 ~ 3 || In=69 | Addr=9 | Point=2 | Data0=C3 | "
            "Data (3 tytes)=00 01 02 | State=Success");
  EXPECT_EQ(t[1], "  Package=1 | Dir=↓ || In=69 | Addr=9 | Point=2 | Crc5=" +
                      t[1].substr(t[1].size() - 2));
  EXPECT_EQ(t[2], "  Package=2 | Dir=↑ || Data0=C3 | Data (3 tytes)=00 01 02 | Crc16=" +
                      t[2].substr(t[2].size() - 5));
  EXPECT_EQ(t[3], "  Package=3 | Dir=↓ || Ack=D2");
  EXPECT_EQ(t[4].substr(0, 46), "IN Transaction= 1.30 us    | Package=4 ~ 5 || ");
  EXPECT_NE(t[4].find("State=Failed"), std::string::npos);
  EXPECT_EQ(t[6], "  Package=5 | Dir=↑ || Nak=5A");
  // The transaction row carries the flag of its last packet row (the handshake).
  EXPECT_EQ(attr_of(trees.transaction, 1), ATTR_ACK | (9u << 24) | (2u << 16));
  // Package view: every numbered packet with its detail row; data view: the DATA0.
  EXPECT_EQ(treetext::lines(trees.package).size(), 12u);  // 6 packets, each with its detail
  std::vector<std::string> d = treetext::lines(trees.data);
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0], "Package=2 | Dir=↑ || Data (3 tytes)=00 01 02");
}

TEST_F(Assembly, ControlTransferWithTransactionsAndPackets) {
  feed({token(0x2D, 0, 0), data(0xC3, kSetAddress5), hs(0xD2),  // setup stage
        token(0x69, 0, 0), hs(0x5A),                             // status, NAKed
        token(0x69, 0, 0), data(0x4B, Bytes{}), hs(0xD2),        // status, done
        sof(1)});
  std::vector<std::string> t = treetext::lines(trees.transaction);
  ASSERT_EQ(t.size(), 1u + (1u + 3u) + (1u + 2u) + (1u + 3u));
  EXPECT_EQ(t[0].substr(0, 41), "CTRL Transfer= 1.00 us    | Package=1 ~ 8");
  EXPECT_NE(t[0].find("Set Address"), std::string::npos);
  EXPECT_EQ(t[0].substr(t[0].size() - 13), "State=Success");
  EXPECT_EQ(t[1].substr(0, 20), "  SETUP Transaction=");
  EXPECT_EQ(t[2].substr(0, 26), "    Package=1 | Dir=↓ ||");
  EXPECT_EQ(t[4], "    Package=3 | Dir=↑ || Ack=D2");
  EXPECT_EQ(t[5].substr(0, 17), "  IN Transaction=");
  EXPECT_EQ(t[8].substr(0, 17), "  IN Transaction=");
  EXPECT_EQ(t[11], "    Package=8 | Dir=↓ || Ack=D2");  // the host acknowledges the data
  // Transfer row: only the address and endpoint bits of the last packet row.
  EXPECT_EQ(attr_of(trees.transaction, 1), 0u);  // address 0, endpoint 0
  // The request table went to the descriptor view.
  std::vector<std::string> p = treetext::lines(trees.descriptor, 1);
  ASSERT_FALSE(p.empty());
  EXPECT_NE(p[0].find("Standard Requst"), std::string::npos) << p[0];
}

TEST_F(Assembly, NewSetupClosesTheOldTransferAsFailedBeforeTheNewOne) {
  feed({token(0x2D, 1, 0), data(0xC3, kGetDevice8), hs(0xD2), token(0x69, 1, 0), hs(0x5A),
        token(0x2D, 1, 0), data(0xC3, kSetAddress5), hs(0xD2), token(0x69, 1, 0),
        data(0x4B, Bytes{}), hs(0xD2)});
  std::vector<std::string> t = treetext::lines(trees.transaction);
  std::vector<std::string> tops;
  for (const std::string& s : t)
    if (s[0] != ' ') tops.push_back(s);
  ASSERT_EQ(tops.size(), 2u);
  EXPECT_NE(tops[0].find("Package=1 ~ 5"), std::string::npos) << tops[0];
  EXPECT_EQ(tops[0].substr(tops[0].size() - 12), "State=Failed");
  EXPECT_NE(tops[1].find("Package=6 ~ 11"), std::string::npos) << tops[1];
  EXPECT_EQ(tops[1].substr(tops[1].size() - 13), "State=Success");
  // Each transfer has its own two transactions.
  EXPECT_EQ(row_tree_child_count(trees.transaction, 1), 2u);
}

TEST_F(Assembly, LongTransferParksItsTransactionsAndKeepsTheirOrder) {
  EndpointEntry e{2, 3, 1, 8, 64};  // bulk IN endpoint 1 of device 3
  endpoint_table_learn(&dp->endpointTable, &e);
  std::vector<Bytes> pk;
  const int naks = 3000;
  for (int i = 0; i < naks; i++) pk.insert(pk.end(), {token(0x69, 3, 1), hs(0x5A)});
  pk.insert(pk.end(), {token(0x69, 3, 1), data(0xC3, filled(5)), hs(0xD2)});
  feed(pk);
  RowTree* s = trees.transaction;
  ASSERT_EQ(row_tree_child_count(s, 0), 1u);
  uint32_t transfer = row_tree_child_at(s, 0, 0);
  ASSERT_EQ(row_tree_child_count(s, transfer), (uint32_t)naks + 1);
  std::string top = treetext::row(s, transfer);
  EXPECT_EQ(top.substr(0, 14), "BULK Transfer=");
  EXPECT_NE(top.find("In=69 | Addr=3 | Point=1 | Data (5 tytes)=00 01 02 03 04 | State=Success"),
            std::string::npos)
      << top;
  // Children in order, each with its two or three packets.
  uint32_t last = transfer;
  for (uint32_t i = 0; i < (uint32_t)naks; i += 500) {
    uint32_t tx = row_tree_child_at(s, transfer, i);
    EXPECT_GT(tx, last);
    last = tx;
    EXPECT_EQ(row_tree_child_count(s, tx), 2u);
  }
  EXPECT_EQ(row_tree_child_count(s, row_tree_child_at(s, transfer, naks)), 3u);
  EXPECT_EQ(row_tree_row_count(s), 1u + (uint32_t)naks * 3u + 4u);
}

TEST_F(Assembly, TransferLongerThanTheReassemblyBufferStaysExactAndFits) {
  // 1,100 full 1,024-byte packets and a short one: more than the 1 MiB
  // buffer and far more than a 16-bit count. The count stays exact, nothing
  // is written past the buffer, and the transfer row still fits in a payload.
  EndpointEntry e{2, 3, 1, 8, 1024};
  endpoint_table_learn(&dp->endpointTable, &e);
  std::vector<Bytes> pk;
  for (int i = 0; i < 1100; i++)
    pk.insert(pk.end(),
              {token(0x69, 3, 1), data(i % 2 ? 0x4B : 0xC3, filled(1024, (uint8_t)i)), hs(0xD2)});
  pk.insert(pk.end(), {token(0x69, 3, 1), data(0x4B, filled(3)), hs(0xD2)});
  feed(pk);
  RowTree* s = trees.transaction;
  ASSERT_EQ(row_tree_child_count(s, 0), 1u);
  std::string top = treetext::row(s, row_tree_child_at(s, 0, 0));
  EXPECT_EQ(top.find("(incomplete)"), std::string::npos);
  EXPECT_NE(top.find("Data (1126403 tytes)=00 01 02"), std::string::npos) << top.substr(0, 200);
  size_t at = top.find("tytes)=");
  size_t end = top.find(" | State=");
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(end - (at + 7), (size_t)kTransferDataShown * 3 - 1);  // "XX " per byte shown
}

std::vector<std::string> g_status;
void record_status(const char* text, void*) { g_status.push_back(text); }

TEST_F(Assembly, OneStatusTextPerProducingCall) {
  g_status.clear();
  pipeline_set_status(pl, record_status, nullptr);
  feed({token(0x69, 9, 2), data(0xC3, filled(3))});
  EXPECT_TRUE(g_status.empty());  // both held back
  feed({hs(0xD2)});               // IN (again), DATA0 (again), the ACK itself
  ASSERT_EQ(g_status.size(), 3u);
  EXPECT_EQ(g_status[0], "parsePackage: 1");
  EXPECT_EQ(g_status[2], "parsePackage: 3");
  feed({hs(0xD2)});  // a handshake without a transaction produces nothing
  EXPECT_EQ(g_status.size(), 3u);
}

TEST_F(Assembly, FilterHidesTopLevelRowsOnly) {
  row_tree_set_filter(trees.package, 0xFFFF0000u | ATTR_NAK, nullptr, nullptr, nullptr);
  feed({token(0x69, 9, 2), hs(0x5A), token(0x69, 9, 2), data(0xC3, filled(1)), hs(0xD2)});
  std::vector<std::string> p = treetext::lines(trees.package);
  // The NAKed IN and its NAK are hidden, with their children.
  ASSERT_EQ(p.size(), 6u);
  EXPECT_EQ(p[0].substr(0, 10), "Package=3 ");
}

TEST_F(Assembly, ReplayRefusesPacketsLongerThanItsBuffer) {
  Bytes in = token(0x69, 9, 2), ack = hs(0xD2);
  Bytes huge(5000, 0xC3);
  ASSERT_EQ(loaded_packets_append(in.data(), 3, 10), 0);
  ASSERT_EQ(loaded_packets_append(huge.data(), (uint32_t)huge.size(), 20), 0);
  ASSERT_EQ(loaded_packets_append(ack.data(), 1, 30), 0);
  EXPECT_EQ(pipeline_replay_loaded(pl, nullptr), 2u);
  std::vector<std::string> t = treetext::lines(trees.transaction);
  ASSERT_EQ(t.size(), 3u);
  EXPECT_NE(t[0].find("Package=1 ~ 2"), std::string::npos);
  uint8_t abort = 1;
  EXPECT_EQ(pipeline_replay_loaded(pl, &abort), 0u);
}

}  // namespace

// A capture that ends mid-transfer, with a last IN that nothing answered:
// the end of the capture shows both instead of holding them forever.
TEST_F(Assembly, EndOfCaptureShowsWhatStillWaits) {
  feed({token(0x2D, 0, 0), data(0xC3, kGetDevice8), hs(0xD2), token(0x69, 0, 0)});
  EXPECT_EQ(treetext::lines(trees.package).size(), 6u);  // the IN still waits
  EXPECT_TRUE(treetext::lines(trees.transaction).empty());
  pipeline_finish(pl);
  EXPECT_EQ(treetext::lines(trees.package).size(), 8u);
  std::vector<std::string> t = treetext::lines(trees.transaction);
  ASSERT_EQ(t.size(), 7u);
  EXPECT_EQ(t[0].rfind("CTRL Transfer=", 0), 0u) << t[0];
  EXPECT_NE(t[0].find("Package=1 ~ 4"), std::string::npos) << t[0];
  EXPECT_NE(t[0].find("State=Failed"), std::string::npos) << t[0];
  EXPECT_NE(t[1].find("Package=1 ~ 3"), std::string::npos) << t[1];
  EXPECT_EQ(t[5].rfind("  IN Transaction=", 0), 0u) << t[5];
  EXPECT_NE(t[5].find("Package=4 ~ 4"), std::string::npos) << t[5];
  EXPECT_EQ(t[6], "    Package=4 | Dir=↓ || In=69 | Addr=0 | Point=0 | Crc5=" + t[6].substr(t[6].size() - 2));
  uint32_t r;
  EXPECT_FALSE(dp->flushOne(&r));  // nothing waits any more
  EXPECT_EQ(dp->closeOpen(), 0u);
}

// A device behind a high-speed hub: each transaction crosses the bus as a
// start split and a complete split that repeats its token. The repeated
// SETUP continues the transfer, and the data collected by a complete split
// (which the host does not acknowledge) is the transfer's data.
TEST_F(Assembly, SplitControlTransferIsOneTransferWithItsData) {
  auto split = [](bool complete) { return Bytes{0x78, (uint8_t)(12 | (complete ? 0x80 : 0)), 0x82, 0x00}; };
  Bytes answer = filled(8);
  feed({split(false), token(0x2D, 0, 0), data(0xC3, kGetDevice8), hs(0xD2),   // start: SETUP
        split(true), token(0x2D, 0, 0), hs(0xD2),                             // complete: SETUP again
        split(false), token(0x69, 0, 0), hs(0xD2),                            // start: IN
        split(true), token(0x69, 0, 0), data(0x4B, answer),                   // complete: the data
        split(false), token(0xE1, 0, 0), data(0x4B, {}), hs(0xD2),            // status stage
        sof(1)});
  std::vector<std::string> t = treetext::lines(trees.transaction);
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(t[0].rfind("CTRL Transfer=", 0), 0u) << t[0];
  EXPECT_NE(t[0].find("Data (8 tytes)=00 01 02 03 04 05 06 07"), std::string::npos) << t[0];
  EXPECT_NE(t[0].find("State=Success"), std::string::npos) << t[0];
  size_t transfers = 0;
  for (const std::string& line : t) transfers += line.rfind("CTRL Transfer=", 0) == 0;
  EXPECT_EQ(transfers, 1u);
}
