// The decoding step end to end: packets in, rows out in the four trees, with
// transactions (packets as children) and transfers (transactions as
// children, packets as grandchildren); and against hostile input: a
// transaction that never closes, and a long stream of random traffic.
#include <gtest/gtest.h>

#include <cerrno>

#include "os/mapped_file.h"
#include "tests/support/tree_text.h"

using namespace usbtest;

namespace {

using Assembly = treetext::PipelineTest;

TEST_F(Assembly, LongTransfersParkTheirTransactionsInOrderAndOverflowTheBufferExactly) {
  EndpointEntry e{2, 3, 1, 8, 64};  // bulk IN endpoint 1 of device 3
  endpoint_table_learn(&dp->endpointTable, &e);
  std::vector<Bytes> pk;
  const int naks = 16000;  // more rows than parked rows may keep in memory: most come back from disk
  for (int i = 0; i < naks; i++) pk.insert(pk.end(), {token(0x69, 3, 1), hs(0x5A)});
  pk.insert(pk.end(), {token(0x69, 3, 1), data(0xC3, filled(5)), hs(0xD2)});
  feed(pk);
  RowTree* s = trees.transaction;
  ASSERT_EQ(row_tree_child_count(s, 0), 1u);
  uint32_t transfer = row_tree_child_at(s, 0, 0);
  ASSERT_EQ(row_tree_child_count(s, transfer), (uint32_t)naks + 1);
  std::string top = treetext::row(s, transfer);
  EXPECT_NE(top.find("In=69 | Addr=3 | Point=1 | Data (5 tytes)=00 01 02 03 04 | State=Success"),
            std::string::npos)
      << top;
  // Children in order (the parked ones back from disk), each with its two or three packets.
  for (uint32_t i = 0; i < (uint32_t)naks; i += 97) {
    EXPECT_EQ(row_tree_child_at(s, transfer, i), transfer + 1 + 3 * i);
    EXPECT_EQ(row_tree_child_count(s, row_tree_child_at(s, transfer, i)), 2u);
  }
  EXPECT_EQ(row_tree_child_count(s, row_tree_child_at(s, transfer, naks)), 3u);
  std::string nak = treetext::row(s, row_tree_child_at(s, row_tree_child_at(s, transfer, naks - 1), 1));
  EXPECT_EQ(nak.substr(nak.size() - 6), "Nak=5A") << nak;
  EXPECT_EQ(row_tree_row_count(s), 1u + (uint32_t)naks * 3u + 4u);

  // 1,100 full 1,024-byte packets and a short one: more than the 1 MiB
  // buffer and far more than a 16-bit count. The count stays exact, nothing
  // is written past the buffer, and the transfer row still fits in a payload.
  e = EndpointEntry{2, 3, 2, 8, 1024};
  endpoint_table_learn(&dp->endpointTable, &e);
  pk.clear();
  for (int i = 0; i < 1100; i++)
    pk.insert(pk.end(),
              {token(0x69, 3, 2), data(i % 2 ? 0x4B : 0xC3, filled(1024, (uint8_t)i)), hs(0xD2)});
  pk.insert(pk.end(), {token(0x69, 3, 2), data(0x4B, filled(3)), hs(0xD2)});
  feed(pk, 1000000000);
  ASSERT_EQ(row_tree_child_count(s, 0), 2u);
  transfer = row_tree_child_at(s, 0, 1);
  top = treetext::row(s, transfer);
  ASSERT_EQ(row_tree_child_count(s, transfer), 1101u);
  EXPECT_EQ(top.substr(top.size() - 13), "State=Success") << "the row must fit whole";
  EXPECT_NE(top.find("Data (1126403 tytes)=00 01 02"), std::string::npos) << top.substr(0, 200);
  size_t end = top.find(" | State=");
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(end - (top.find("tytes)=") + 7), (size_t)kTransferDataShown * 3 - 1);  // "XX " per byte shown
}

TEST_F(Assembly, OneStatusTextPerProducingCall) {
  std::vector<std::string> status;
  pipeline_set_status(pl, [](const char* text, void* to) { ((std::vector<std::string>*)to)->push_back(text); }, &status);
  feed({token(0x69, 9, 2), data(0xC3, filled(3))});
  EXPECT_TRUE(status.empty());  // both held back
  feed({hs(0xD2)});               // IN (again), DATA0 (again), the ACK itself
  EXPECT_EQ(status, (std::vector<std::string>{"parsePackage: 1", "parsePackage: 2", "parsePackage: 3"}));
  feed({hs(0xD2)});  // a handshake without a transaction produces nothing
  EXPECT_EQ(status.size(), 3u);
}

// After an idle SOF run the SOF counter stays up, so later SOFs are held and
// never close the open IN transaction: each data packet they decode becomes
// one more packet row of it. Those rows must not pile up without bound.
TEST_F(Assembly, TransactionThatNeverClosesKeepsBoundedPacketRows) {
  uint64_t t = 1000;
  decode(sof(1), t += 100);
  decode(sof(2), t += 100);
  decode(token(0x69, 9, 2), t += 100);  // endpoint unknown: no transfer
  size_t most = 0;
  const int n = 5000;
  for (int i = 0; i < n; i++) {
    decode(data(0xC3, filled(8, (uint8_t)i)), t += 100);
    decode(sof((uint16_t)(3 + i)), t += 100);
    if (pl->packetRows > most) most = pl->packetRows;
  }
  EXPECT_LE(most, 1024u);
  // Every packet is still in the package view.
  EXPECT_EQ(row_tree_row_count(trees.package), 2u * dp->packageCount());
  // The handshake closes the transaction: one row with its packets below.
  decode(hs(0xD2), t += 100);
  EXPECT_EQ(treetext::row(trees.transaction, 1).substr(0, 15), "IN Transaction=");
  EXPECT_EQ(pl->packetRows, 0u);
}

// Open clears the views and replays a file after a decoder reset: a
// transaction that was still open in the trace before must not lend its
// packet rows to the first transaction of the replay. A packet longer than
// the replay buffer is skipped without a number.
TEST_F(Assembly, ReplayStartsWithoutRowsOfTheTraceBeforeAndSkipsOverlongPackets) {
  uint64_t t = 1000;
  decode(sof(1), t += 100);
  decode(sof(2), t += 100);  // held
  decode(token(0x69, 9, 2), t += 100);
  decode(data(0xC3, filled(4)), t += 100);
  decode(sof(3), t += 100);  // decodes the IN and the DATA0; the IN stays open
  ASSERT_EQ(pl->packetRows, 2u);
  for (RowTree* tr : {trees.package, trees.transaction, trees.data, trees.descriptor})
    row_tree_clear(tr, nullptr, nullptr, nullptr);
  // The held SOF 3 is not the file's: the replay's decoder reset drops it.
  t = 0;
  for (const Bytes& b : {token(0x69, 5, 1), Bytes(5000, 0xC3), hs(0x5A)})
    ASSERT_EQ(loaded_packets_append(b.data(), (uint32_t)b.size(), t += 10), 0);
  EXPECT_EQ(pipeline_replay_loaded(pl, nullptr), 2u);
  EXPECT_EQ(treetext::lines(trees.transaction),
            (std::vector<std::string>{"IN Transaction= 10.00 ns    | Package=1 ~ 2 || In=69 | Addr=5 | Point=1 | State=Failed",
                                      "  Package=1 | Dir=↓ || In=69 | Addr=5 | Point=1 | Crc5=0C", "  Package=2 | Dir=↑ || Nak=5A"}));
  uint8_t abort = 1;
  EXPECT_EQ(pipeline_replay_loaded(pl, &abort), 0u);
}

TEST_F(Assembly, RandomTrafficThroughThePipelineStaysInBounds) {
  uint64_t seed = 20261206;
  auto next = [&] { return (uint32_t)((seed = seed * 6364136223846793005ULL + 1442695040888963407ULL) >> 33); };
  auto below = [&](uint32_t n) { return n ? next() % n : 0; };
  uint64_t t = 1000;
  std::vector<Bytes> out;
  auto handshake = [&] {  // mostly an ACK, now and then none at all
    if (below(10) != 0) out.push_back(hs((uint8_t)"\xD2\xD2\xD2\xD2\x5A\x1E\x96\x3C"[below(8)]));
  };
  const uint8_t dataPids[] = {0xC3, 0x4B, 0x87, 0x0F};
  // Endpoints of every kind and size, as configuration answers would teach
  // them (walking random answers is descriptor_walk_test.cpp's fuzz).
  for (uint8_t addr = 0; addr < 4; addr++)
    for (uint8_t ep = 1; ep < 5; ep++) {
      EndpointEntry e{(uint8_t)(below(4)), addr, ep, (uint8_t)(below(2) ? 8 : 0),
                      below(4) == 0 ? below(2048) : 8u << below(7)};
      endpoint_table_learn(&dp->endpointTable, &e);
    }
  while (out.size() < 25000) {
    uint8_t addr = (uint8_t)below(4);
    uint8_t ep = (uint8_t)below(5);
    switch (1 + below(8)) {
      case 1:
      case 2: {  // bulk or interrupt traffic, often to a learned endpoint
        uint32_t packets = 1 + below(below(8) == 0 ? 300 : 6);
        uint32_t size = below(3) ? 8u << below(7) : below(1100);
        uint8_t pid = below(2) ? 0x69 : 0xE1;
        for (uint32_t i = 0; i < packets; i++) {
          out.push_back(token(pid, addr, (uint8_t)(1 + below(4))));
          if (below(6)) out.push_back(data(dataPids[below(4)], filled(below(4) ? size : below(size + 1))));
          handshake();
        }
        break;
      }
      case 3: {  // an idle SOF run, sometimes with data packets and no token
        uint32_t n = below(40);
        for (uint32_t i = 0; i < n; i++) {
          out.push_back(sof((uint16_t)below(2048)));
          if (below(8) == 0) out.push_back(data(dataPids[below(4)], filled(below(70))));
        }
        break;
      }
      case 4: {  // SPLIT and PING transactions
        out.push_back(Bytes{0x78, (uint8_t)next(), (uint8_t)next(), (uint8_t)next()});
        out.push_back(token(below(2) ? 0xB4 : 0x69, addr, ep));
        handshake();
        break;
      }
      case 5: {  // garbage: random bytes, some with a valid PID, some too long
        uint32_t len = below(10) == 0 ? 4000 + below(1200) : below(16);
        Bytes b(len);
        for (uint8_t& x : b) x = (uint8_t)next();
        if (!b.empty() && below(2)) b[0] = dataPids[below(4)];
        out.push_back(b);
        break;
      }
      case 6: {  // a data packet of the largest size taken, and one past it
        out.push_back(data(dataPids[below(4)], filled(4093 + below(2))));
        handshake();
        break;
      }
      case 7: {  // a control request of another kind, with or without data
        out.push_back(token(0x2D, addr, 0));
        Bytes setup(8);
        for (uint8_t& x : setup) x = (uint8_t)next();
        out.push_back(data(0xC3, setup));
        handshake();
        if (below(2)) {
          out.push_back(token(setup[0] & 0x80 ? 0x69 : 0xE1, addr, 0));
          out.push_back(data(0x4B, filled(below(64))));
          handshake();
        }
        break;
      }
      default:  // lone handshakes
        out.push_back(hs(0xD2));
        break;
    }
  }

  size_t mostPending = 0;
  for (const Bytes& b : out) {
    t += below(20) == 0 ? 1000000 : 50 + below(1000);
    if (below(500) == 0) t -= below(5000);  // a stamp that goes back a little
    decode(b, t);
    if (dp->pendingPackets.size() > mostPending) mostPending = dp->pendingPackets.size();
  }
  EXPECT_LE(mostPending, 1024u);
  EXPECT_GT(dp->packageCount(), 5000u);
  // Every numbered packet is one package row with one detail row.
  EXPECT_EQ(row_tree_row_count(trees.package), 2u * dp->packageCount());
  // Every row of every view reads back (each cell passes its CRC check).
  for (RowTree* tr : {trees.package, trees.transaction, trees.data, trees.descriptor})
    EXPECT_FALSE(treetext::lines(tr, tr == trees.descriptor).empty());
  // The stream reached the paths it was made for: bulk or interrupt transfers.
  int transfers = 0;
  for (const std::string& s : treetext::lines(trees.transaction))
    if (s.rfind("BULK Transfer=", 0) == 0 || s.rfind("INT Transfer=", 0) == 0) transfers++;
  EXPECT_GE(transfers, 3);
}

// A write that fails while a capture is recorded and decoded (a full disk)
// stops the storing with one line for the user; what was stored stays.
TEST(PipelineStoreFailure, ACaptureDataFileThatCannotBeWrittenStopsTheCapture) {
  testenv::TempDir dir;
  CaptureSession* s = treetext::open_session_in(dir.path(), 1);
  ASSERT_NE(s, nullptr);
  uint64_t t = 1000;
  for (const Bytes& b : {token(0x69, 9, 2), data(0xC3, filled(8)), hs(0xD2), sof(1)})
    pipeline_decode_packet(s->pipeline, b.data(), (int32_t)b.size(), t += 100, 1);
  pipeline_sync(s->pipeline);
  std::vector<std::string> stored = treetext::lines(s->trees.transaction);
  ASSERT_EQ(stored.size(), 4u);
  EXPECT_EQ(pipeline_failure(s->pipeline), nullptr);

  // Packets that make no rows, only capture data, until a write is due.
  os_file_fail_next("write", 1, ENOSPC);
  Bytes junk(100, 0x00);
  for (int i = 0; i < 1000; i++)
    pipeline_decode_packet(s->pipeline, junk.data(), (int32_t)junk.size(), t += 100, 1);
  const char* why = pipeline_failure(s->pipeline);
  ASSERT_NE(why, nullptr);
  EXPECT_EQ(std::string(why),
            "no space left on the device holding " + dir.path() + " (writing capusbdata.qelvo)");
  EXPECT_EQ(treetext::lines(s->trees.transaction), stored);
  capture_session_close(s, 1);
  orvane_log_set_muted(0);
}

}  // namespace
