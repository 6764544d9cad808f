// The decoding step and the transaction and transfer assembly, on the
// caller's thread: every row is packed here and handed to the storing thread
// as a record (row_records.h), in the order the rows were built.
#include "acquisition/pipeline/capture_pipeline.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "acquisition/pipeline/capture_data.h"
#include "acquisition/pipeline/row_queue.h"
#include "acquisition/pipeline/row_records.h"
#include "decode/cells/attr_flag.h"
#include "decode/cells/packed_row.h"
#include "decode/data_parse.h"
#include "os/log.h"
#include "store/capture/loaded_packets.h"
#include "store/file_writer.h"
#include "store/store_files.h"
#include "views/row_tree.h"

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

static RowTree* tree_of(CapturePipeline* pl, uint8_t tree) {
  switch (tree) {
    case RECORD_TREE_PACKAGE: return pl->trees.package;
    case RECORD_TREE_TRANSACTION: return pl->trees.transaction;
    case RECORD_TREE_DATA: return pl->trees.data;
    default: return pl->trees.descriptor;
  }
}

// The record's header, written field by field into the queue: built as one
// aggregate on the stack, it was stored in pieces and read back whole, a
// stall on every row.
static inline void put_record(uint8_t* at, uint8_t kind, uint8_t tree, uint8_t level,
                              uint32_t attr, uint32_t generation, uint32_t length) {
  at[offsetof(RowRecord, kind)] = kind;
  at[offsetof(RowRecord, tree)] = tree;
  at[offsetof(RowRecord, level)] = level;
  at[offsetof(RowRecord, reserved)] = 0;
  memcpy(at + offsetof(RowRecord, attr), &attr, sizeof attr);
  memcpy(at + offsetof(RowRecord, generation), &generation, sizeof generation);
  memcpy(at + offsetof(RowRecord, length), &length, sizeof length);
}

// Packs a row (consuming both lists) and hands it over as a record.
static void emit_row(CapturePipeline* pl, uint8_t kind, uint8_t tree, uint8_t level,
                     kvLinkedList* infos, kvLinkedList* values, uint32_t attr) {
  uint8_t* at = rowqueue_reserve(pl->queue, sizeof(RowRecord) + kRowBufSize);
  uint32_t generation = row_tree_generation(tree_of(pl, tree));
  uint32_t length = row_tree_pack(infos, values, at + sizeof(RowRecord));
  put_record(at, kind, tree, level, attr, generation, length);
  rowqueue_commit(pl->queue, (uint32_t)sizeof(RowRecord) + length);
}

// Hands over a row that the decoder packed as it built it, and empties it.
static void emit_packed(CapturePipeline* pl, uint8_t kind, uint8_t tree, uint8_t level,
                        PackedRow* row, uint32_t attr) {
  uint8_t* at = rowqueue_reserve(pl->queue, sizeof(RowRecord) + kRowBufSize);
  uint32_t generation = row_tree_generation(tree_of(pl, tree));
  uint32_t length = packed_row_finish(row, at + sizeof(RowRecord));
  put_record(at, kind, tree, level, attr, generation, length);
  rowqueue_commit(pl->queue, (uint32_t)sizeof(RowRecord) + length);
  packed_row_clear(row);
}

// Hands over a record without a row.
static void emit_mark(CapturePipeline* pl, uint8_t kind) {
  uint8_t* at = rowqueue_reserve(pl->queue, sizeof(RowRecord));
  put_record(at, kind, RECORD_TREE_TRANSACTION, 0, 0, 0, 0);
  rowqueue_commit(pl->queue, sizeof(RowRecord));
}

// A row needs both lists: a missing one is an internal error that ends the
// program, as the row model's own check always did.
static void require_both(const void* infos, const void* values, const char* message) {
  if (infos && values) return;
  orvane_log("%s", message);
  exit(-1);
}

// A top-level row of `tree` built from two of the decoder's lists.
static void emit_top(CapturePipeline* pl, uint8_t tree, kvLinkedList* infos, kvLinkedList* values,
                     uint32_t attr) {
  require_both(infos, values, "appendRowPar_KV_P Infos == NULL || Values == NULL");
  emit_row(pl, RECORD_ROW, tree, 0, infos, values, attr);
}

CapturePipeline* pipeline_create(dataParse* decoder, RowTrees trees, uint32_t queue_bytes,
                                 uint64_t cache_keep, uint64_t cache_after) {
  CapturePipeline* pl = new (std::nothrow) CapturePipeline();
  if (!pl) return nullptr;
  pl->decoder = decoder;
  pl->trees = trees;
  pl->queue = rowqueue_create(queue_bytes ? queue_bytes : kPipelineQueueBytes);
  RowTree* byRecord[kRecordTreeCount] = {trees.package, trees.transaction, trees.data,
                                         trees.descriptor};
  if (!pl->queue || row_storer_start(&pl->storer, pl->queue, byRecord, &pl->failure) != 0) {
    rowqueue_destroy(pl->queue);
    delete pl;
    return nullptr;
  }
  // The storing thread shows rows once per batch, not once per row, and
  // leaves the writing of the files to a thread of their own (the other
  // processor's time when the decoding waits for it); the rows made for
  // every packet come packed from the decoder.
  pl->writer = file_writer_start(cache_keep, cache_after);
  for (RowTree* t : byRecord) {
    if (!t) continue;
    row_tree_defer_publish(t, true);
    if (pl->writer) row_tree_set_writer(t, pl->writer);
  }
  if (decoder) decoder->packRowsAsBuilt(true);
  return pl;
}

static void forget_lists(CapturePipeline* pl) {
  kvlist_free(take(&pl->txKey));
  kvlist_free(take(&pl->stagedDetail));
  kvlist_free(take(&pl->transferKey));
  pl->packetRows = 0;
}

void pipeline_forget(CapturePipeline* pl) {
  forget_lists(pl);
  emit_mark(pl, RECORD_FORGET);
  rowqueue_flush(pl->queue);
}

void pipeline_destroy(CapturePipeline* pl) {
  if (!pl) return;
  forget_lists(pl);
  row_storer_stop(&pl->storer);
  if (pl->decoder) {
    pl->decoder->freeOutputLists();
    pl->decoder->packRowsAsBuilt(false);
  }
  for (RowTree* t :
       {pl->trees.package, pl->trees.transaction, pl->trees.data, pl->trees.descriptor}) {
    if (!t) continue;
    row_tree_set_writer(t, nullptr);
    row_tree_defer_publish(t, false);
  }
  file_writer_stop(pl->writer);
  rowqueue_destroy(pl->queue);
  capture_data_close(pl);
  delete pl;
}

void pipeline_set_status(CapturePipeline* pl, pipeline_status_fn fn, void* user) {
  pl->status = fn;
  pl->statusUser = user;
}

void pipeline_sync(CapturePipeline* pl) { row_storer_sync(&pl->storer); }

uint64_t pipeline_storing_cpu_ns(CapturePipeline* pl) {
  return pl->storer.cpuNs.load(std::memory_order_relaxed) + file_writer_cpu_ns(pl->writer);
}

const char* pipeline_failure(CapturePipeline* pl) {
  return pl->failure.set.load(std::memory_order_acquire) ? pl->failure.text : nullptr;
}

// The package row and its detail row, packed as they were built.
static void move_packed_package_rows(CapturePipeline* pl) {
  dataParse* dp = pl->decoder;
  PackedRow* top = dp->packedTop;
  PackedRow* sub = dp->packedSub;
  if (!packed_group_used(&top->infos)) return;
  bool values = packed_group_used(&top->values);
  if (!values)
    orvane_log("DataParse->rawPackageInfo == NULL || DataParse->rawPackageValue == NULL");
  require_both(top, values ? top : nullptr, "appendRowPar_KV_P Infos == NULL || Values == NULL");
  emit_packed(pl, RECORD_ROW, RECORD_TREE_PACKAGE, 0, top, dp->attrFlag);
  bool both = packed_group_used(&sub->infos) && packed_group_used(&sub->values);
  if (!both)
    orvane_log("DataParse->rawPackageParseInfo == NULL || DataParse->rawPackageParseValue == NULL");
  require_both(sub, both ? sub : nullptr, "appendRowSub_KV_P Infos == NULL || Values == NULL");
  emit_packed(pl, RECORD_ROW, RECORD_TREE_PACKAGE, 1, sub, dp->attrFlag);
}

// Moves the package, data and descriptor rows of the last call into their trees.
static void move_package_lists(CapturePipeline* pl) {
  dataParse* dp = pl->decoder;
  if (dp->packedTop) {
    move_packed_package_rows(pl);
  } else if (dp->rawPackageInfo) {
    if (!dp->rawPackageValue)
      orvane_log("DataParse->rawPackageInfo == NULL || DataParse->rawPackageValue == NULL");
    emit_top(pl, RECORD_TREE_PACKAGE, take(&dp->rawPackageInfo), take(&dp->rawPackageValue),
             dp->attrFlag);
    if (!dp->rawPackageParseInfo || !dp->rawPackageParseValue)
      orvane_log("DataParse->rawPackageParseInfo == NULL || DataParse->rawPackageParseValue == NULL");
    require_both(dp->rawPackageParseInfo, dp->rawPackageParseValue,
                 "appendRowSub_KV_P Infos == NULL || Values == NULL");
    emit_row(pl, RECORD_ROW, RECORD_TREE_PACKAGE, 1, take(&dp->rawPackageParseInfo),
             take(&dp->rawPackageParseValue), dp->attrFlag);
  }
  if (dp->capDataInfo) {
    if (!dp->capDataValue)
      orvane_log("DataParse->capDataInfo == NULL || DataParse->capDataValue == NULL");
    emit_top(pl, RECORD_TREE_DATA, take(&dp->capDataInfo), take(&dp->capDataValue), dp->attrFlag);
  }
  kvListPair* node = dp->descriptorTables;
  dp->descriptorTables = nullptr;
  while (node) {
    kvListPair* next = node->next;
    if (!node->title || !node->table) orvane_log("current->title == NULL || current->table == NULL");
    emit_top(pl, RECORD_TREE_DESCRIPTOR, node->title, node->table, 0);
    node->title = node->table = nullptr;
    node->next = nullptr;
    kvlistpair_free(node);
    node = next;
  }
}

// take_view_rows for a packet row packed as it was built.
static void take_packed_view_row(CapturePipeline* pl) {
  dataParse* dp = pl->decoder;
  PackedRow* view = dp->packedView;
  bool infos = packed_group_used(&view->infos), values = packed_group_used(&view->values);
  if (infos && values) {
    pl->rowFlag = dp->attrFlag;
    if (pl->packetRows >= kMaxPacketRows) {
      packed_row_clear(view);  // see take_view_rows
      return;
    }
    emit_packed(pl, RECORD_PACKET_ROW, RECORD_TREE_TRANSACTION, 2, view, dp->attrFlag);
    pl->packetRows++;
  } else if (infos) {
    orvane_log("DataParse->viewPackageInfo != NULL");
  } else if (values) {
    orvane_log("DataParse->viewPackageValue != NULL");
  }
}

// Takes the packet cells of the transaction view as the next packet row.
static void take_view_rows(CapturePipeline* pl) {
  dataParse* dp = pl->decoder;
  if (dp->packedView) {
    take_packed_view_row(pl);
  } else if (dp->viewPackageInfo && dp->viewPackageValue) {
    pl->rowFlag = dp->attrFlag;
    if (pl->packetRows >= kMaxPacketRows) {
      // A transaction that never closes would keep every packet row; past
      // the bound its packets are shown in the package view only.
      kvlist_free(take(&dp->viewPackageInfo));
      kvlist_free(take(&dp->viewPackageValue));
      return;
    }
    emit_row(pl, RECORD_PACKET_ROW, RECORD_TREE_TRANSACTION, 2, take(&dp->viewPackageInfo),
             take(&dp->viewPackageValue), dp->attrFlag);
    pl->packetRows++;
  } else if (dp->viewPackageInfo) {
    orvane_log("DataParse->viewPackageInfo != NULL");
  } else if (dp->viewPackageValue) {
    orvane_log("DataParse->viewPackageValue != NULL");
  }
}

// The transaction that just closed: a row of `kind` when both of its lists
// are there, else its packet rows are dropped.
static void close_transaction(CapturePipeline* pl, uint8_t kind) {
  dataParse* dp = pl->decoder;
  kvLinkedList* key = join(take(&pl->txKey), take(&dp->transactionRange));
  kvLinkedList* value = join(take(&pl->stagedDetail), take(&dp->transactionState));
  if (key && value) {
    emit_row(pl, kind, RECORD_TREE_TRANSACTION, 0, key, value, pl->rowFlag);
  } else {
    kvlist_free(key);
    kvlist_free(value);
    emit_mark(pl, RECORD_DROP_PACKETS);
  }
  pl->packetRows = 0;
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
  if (r & RESULT_TRANSACTION_ENDED) close_transaction(pl, RECORD_TRANSACTION);
  open_transaction(pl, r, both);
}

// Transfer assembly: closed transactions wait (parked) for their transfer;
// the transfer row then takes them as children and their packets as
// grandchildren.
static void assemble_transfers(CapturePipeline* pl, uint32_t r) {
  dataParse* dp = pl->decoder;
  bool both = (r & RESULT_TRANSACTION_STARTED) && (r & RESULT_TRANSACTION_ENDED);
  if (!both) take_view_rows(pl);
  if (r & RESULT_TRANSACTION_ENDED) close_transaction(pl, RECORD_TRANSFER_STEP);
  // The ended transfer is emitted before a new one takes the key list (a
  // SETUP can end one transfer and begin the next in the same call).
  if (r & RESULT_TRANSFER_ENDED) {
    kvLinkedList* key = join(take(&pl->transferKey), take(&dp->transferRange));
    kvLinkedList* value = join(take(&dp->transferDetail), take(&dp->transferState));
    if (key && value) {
      emit_row(pl, RECORD_TRANSFER, RECORD_TREE_TRANSACTION, 0, key, value,
               pl->rowFlag & ATTR_DEVICE_MASK);
    } else {
      kvlist_free(key);
      kvlist_free(value);
      emit_mark(pl, RECORD_DROP_TRANSFER);
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
    assemble_transactions(pl, r & RESULT_ROWS_MASK);
  else
    assemble_transfers(pl, r & RESULT_ROWS_MASK);
}

// Rows handed to the storing thread at once: some tens of packets' worth at
// full speed, so the handing over no longer shows in the decoding's time.
constexpr uint32_t kHandOverBytes = 16u << 10;

void pipeline_decode_packet(CapturePipeline* pl, const uint8_t* bytes, int32_t length,
                            uint64_t timestamp, int record) {
  dataParse* dp = pl->decoder;
  pl->packetsIn++;
  if (record) capture_data_record(pl, bytes, length, timestamp);
  for (;;) {
    uint32_t r = dp->parsePackage(bytes, length, timestamp);
    move_package_lists(pl);
    if ((r & RESULT_MASK) == 0) break;
    if (pl->status) {
      char text[128];
      snprintf(text, sizeof text, "parsePackage: %u", dp->packageCount());
      pl->status(text, pl->statusUser);
    }
    assemble(pl, r);
    if (!(r & RESULT_CALL_AGAIN)) break;
  }
  rowqueue_flush_batch(pl->queue, kHandOverBytes);
}

void pipeline_flush(CapturePipeline* pl) { rowqueue_flush(pl->queue); }

void pipeline_finish(CapturePipeline* pl) {
  dataParse* dp = pl->decoder;
  uint32_t r;
  while (dp->flushOne(&r)) {
    move_package_lists(pl);
    if (r & RESULT_MASK) assemble(pl, r);
  }
  r = dp->closeOpen();
  if (r & RESULT_MASK) assemble(pl, r);
  pipeline_sync(pl);
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
  pipeline_sync(pl);
  return done;
}
