// Row payloads: the exact bytes of small rows, every failure path with its
// message, the exits on damaged cells, and pack/unpack round trips on random
// lists. Lists are consumed by the packer, so LeakSanitizer checks that every
// cell is freed exactly once on each path.
#include "decode/cells/packed_row.h"
#include "decode/cells/row_payload.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "os/log.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Collects engine log lines for the life of the object.
struct LogCapture {
  std::vector<std::string> lines;
  LogCapture() { orvane_log_set_sink([](const char* l, void* u) { ((LogCapture*)u)->lines.push_back(l); }, this); }
  ~LogCapture() { orvane_log_set_sink(nullptr, nullptr); }
};

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The stored bytes of a cell (none for null).
Bytes bytes_of(const DataMsg* c) {
  return c ? Bytes((const uint8_t*)c, (const uint8_t*)c + cell_size(c)) : Bytes();
}

// Appends an entry and returns the bytes it should pack to.
Bytes add(kvLinkedList** l, DataMsg* k, DataMsg* v, DataMsg* d = nullptr) {
  Bytes b = bytes_of(k) + bytes_of(v) + bytes_of(d);
  EXPECT_EQ(0, d ? kvlist_append_desc(l, k, v, d) : kvlist_append(l, k, v));
  return b;
}

// A list of `n` entries: a hex key of `size` payload bytes (size + 8 stored
// bytes) and an u8 value (9), with a text description when asked; the stored
// bytes of each entry go to `entries`.
kvLinkedList* entries_list(uint32_t n, uint32_t size, bool desc, std::vector<Bytes>* entries) {
  kvLinkedList* l = kvlist_new();
  std::vector<uint8_t> key(size, 0x33);
  for (uint32_t i = 0; i < n; ++i)
    entries->push_back(add(&l, cell_hex(key.data(), size, 1, 2), cell_u8((uint8_t)i, 3, 4),
                           desc ? cell_text("Size", 0, 0) : nullptr));
  return l;
}

// The first `n` entries' bytes, one after the other.
Bytes join(const std::vector<Bytes>& v, size_t n) {
  Bytes out;
  for (size_t i = 0; i < n; ++i) out = out + v[i];
  return out;
}

// The exact bytes of rows: the marker, the little-endian length of Infos,
// its entries, the length of Values and its entries (descriptions after their
// values); a group that does not fit keeps the entries that do and the row
// loses its marker, with two lines in the log.
TEST(RowPayload, PackedBytesOfRowsAndListsAndGroupReads) {
  struct Case {
    const char* what;
    uint32_t infos, info_size, values, value_size;
    bool desc;
    uint32_t length;  // of the packed row
    uint32_t kept;    // entries of the failing group stored; all when the row is marked
    bool marked;
  } cases[] = {
      {"two empty lists", 0, 0, 0, 0, false, 6, 0, true},
      {"one entry each, values described", 1, 3, 2, 1, true, 6 + 20 + 2 * (9 + 9 + 12), 0, true},
      {"ends exactly at the capacity", 0, 0, 1, 4090 - 17, false, 4096, 0, true},
      {"values overflow: two of five stored", 0, 0, 5, 1500, false, 6 + 2 * 1517, 2, false},
      {"infos overflow: values not stored", 2, 4000, 1, 1, false, 4 + 4017, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LogCapture log;
    std::vector<Bytes> infos, values;
    kvLinkedList* li = entries_list(c.infos, c.info_size, false, &infos);
    kvLinkedList* lv = entries_list(c.values, c.value_size, c.desc, &values);
    uint8_t buf[kRowPayloadCapacity];
    uint32_t n = payload_pack_row(li, lv, buf);
    ASSERT_EQ(c.length, n);
    Bytes got(buf, buf + n);
    if (c.marked) {
      Bytes i = join(infos, infos.size()), v = join(values, values.size());
      Bytes want = Bytes{0xA5, 0x5A, (uint8_t)i.size(), (uint8_t)(i.size() >> 8)} + i +
                   Bytes{(uint8_t)v.size(), (uint8_t)(v.size() >> 8)} + v;
      EXPECT_EQ(want, got);
      EXPECT_TRUE(log.lines.empty());
    } else {
      Bytes kept = join(c.infos == 0 ? values : infos, c.kept);  // of the group that failed
      EXPECT_EQ(Bytes({0, 0}), Bytes(buf, buf + 2));
      EXPECT_EQ(kept, Bytes(got.end() - kept.size(), got.end()));
      ASSERT_EQ(2u, log.lines.size());
      EXPECT_EQ("缓冲区不足，释放剩余节点", log.lines[1]);
    }
    PayloadView v;
    EXPECT_EQ(c.marked ? 0 : -1, payload_unpack(buf, n, &v));
    EXPECT_EQ(c.marked, v.marked == 1);
  }
  LogCapture log;
  std::vector<Bytes> unused;
  uint8_t buf[kRowPayloadCapacity];
  payload_pack_row(kvlist_new(), entries_list(3, 1500, false, &unused), buf);
  EXPECT_EQ("*offset = 3040, key_size = 1508, value_size = 9, desc_size = 0, buf_capacity = 4096", log.lines[0]);
  // A missing Infos list is a failed group too (values still freed).
  EXPECT_EQ(2u, payload_pack_row(nullptr, entries_list(1, 1, false, &unused), buf));
  EXPECT_EQ(">>>!list || !output_buf || !offset", log.lines.back());
  // Groups are complete only when wholly stored and read.
  uint32_t n = payload_pack_row(entries_list(1, 1, false, &unused), entries_list(3, 2, true, &unused), buf);
  PayloadView v;
  ASSERT_EQ(0, payload_unpack(buf, n, &v));
  PayloadEntry e[4];
  int complete = 0;
  EXPECT_EQ(3u, payload_group_entries(&v.values, 1, e, 4, &complete));
  EXPECT_EQ(1, complete);
  EXPECT_EQ(6, (int)e[1].desc->len);  // by value: stored cells are unaligned
  // Read as if there were no descriptions, nine cells do not make pairs.
  EXPECT_EQ(4u, payload_group_entries(&v.values, 0, e, 4, &complete));
  EXPECT_EQ(0, complete);
  EXPECT_EQ(0u, payload_group_entries(&v.infos, 1, e, 4, &complete));  // nor a pair a described entry
  EXPECT_EQ(0, complete);
  // A caller's array that is too small is not a complete read either.
  EXPECT_EQ(2u, payload_group_entries(&v.values, 1, e, 2, &complete));
  EXPECT_EQ(0, complete);
  // A group length past the payload is incomplete.
  uint8_t p[] = {0xA5, 0x5A, 0x10, 0x00, 0x00, 0x00};
  EXPECT_EQ(-1, payload_unpack(p, sizeof p, &v));
  EXPECT_EQ(1, v.marked);
  EXPECT_EQ(0, v.infos.complete);
  EXPECT_EQ(2u, v.infos.len);
  EXPECT_EQ(nullptr, v.values.body);
  uint8_t q[] = {0xA5, 0x5A, 0x00, 0x00, 0x01};  // Values length cut in half
  EXPECT_EQ(-1, payload_unpack(q, sizeof q, &v));
  EXPECT_EQ(1, v.infos.complete);
  EXPECT_EQ(0, v.values.complete);
  EXPECT_EQ(-1, payload_unpack(q, 1, &v));
  EXPECT_EQ(0, v.marked);

  // Packing one list: its arguments, the room for its length, nodes without entry.
  uint32_t off = 2;
  EXPECT_EQ(-1, payload_pack_list(nullptr, buf, &off));
  EXPECT_EQ(">>>!list || !output_buf || !offset", log.lines.back());
  EXPECT_EQ(-1, payload_pack_list(entries_list(1, 1, false, &unused), nullptr, &off));  // consumed even so
  off = 4095;
  EXPECT_EQ(-1, payload_pack_list(entries_list(1, 1, false, &unused), buf, &off));
  EXPECT_EQ(">>>buf_capacity < 2 || *offset + 2 > buf_capacity", log.lines.back());
  // 4094 still has room for the length of an empty group.
  off = 4094;
  EXPECT_EQ(0, payload_pack_list(kvlist_new(), buf, &off));
  EXPECT_EQ(4096u, off);
  // A node without entry is skipped and not counted.
  std::vector<Bytes> three;
  kvLinkedList* l = entries_list(3, 1, false, &three);
  kvpair_free(l->head->next->pair);
  l->head->next->pair = nullptr;
  off = 2;
  ASSERT_EQ(0, payload_pack_list(l, buf, &off));
  EXPECT_EQ(">>>kvPair is NULL", log.lines.back());
  EXPECT_EQ((three[0] + three[2]).size(), (size_t)(buf[2] | (buf[3] << 8)));
  EXPECT_EQ(three[0] + three[2], Bytes(buf + 4, buf + off));
}

// A list whose chosen cell has one payload bit flipped after creation.
kvLinkedList* damaged_list(int which) {
  kvLinkedList* l = nullptr;
  DataMsg* cells[3] = {cell_text("key", 0, 0), cell_text("value", 0, 0), cell_text("desc", 0, 0)};
  cells[which]->data[0] ^= 0x20;
  kvlist_append_desc(&l, cells[0], cells[1], cells[2]);
  return l;
}

TEST(RowPayloadDeathTest, DamagedCellsOrMissingValuesEndTheProcess) {
  uint8_t buf[kRowPayloadCapacity];
  const char* names[] = {"key", "value", "desc"};
  for (int which = 0; which < 3; ++which)
    EXPECT_EXIT(which ? payload_pack_row(kvlist_new(), damaged_list(which), buf)
                      : payload_pack_row(damaged_list(0), kvlist_new(), buf),
                ::testing::ExitedWithCode(1),
                std::string(">>>>>>>>>>>>>>>>>") + names[which] + " crc16 err!<<<<<<<<<<<<");
  EXPECT_EXIT(payload_pack_row(kvlist_new(), nullptr, buf), ::testing::ExitedWithCode(255),
              "!!!!!!!!!!!1Values i NULL1!!!!!!!!!!!!");
}

// A random cell of any type, 0..max_payload bytes where the type allows.
DataMsg* random_cell(std::mt19937& rng, uint32_t max_payload) {
  uint8_t bytes[4096];
  uint32_t n = max_payload ? rng() % (max_payload + 1) : 0;
  for (uint32_t i = 0; i < n; ++i) bytes[i] = (uint8_t)rng();
  uint8_t bg = (uint8_t)(rng() % 40), fg = (uint8_t)(rng() % 40);
  switch (rng() % 7) {
    case 0: return cell_word((uint8_t)(1 + rng() % kWordCount), bg, fg);
    case 1: return cell_create(n, bytes, D_STRING, bg, fg);
    case 2: return cell_u8((uint8_t)rng(), bg, fg);
    case 3: return cell_u16((uint16_t)rng(), bg, fg);
    case 4: return cell_u32((uint32_t)rng(), bg, fg);
    case 5: return cell_hex(bytes, n, bg, fg);
    default: return cell_create(0, nullptr, D_NULL, bg, fg);
  }
}

// Concatenates the cells of read entries back into bytes per entry.
std::vector<Bytes> entries_of(const PayloadGroup& g, int with_desc, int* complete) {
  std::vector<PayloadEntry> e(2048);
  uint32_t n = payload_group_entries(&g, with_desc, e.data(), (uint32_t)e.size(), complete);
  std::vector<Bytes> out;
  for (uint32_t i = 0; i < n; ++i)
    out.push_back(bytes_of(e[i].key) + bytes_of(e[i].value) + bytes_of(e[i].desc));
  return out;
}

// A row packed as it is built must come out as the packing of the same two
// lists: same bytes, and for an entry that does not fit the same cut and the
// same messages (up to cells too long for any payload).
TEST(RowPayload, PackedRowsMatchPackedLists) {
  std::mt19937 rng(7);
  uint8_t from_lists[kRowPayloadCapacity], from_row[kRowPayloadCapacity];
  PackedRow* row = new PackedRow;
  int cut_rows = 0;
  for (int round = 0; round < 600; ++round) {
    kvLinkedList* lists[2] = {nullptr, nullptr};
    packed_row_clear(row);
    uint32_t max_payload = round % 4 == 0 ? 4096 : round % 2 ? 700 : 12;
    for (int g = 0; g < 2; ++g) {
      for (uint32_t i = 0, n = 1 + rng() % (g ? 24 : 6); i < n; ++i) {
        DataMsg* k = random_cell(rng, max_payload);
        DataMsg* v = random_cell(rng, max_payload);
        packed_group_put(g ? &row->values : &row->infos, k, v);
        kvlist_append(&lists[g], k, v);
      }
    }
    LogCapture log_lists;
    uint32_t a = payload_pack_row(lists[0], lists[1], from_lists);
    std::vector<std::string> said = log_lists.lines;
    log_lists.lines.clear();
    uint32_t b = packed_row_finish(row, from_row);
    ASSERT_EQ(Bytes(from_lists, from_lists + a), Bytes(from_row, from_row + b)) << round;
    EXPECT_EQ(said, log_lists.lines) << round;
    cut_rows += from_row[0] != kRowPayloadMarker0;
  }
  delete row;
  EXPECT_GT(cut_rows, 100);
}

// Random lists come back entry by entry; the same payloads cut short and
// damaged at random, and pure noise, only hand out cells inside the payload.
TEST(RowPayload, RoundTripAndUnpackNeverReadsPastTheGivenLength) {
  LogCapture log;  // overflowing rows log; keep the test output quiet
  std::mt19937 rng(99);
  uint8_t buf[kRowPayloadCapacity];
  int round_trips = 0;
  for (int round = 0; round < 3000; ++round) {
    Bytes stored;
    PayloadView v;
    if (round % 4 == 3) {
      stored.resize(rng() % 64);
      for (auto& b : stored) b = (uint8_t)rng();
      if (stored.size() >= 2 && rng() % 2) stored[0] = 0xA5, stored[1] = 0x5A;
    } else {
      // Infos of up to 6 entries, Values of up to 12 described ones.
      kvLinkedList* lists[2] = {kvlist_new(), kvlist_new()};
      std::vector<Bytes> entries[2];
      uint32_t max = round % 3 ? 20 : 300;
      for (int g = 0; g < 2; ++g)
        for (uint32_t i = 0, n = rng() % (g ? 13 : 7); i < n; ++i)
          entries[g].push_back(add(&lists[g], random_cell(rng, max), random_cell(rng, max), g ? random_cell(rng, max) : nullptr));
      uint32_t n = payload_pack_row(lists[0], lists[1], buf);
      stored.assign(buf, buf + n);  // exactly sized: reading past it is caught under ASan
      int complete = 0;
      if (payload_unpack(stored.data(), n, &v) == 0) {
        ++round_trips;
        EXPECT_EQ(entries[0], entries_of(v.infos, 0, &complete));
        EXPECT_EQ(1, complete);
        EXPECT_EQ(entries[1], entries_of(v.values, 1, &complete));
        EXPECT_EQ(1, complete);
      }
      int flips = (int)(rng() % 3);
      for (int f = 0; f < flips && !stored.empty(); ++f) stored[rng() % stored.size()] ^= (uint8_t)(1 << (rng() % 8));
      if (rng() % 2 && !stored.empty()) stored.resize(rng() % stored.size());
    }
    const uint8_t *lo = stored.data(), *hi = lo + stored.size();
    payload_unpack(stored.empty() ? nullptr : lo, (uint32_t)stored.size(), &v);
    for (const PayloadGroup* g : {&v.infos, &v.values}) {
      for (int with_desc = 0; with_desc < 2; ++with_desc) {
        PayloadCursor cur;
        PayloadEntry e;
        payload_cursor_init(&cur, g, with_desc);
        int r;
        while ((r = payload_cursor_next(&cur, &e)) == 1) {
          for (const DataMsg* c : {e.key, e.value, e.desc}) {
            if (!c) continue;
            ASSERT_GE((const uint8_t*)c, lo);
            ASSERT_LE((const uint8_t*)c + cell_size(c), hi);
          }
        }
        if (r == -1) {
          EXPECT_EQ(-1, payload_cursor_next(&cur, &e));
        }
      }
    }
  }
  EXPECT_GT(round_trips, 1000);
}

}  // namespace
