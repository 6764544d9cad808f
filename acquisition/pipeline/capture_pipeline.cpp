// The decoding step and the transaction and transfer assembly.
#include "acquisition/pipeline/capture_pipeline.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "decode/data_parse.h"
#include "decode/loaded_packets.h"
#include "os/log.h"
#include "store/data_file.h"
#include "views/row_tree.h"

static const char kSpillName[] = "pending_rows.qelvo";

// Packet rows kept for one open transaction at most (a real one has three).
static const size_t kMaxPacketRows = 1024;

// Head of one parked row in the spill file.
#pragma pack(push, 1)
struct SpillHead {
  uint8_t level;   // 1: a transaction under the transfer, 2: one of its packets
  uint32_t flag;   // the row's attrFlag
  uint16_t length; // payload bytes that follow (1..4096)
};
#pragma pack(pop)

static kvLinkedList* take(kvLinkedList** field) {
  kvLinkedList* l = *field;
  *field = nullptr;
  return l;
}

// dst followed by src; either may be null. Consumes src.
static kvLinkedList* join(kvLinkedList* dst, kvLinkedList* src) {
  if (!dst) return src;
  if (!src) return dst;
  kvlist_concat(dst, src);
  kvlist_free(src);
  return dst;
}

CapturePipeline* pipeline_create(dataParse* decoder, RowTrees trees) {
  CapturePipeline* pl = new (std::nothrow) CapturePipeline();
  if (!pl) return nullptr;
  pl->decoder = decoder;
  pl->trees = trees;
  return pl;
}

static void free_packet_rows(CapturePipeline* pl) {
  for (PendingPacketRow& r : pl->packetRows) {
    kvlist_free(r.info);
    kvlist_free(r.value);
  }
  pl->packetRows.clear();
}

static void spill_discard(CapturePipeline* pl) {
  if (pl->spill && pl->spilledRows) datafile_reset(pl->spill);
  pl->spilledRows = 0;
}

void pipeline_forget(CapturePipeline* pl) {
  free_packet_rows(pl);
  kvlist_free(take(&pl->txKey));
  kvlist_free(take(&pl->stagedDetail));
  kvlist_free(take(&pl->transferKey));
  spill_discard(pl);
}

void pipeline_destroy(CapturePipeline* pl) {
  if (!pl) return;
  pipeline_forget(pl);
  if (pl->spill) datafile_close_delete(pl->spill);
  delete pl;
}

void pipeline_set_status(CapturePipeline* pl, pipeline_status_fn fn, void* user) {
  pl->status = fn;
  pl->statusUser = user;
}

// Moves the package, data and descriptor rows of the last call into their trees.
static void move_package_lists(CapturePipeline* pl) {
  dataParse* dp = pl->decoder;
  if (dp->rawPackageInfo) {
    if (!dp->rawPackageValue)
      orvane_log("DataParse->rawPackageInfo == NULL || DataParse->rawPackageValue == NULL");
    row_tree_append_par(pl->trees.package, take(&dp->rawPackageInfo), take(&dp->rawPackageValue),
                        dp->attrFlag);
    if (!dp->rawPackageParseInfo || !dp->rawPackageParseValue)
      orvane_log("DataParse->rawPackageParseInfo == NULL || DataParse->rawPackageParseValue == NULL");
    row_tree_append_sub(pl->trees.package, take(&dp->rawPackageParseInfo),
                        take(&dp->rawPackageParseValue), dp->attrFlag);
  }
  if (dp->capDataInfo) {
    if (!dp->capDataValue)
      orvane_log("DataParse->capDataInfo == NULL || DataParse->capDataValue == NULL");
    row_tree_append_par(pl->trees.data, take(&dp->capDataInfo), take(&dp->capDataValue),
                        dp->attrFlag);
  }
  kvListPair* node = dp->descriptorTables;
  dp->descriptorTables = nullptr;
  while (node) {
    kvListPair* next = node->next;
    if (!node->title || !node->table) orvane_log("current->title == NULL || current->table == NULL");
    row_tree_append_par(pl->trees.descriptor, node->title, node->table, 0);
    node->title = node->table = nullptr;
    node->next = nullptr;
    kvlistpair_free(node);
    node = next;
  }
}

// Takes the packet cells of the transaction view as the next packet row.
static void take_view_rows(CapturePipeline* pl) {
  dataParse* dp = pl->decoder;
  if (dp->viewPackageInfo && dp->viewPackageValue) {
    pl->rowFlag = dp->attrFlag;
    if (pl->packetRows.size() >= kMaxPacketRows) {
      // A transaction that never closes would keep every packet row; past
      // the bound its packets are shown in the package view only.
      kvlist_free(take(&dp->viewPackageInfo));
      kvlist_free(take(&dp->viewPackageValue));
      return;
    }
    pl->packetRows.push_back(
        PendingPacketRow{take(&dp->viewPackageInfo), take(&dp->viewPackageValue), dp->attrFlag});
  } else if (dp->viewPackageInfo) {
    orvane_log("DataParse->viewPackageInfo != NULL");
  } else if (dp->viewPackageValue) {
    orvane_log("DataParse->viewPackageValue != NULL");
  }
}

// The Infos and Values of the transaction that just closed (either may be null).
static void closed_transaction(CapturePipeline* pl, kvLinkedList** key, kvLinkedList** value) {
  dataParse* dp = pl->decoder;
  *key = join(take(&pl->txKey), take(&dp->transactionRange));
  *value = join(take(&pl->stagedDetail), take(&dp->transactionState));
}

// Packs one row into the spill file at `level`; 0, or -1 (row lost, logged).
static int spill_row(CapturePipeline* pl, int level, kvLinkedList* info, kvLinkedList* value,
                     uint32_t flag) {
  uint32_t len = row_tree_pack(info, value, pl->packBuf);
  if (!pl->spill) {
    pl->spill = datafile_create(kSpillName);
    if (!pl->spill) {
      orvane_log(">>>pipeline: cannot create %s; transfer rows are lost", kSpillName);
      return -1;
    }
  }
  SpillHead head{(uint8_t)level, flag, (uint16_t)len};
  if (len == 0 || len > 4096 ||
      datafile_append(pl->spill, &head, sizeof head) != sizeof head ||
      datafile_append(pl->spill, pl->packBuf, len) != len) {
    orvane_log(">>>pipeline: cannot park a transfer row");
    return -1;
  }
  pl->spilledRows++;
  return 0;
}

// Appends every parked row below the transfer row just appended, then
// empties the spill file.
static void spill_flush(CapturePipeline* pl, RowTree* tree) {
  if (!pl->spill || !pl->spilledRows) return;
  for (uint64_t i = 0; i < pl->spilledRows; i++) {
    SpillHead head;
    if (datafile_read(pl->spill, &head, sizeof head) != sizeof head) break;
    if (head.length == 0 || head.length > 4096 ||
        datafile_read(pl->spill, pl->packBuf, head.length) != head.length)
      break;
    row_tree_append_payload(tree, head.level, pl->packBuf, head.length, head.flag);
  }
  spill_discard(pl);
}

// The token that opened a transaction: its packet rows, when the same call
// also closed the one before, then its head and detail lists.
static void open_transaction(CapturePipeline* pl, uint32_t r, bool both) {
  dataParse* dp = pl->decoder;
  if (both) take_view_rows(pl);
  if (r & RESULT_TRANSACTION_STARTED) {
    kvlist_free(pl->txKey);
    kvlist_free(pl->stagedDetail);
    pl->txKey = take(&dp->transactionHeadInfo);
    pl->stagedDetail = take(&dp->transactionDetail);
  }
}

// Transaction assembly (no transfer): closed transactions become top-level
// rows of the transaction tree with their packets as children.
static void assemble_transactions(CapturePipeline* pl, uint32_t r) {
  bool both = (r & RESULT_TRANSACTION_STARTED) && (r & RESULT_TRANSACTION_ENDED);
  if (!both) take_view_rows(pl);
  if (r & RESULT_TRANSACTION_ENDED) {
    kvLinkedList *key, *value;
    closed_transaction(pl, &key, &value);
    if (key && value) {
      row_tree_append_par(pl->trees.transaction, key, value, pl->rowFlag);
      for (PendingPacketRow& row : pl->packetRows)
        row_tree_append_sub(pl->trees.transaction, row.info, row.value, row.flag);
      pl->packetRows.clear();
    } else {
      kvlist_free(key);
      kvlist_free(value);
      free_packet_rows(pl);
    }
  }
  open_transaction(pl, r, both);
}

// Transfer assembly: closed transactions wait (parked) for their transfer;
// the transfer row then takes them as children and their packets as
// grandchildren.
static void assemble_transfers(CapturePipeline* pl, uint32_t r) {
  dataParse* dp = pl->decoder;
  bool both = (r & RESULT_TRANSACTION_STARTED) && (r & RESULT_TRANSACTION_ENDED);
  if (!both) take_view_rows(pl);
  if (r & RESULT_TRANSACTION_ENDED) {
    kvLinkedList *key, *value;
    closed_transaction(pl, &key, &value);
    if (key && value) {
      spill_row(pl, 1, key, value, pl->rowFlag);
      for (PendingPacketRow& row : pl->packetRows) spill_row(pl, 2, row.info, row.value, row.flag);
      pl->packetRows.clear();
    } else {
      kvlist_free(key);
      kvlist_free(value);
      free_packet_rows(pl);
    }
  }
  // The ended transfer is emitted before a new one takes the key list (a
  // SETUP can end one transfer and begin the next in the same call).
  if (r & RESULT_TRANSFER_ENDED) {
    kvLinkedList* key = join(take(&pl->transferKey), take(&dp->transferRange));
    kvLinkedList* value = join(take(&dp->transferDetail), take(&dp->transferState));
    if (key && value) {
      row_tree_append_par(pl->trees.transaction, key, value, pl->rowFlag & 0xFFFF0000u);
      spill_flush(pl, pl->trees.transaction);
    } else {
      kvlist_free(key);
      kvlist_free(value);
      spill_discard(pl);
    }
  }
  // A continuing transfer reports itself active without a new head: the
  // key list of the one in progress must stay.
  if ((r & RESULT_TRANSFER_ACTIVE) && dp->transferHead) {
    kvlist_free(pl->transferKey);
    pl->transferKey = take(&dp->transferHead);
  }
  open_transaction(pl, r, both);
}

// Builds the transaction or transfer rows a decoder result asks for.
static void assemble(CapturePipeline* pl, uint32_t r) {
  if (r & RESULT_NO_TRANSFER)
    assemble_transactions(pl, r & 0x7F);
  else
    assemble_transfers(pl, r & 0x7F);
}

void pipeline_decode_packet(CapturePipeline* pl, const uint8_t* bytes, int32_t length,
                            uint64_t timestamp, int record) {
  dataParse* dp = pl->decoder;
  pl->packetsIn++;
  if (record) dp->recordRawPackage(bytes, length, timestamp);
  for (;;) {
    uint32_t r = dp->parsePackage(bytes, length, timestamp);
    move_package_lists(pl);
    if ((r & 0xFF) == 0) return;
    if (pl->status) {
      char text[128];
      snprintf(text, sizeof text, "parsePackage: %u", dp->packageCount());
      pl->status(text, pl->statusUser);
    }
    assemble(pl, r);
    if (!(r & RESULT_CALL_AGAIN)) return;
  }
}

void pipeline_finish(CapturePipeline* pl) {
  dataParse* dp = pl->decoder;
  uint32_t r;
  while (dp->flushOne(&r)) {
    move_package_lists(pl);
    if (r & 0xFF) assemble(pl, r);
  }
  r = dp->closeOpen();
  if (r & 0xFF) assemble(pl, r);
}

uint64_t pipeline_replay_loaded(CapturePipeline* pl, const volatile uint8_t* abort) {
  enum { kReplayBufferSize = 4104 };
  uint8_t buf[kReplayBufferSize];
  pl->decoder->reset();
  // Rows still under construction belong to the trace before (its views
  // were cleared for the replay); kept, they would join the first rows.
  pl->decoder->freeOutputLists();
  pipeline_forget(pl);
  uint64_t done = 0;
  size_t count = loaded_packets_count();
  for (size_t i = 0; i < count && !(abort && *abort); i++) {
    uint32_t length = 0;
    uint64_t timestamp = 0;
    int64_t copied = loaded_packets_copy(i, buf, sizeof buf, &length, &timestamp);
    if (copied < 0) break;
    if ((uint64_t)copied < length) {
      orvane_log("unknow data[%u]: longer than the replay buffer (%d bytes), skipped", length,
                 (int)kReplayBufferSize);
      continue;
    }
    pipeline_decode_packet(pl, buf, (int32_t)length, timestamp, 0);
    done++;
  }
  return done;
}
