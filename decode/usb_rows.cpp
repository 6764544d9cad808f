// The cells of every decoded packet, transaction and transfer. Each list gets
// cells of its own (a list owns its cells), so a field shown in three places
// is built three times.
#include "decode/usb_rows.h"

#include <cstdio>
#include <cstring>

#include "decode/cells/attr_flag.h"
#include "decode/cells/cell_pool.h"
#include "decode/cells/packed_row.h"
#include "decode/data_parse.h"
#include "decode/descriptor_decoder.h"
#include "decode/usb_packet.h"
#include "os/log.h"

void rows_add(kvLinkedList** list, DataMsg* key, DataMsg* value) {
  if (kvlist_append(list, key, value) != 0) {
    cell_free(key);
    cell_free(value);
  }
}

// Where the entries of one of the decoder's lists go: the list, or the group
// of a row packed as it is built (dataParse::packRowsAsBuilt).
struct RowSink {
  kvLinkedList** list;
  PackedGroup* packed;
};

// The sink of list `list`, or of group `group` of `row` when rows are packed
// as they are built.
static RowSink sink_of(kvLinkedList** list, PackedRow* row, bool infos) {
  if (!row) return RowSink{list, nullptr};
  return RowSink{nullptr, infos ? &row->infos : &row->values};
}

// rows_add for a sink: the cells are consumed either way.
static void sink_add(RowSink s, DataMsg* key, DataMsg* value) {
  if (s.packed)
    packed_group_add(s.packed, key, value);
  else
    rows_add(s.list, key, value);
}

// sink_add with a value cell made for it: written straight into a packed
// group (no cell of its own), else made with cell_create.
static void sink_add_new(RowSink s, DataMsg* key, uint32_t n, const void* payload, uint8_t type) {
  if (s.packed) {
    packed_group_put_new(s.packed, key, n, payload, type, 0, 0);
    cell_free(key);
  } else {
    rows_add(s.list, key, cell_create(n, payload, type, 0, 0));
  }
}

// sink_add of cell_u32(v, 0, 0).
static void sink_add_u32(RowSink s, DataMsg* key, uint32_t v) {
  uint8_t le[4] = {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
  sink_add_new(s, key, 4, le, D_U32);
}

// sink_add of the time text cell of `ns`.
static void sink_add_time(RowSink s, DataMsg* key, uint64_t ns) {
  char buf[64];
  const char* text = usb_time_text(ns, buf, sizeof buf);
  sink_add_new(s, key, (uint32_t)strlen(text), text, D_STRING);
}

// The sinks of the rows made for every packet.
static RowSink top_infos(dataParse* dp) {
  return sink_of(&dp->rawPackageInfo, dp->packedTop, true);
}
static RowSink top_values(dataParse* dp) {
  return sink_of(&dp->rawPackageValue, dp->packedTop, false);
}
static RowSink sub_infos(dataParse* dp) {
  return sink_of(&dp->rawPackageParseInfo, dp->packedSub, true);
}
static RowSink sub_values(dataParse* dp) {
  return sink_of(&dp->rawPackageParseValue, dp->packedSub, false);
}
static RowSink view_infos(dataParse* dp) {
  return sink_of(&dp->viewPackageInfo, dp->packedView, true);
}
static RowSink view_values(dataParse* dp) {
  return sink_of(&dp->viewPackageValue, dp->packedView, false);
}

// A copy of a cell, CRC included: the same field shown in several lists is
// built once and copied, rather than built (and its CRC computed) again. A
// kept template is shared as it is.
static DataMsg* cell_copy(const DataMsg* c) {
  if (!c) return nullptr;
  if (cell_pool_is_kept(c)) return (DataMsg*)c;
  size_t n = cell_size(c);
  DataMsg* d = (DataMsg*)cell_pool_alloc(n);
  if (d) cell_bytes_copy(d, c, n);
  return d;
}

// One-byte cells (words, PIDs, small numbers) in their colours repeat all
// the time: each is built once and kept for the life of the process, and
// every list that shows it points to that one block. A cell never changes
// once built (its CRC would no longer match), and freeing a kept block does
// nothing, so sharing it is safe on any thread.
static DataMsg* cached_cell_slow(uint64_t key, uint8_t type, uint8_t byte, uint8_t bg,
                                 uint8_t text) {
  enum { kSlots = 2048 };
  static uint64_t keys[kSlots];
  static DataMsg* cells[kSlots];
  uint32_t i = (uint32_t)((key * 0x9E3779B97F4A7C15ull) >> 53);
  for (uint32_t probe = 0; probe < 64; probe++, i = (i + 1) % kSlots) {
    if (keys[i] == key) return cells[i];
    if (keys[i] == 0) {
      DataMsg* made = cell_create(1, &byte, type, bg, text);
      // Packing trusts a kept cell from now on: it is checked this once.
      if (!made || !cell_crc_ok(made, cell_size(made))) return nullptr;
      cell_pool_keep(made);
      keys[i] = key;
      cells[i] = made;
      return made;
    }
  }
  return cell_create(1, &byte, type, bg, text);  // crowded: build it
}

static DataMsg* cached_cell(uint8_t type, uint8_t byte, uint8_t bg, uint8_t text) {
  // A direct-mapped front for the few dozen cells that repeat in every
  // packet (one decoding thread at a time, like the table behind it).
  enum { kFront = 1024 };
  struct Front {
    uint64_t key;
    DataMsg* cell;
  };
  static Front front[kFront];
  uint64_t key = 1ull | ((uint64_t)type << 8) | ((uint64_t)byte << 16) | ((uint64_t)bg << 24) |
                 ((uint64_t)text << 32);
  Front& f = front[(byte ^ ((uint32_t)bg << 2) ^ ((uint32_t)text << 4) ^ ((uint32_t)type << 7)) &
                   (kFront - 1)];
  if (f.key == key) return f.cell;
  DataMsg* c = cached_cell_slow(key, type, byte, bg, text);
  if (c && cell_pool_is_kept(c)) f = Front{key, c};
  return c;
}

static DataMsg* word(uint8_t w, uint8_t bg = 0, uint8_t text = 0) {
  return cached_cell(D_WORD, w, bg, text);
}

// The kept cell of a word in fixed colours, found once for each place that
// shows it rather than in every packet (one decoding thread at a time, like
// the cache behind it).
template <uint8_t W, uint8_t BG = 0, uint8_t TEXT = 0>
static DataMsg* kept_word() {
  static DataMsg* cell = nullptr;
  if (!cell) cell = word(W, BG, TEXT);
  return cell;
}

static DataMsg* u8_cell(uint8_t v) { return cached_cell(D_U8, v, 0, 0); }

static DataMsg* time_cell(uint64_t ns) {
  char buf[64];
  return cell_text(usb_time_text(ns, buf, sizeof buf), 0, 0);
}

// Writes v as "%d" of a signed 32-bit number at p; returns the characters written.
static size_t put_int(char* p, uint32_t u) {
  int32_t v = (int32_t)u;
  size_t n = 0;
  uint32_t mag = (uint32_t)v;
  if (v < 0) {
    p[n++] = '-';
    mag = 0u - mag;
  }
  char digits[12];
  int k = 0;
  do {
    digits[k++] = (char)('0' + mag % 10);
    mag /= 10;
  } while (mag);
  while (k) p[n++] = digits[--k];
  return n;
}

static DataMsg* range_cell(uint32_t first, uint32_t last) {
  char buf[48];
  size_t n = put_int(buf, first);
  memcpy(buf + n, " ~ ", 3);
  n += 3;
  n += put_int(buf + n, last);
  return cell_create((uint32_t)n, buf, D_STRING, 0, 0);
}

static DataMsg* data_len_key(uint32_t len) {
  char buf[48];
  memcpy(buf, "Data (", 6);
  size_t n = 6 + put_int(buf + 6, len);
  memcpy(buf + n, " tytes)", 7);
  n += 7;
  return cell_create((uint32_t)n, buf, D_STRING, COLOR_DATA, 0);
}

static DataMsg* pid_cell(uint8_t pid) { return cached_cell(D_HEX, pid, 0, 0); }

// The kind key of a PID: its word in its colours.
static DataMsg* kind_key(uint8_t pid) {
  const UsbPidInfo* info = usb_pid_info(pid);
  return word(info->word, info->keyBg, info->keyText);
}

static bool shows_view(uint8_t pid) { return pid == PID_SETUP || pid == PID_IN || pid == PID_OUT; }

static uint16_t token_field(const TokenSlot* t) { return (uint16_t)(t->bytes[1] | (t->bytes[2] << 8)); }
static uint8_t token_address(const TokenSlot* t) { return token_field(t) & 0x7F; }
static uint8_t token_endpoint(const TokenSlot* t) { return (token_field(t) >> 7) & 0x0F; }

// The field rows of a token; `crc` adds the Crc5 row.
static void token_fields(RowSink list, const TokenSlot* t, bool crc) {
  uint8_t pid = t->pid;
  uint16_t field = token_field(t);
  if (pid == PID_SPLIT) {
    // The bus sends each field least significant bit first, so the byte after
    // the PID holds the hub address in bits 0..6 and SC in bit 7 (0 = start).
    uint8_t b1 = t->bytes[1], b2 = t->bytes[2], b3 = t->bytes[3];
    bool start = (b1 & 0x80) == 0;
    sink_add(list, word(start ? W_SSPLIT : W_CSPLIT, COLOR_OUT), pid_cell(pid));
    sink_add(list, kept_word<W_HUBADDR>(), u8_cell(b1 & 0x7F));
    sink_add(list, kept_word<W_PORT, COLOR_SPLIT_PORT>(), u8_cell(b2 & 0x7F));
    sink_add(list, kept_word<W_S, COLOR_SPLIT_S>(), u8_cell(b2 >> 7));
    sink_add(list, word(start ? W_E : W_U, COLOR_SPLIT_EU), u8_cell(b3 & 1));
    sink_add(list, kept_word<W_ET, COLOR_SPLIT_ET>(), u8_cell((b3 >> 1) & 3));
    if (crc) {
      uint8_t c = b3 >> 3;
      sink_add(list, kept_word<W_CRC5>(), cached_cell(D_HEX, c, 0, 0));
    }
    return;
  }
  if (pid == PID_SOF) {
    sink_add(list, kept_word<W_SOF, COLOR_SOF>(), pid_cell(pid));
    sink_add(list, kept_word<W_FRAME>(), cell_u16(field & 0x7FF, 0, 0));
  } else {
    sink_add(list, kind_key(pid), pid_cell(pid));
    sink_add(list, kept_word<W_ADDR>(), u8_cell(field & 0x7F));
    sink_add(list, kept_word<W_POINT, COLOR_POINT>(), u8_cell((field >> 7) & 0x0F));
  }
  if (crc) {
    uint8_t c = (uint8_t)(field >> 11);
    sink_add(list, kept_word<W_CRC5>(), cached_cell(D_HEX, c, 0, 0));
  }
}

void rows_token(dataParse* dp) {
  const TokenSlot* t = &dp->token;
  if (usb_pid_info(t->pid)->cls != PID_CLASS_TOKEN) {
    orvane_log(">>>err:invalide token!!!");
    return;
  }
  bool view = shows_view(t->pid);
  sink_add(sub_infos(dp), kept_word<W_TYPE, COLOR_TYPE>(), kept_word<W_TOKEN>());
  if (view) {
    sink_add_u32(view_infos(dp), kept_word<W_PACKAGE, COLOR_PACKAGE, COLOR_DARK_TEXT>(), t->number);
    sink_add(view_infos(dp), kept_word<W_DIR, COLOR_DIR>(), kept_word<W_DOWN>());
    token_fields(view_values(dp), t, true);
    if (dp->transaction.open) token_fields(RowSink{&dp->transactionDetail, nullptr}, t, false);
  }
  token_fields(sub_values(dp), t, true);
  sink_add_u32(top_infos(dp), kept_word<W_PACKAGE, COLOR_PACKAGE, COLOR_DARK_TEXT>(), t->number);
  sink_add_time(top_infos(dp), kept_word<W_TIMESTAMP, COLOR_TIMESTAMP>(), t->timestamp);
  sink_add(top_values(dp), kept_word<W_TOKEN, COLOR_TOKEN>(), word(usb_pid_info(t->pid)->word));
  sink_add_new(top_values(dp), kept_word<W_RAW, COLOR_RAW, COLOR_DARK_TEXT>(), t->pid == PID_SPLIT ? 4 : 3, t->bytes,
               D_HEX);
}

// The cells of a data packet, built once per packet. Each list gets a copy,
// except the last list to use a cell, which takes the cell itself.
struct DataCells {
  DataMsg* kind;     // kind word in its colours
  DataMsg* pid;      // the PID byte
  DataMsg* lenKey;   // "Data (%d tytes)"
  DataMsg* payload;  // the payload bytes
  DataMsg* crcKey;   // "Crc16"
  DataMsg* crc;      // the received CRC bytes
  int kindUses;      // lists still to receive kind and pid
  int dataUses;      // lists still to receive lenKey and payload
  int crcUses;       // lists still to receive crcKey and crc
};

static void data_cells_build(DataCells* c, const DataSlot* d) {
  uint32_t n = (uint32_t)d->length - 3;
  c->kind = kind_key(d->pid);
  c->pid = pid_cell(d->pid);
  c->lenKey = data_len_key(n);
  c->payload = cell_hex(d->bytes + 1, n, 0, 0);
  c->crcKey = kept_word<W_CRC16>();
  c->crc = cell_hex(d->bytes + d->length - 2, 2, 0, 0);
}

static void data_cells_free(DataCells* c) {
  DataMsg* all[] = {c->kind, c->pid, c->lenKey, c->payload, c->crcKey, c->crc};
  for (DataMsg* m : all) cell_free(m);
}

// The cell for one more list: a copy, or the cell itself for its last use.
static DataMsg* data_cell_use(DataMsg** cell, bool last) {
  if (!last) return cell_copy(*cell);
  DataMsg* c = *cell;
  *cell = nullptr;
  return c;
}

// One entry of two shared cells: a packed group copies them (no copy of the
// cells is made for it), a list takes copies or, at the last use, the cells.
static void data_entry(RowSink s, DataMsg** key, DataMsg** value, bool last) {
  if (s.packed) {
    packed_group_put(s.packed, *key, *value);
    if (last) {
      cell_free(*key);
      cell_free(*value);
      *key = *value = nullptr;
    }
    return;
  }
  DataMsg* k = data_cell_use(key, last);
  rows_add(s.list, k, data_cell_use(value, last));
}

// The kind, payload and CRC cells of the data slot; `all` adds the Crc16 row.
static void data_cells(RowSink list, DataCells* c, bool all) {
  data_entry(list, &c->kind, &c->pid, --c->kindUses == 0);
  data_entry(list, &c->lenKey, &c->payload, --c->dataUses == 0);
  if (all) data_entry(list, &c->crcKey, &c->crc, --c->crcUses == 0);
}

static bool is_setup_request(const SetupPacket* s) {
  return ((s->bmRequestType >> 5) & 3) == 0 && (s->bRequest == 6 || s->bRequest == 7);
}

// Bulk, interrupt and isochronous transfers: they end with a short packet,
// and their detail row names the token.
static bool ends_short(uint8_t type) {
  return type == TRANSFER_TYPE_ISOCHRONOUS || type == TRANSFER_TYPE_BULK ||
         type == TRANSFER_TYPE_INTERRUPT;
}

// The detail cells of a transfer completed with data in its buffer.
static void transfer_detail(dataParse* dp) {
  TransferRecord* tr = &dp->transfer;
  if (!tr->buffer) return;  // no reassembly buffer: nothing was kept
  uint32_t kept = tr->fillCount < (uint32_t)kReassemblyBufferSize ? tr->fillCount
                                                                  : (uint32_t)kReassemblyBufferSize;
  if (tr->entry.transferType == TRANSFER_TYPE_CONTROL && is_setup_request(&dp->setupPacket) &&
      tr->fillCount == tr->expectedLength) {
    if (descriptors_walk(tr->buffer, kept, &dp->setupPacket, token_address(&dp->token),
                         &dp->endpointTable, &dp->descriptorTables))
      return;
  }
  if (ends_short(tr->entry.transferType)) {
    const TokenSlot* t = &dp->token;
    // Here the kind word is a plain label, unlike the token's own field rows.
    rows_add(&dp->transferDetail, word(usb_pid_info(t->pid)->word), pid_cell(t->pid));
    rows_add(&dp->transferDetail, kept_word<W_ADDR>(), u8_cell(token_address(t)));
    rows_add(&dp->transferDetail, kept_word<W_POINT, COLOR_POINT>(), u8_cell(token_endpoint(t)));
  }
  uint32_t shown = kept < (uint32_t)kTransferDataShown ? kept : (uint32_t)kTransferDataShown;
  rows_add(&dp->transferDetail, data_len_key(tr->fillCount), cell_hex(tr->buffer, shown, 0, 0));
}

// What the data slot means for the transfer in progress.
static void transfer_data(dataParse* dp) {
  TransferRecord* tr = &dp->transfer;
  if (tr->state != TRANSFER_IN_PROGRESS) return;
  const DataSlot* d = &dp->data;
  uint32_t n = (uint32_t)d->length - 3;
  uint8_t tokenPid = dp->token.pid;
  // The host gives no handshake to data it collects in a complete split: the
  // device's data has then arrived as surely as an acknowledged one.
  bool acked = (dp->attrFlag & ATTR_ACK) || (dp->completeSplit && tokenPid == PID_IN);

  if (tokenPid == PID_SETUP) {
    // A SETUP is followed by an 11-byte DATA0: the setup packet.
    if (d->pid == PID_DATA0 && d->length == 11) {
      dp->setupPacket = setup_from_bytes(d->bytes + 1);
      setup_decode_table(&dp->setupPacket, &dp->descriptorTables);
      // Setup packets repeated without a new SETUP would pile request lines
      // up until the transfer ends; a transfer row holds a few dozen at most.
      if (!dp->transferDetail || dp->transferDetail->count < 48)
        setup_request_line(&dp->setupPacket, token_address(&dp->token),
                           token_endpoint(&dp->token), &dp->transferDetail);
      tr->expectedLength = dp->setupPacket.wLength;
      tr->fillCount = 0;
      return;
    }
  }
  if (n >= 1 && tokenPid != PID_SETUP && acked) {
    if (tr->buffer && tr->fillCount < (uint32_t)kReassemblyBufferSize) {
      uint32_t room = (uint32_t)kReassemblyBufferSize - tr->fillCount;
      memcpy(tr->buffer + tr->fillCount, d->bytes + 1, n < room ? n : room);
    }
    tr->fillCount = tr->fillCount + n < tr->fillCount ? UINT32_MAX : tr->fillCount + n;
    // Bulk, interrupt and isochronous transfers end with a short packet.
    if (ends_short(tr->entry.transferType) && n < tr->entry.maxPacketSize)
      tr->state = TRANSFER_COMPLETE;
  } else if (n == 0 && acked) {
    // A zero-length packet ends any transfer; for a control transfer it is
    // the status stage.
    tr->state = TRANSFER_COMPLETE;
    if (tr->entry.transferType == TRANSFER_TYPE_CONTROL) tr->controlDirection = tokenPid == PID_IN ? 0 : 128;
  }
  if (tr->state == TRANSFER_COMPLETE && tr->fillCount > 0) transfer_detail(dp);
}

void rows_data(dataParse* dp) {
  const DataSlot* d = &dp->data;
  uint8_t tokenPid = dp->token.pid;
  bool view = shows_view(tokenPid);
  uint32_t n = (uint32_t)d->length - 3;

  sink_add(sub_infos(dp), kept_word<W_TYPE, COLOR_TYPE>(), kept_word<W_DATA>());
  sink_add_u32(top_infos(dp), kept_word<W_PACKAGE, COLOR_PACKAGE, COLOR_DARK_TEXT>(), d->number);
  if (view) {
    sink_add_time(top_infos(dp), kept_word<W_TIMESTAMP, COLOR_TIMESTAMP>(), d->timestamp);
    sink_add_u32(view_infos(dp), kept_word<W_PACKAGE>(), d->number);
    sink_add(view_infos(dp), kept_word<W_DIR, COLOR_DIR>(), word(tokenPid == PID_IN ? W_UP : W_DOWN));
  }
  bool toTransaction = dp->transaction.open && !dp->transaction.dataSeen;
  bool toCapData = (tokenPid == PID_IN || tokenPid == PID_OUT) && token_endpoint(&dp->token) != 0;
  DataCells cells;
  data_cells_build(&cells, d);
  cells.kindUses = 1 + (view ? 1 : 0) + (toTransaction ? 1 : 0);
  cells.dataUses = cells.kindUses + (toCapData ? 1 : 0);
  cells.crcUses = 1 + (view ? 1 : 0);
  data_cells(sub_values(dp), &cells, true);
  if (view) data_cells(view_values(dp), &cells, true);
  if (toTransaction) {
    data_cells(RowSink{&dp->transactionState, nullptr}, &cells, false);
    dp->transaction.dataSeen = 1;
  }

  transfer_data(dp);

  if (dp->selectedPayload && attr_matches_selection(dp->attrFlag, selectedAddress, selectedEndpoint))
    dp->selectedPayload(d->bytes + 1, (int32_t)n, dp->selectedPayloadContext);

  if (toCapData) {
    rows_add(&dp->capDataInfo, kept_word<W_PACKAGE, COLOR_PACKAGE, COLOR_DARK_TEXT>(), cell_u32(d->number, 0, 0));
    rows_add(&dp->capDataInfo, kept_word<W_DIR, COLOR_DIR>(), word(tokenPid == PID_IN ? W_UP : W_DOWN));
    DataMsg* lenKey = data_cell_use(&cells.lenKey, --cells.dataUses == 0);
    rows_add(&dp->capDataValue, lenKey, data_cell_use(&cells.payload, cells.dataUses == 0));
  }
  data_cells_free(&cells);

  sink_add(top_values(dp), kept_word<W_DATA, COLOR_DATA>(), word(usb_pid_info(d->pid)->word));
  sink_add_new(top_values(dp), kept_word<W_RAW, COLOR_RAW, COLOR_DARK_TEXT>(), d->length, d->bytes, D_HEX);
}

void rows_handshake(dataParse* dp) {
  const HandshakeSlot* h = &dp->handshake;
  if (usb_pid_info(h->pid)->cls != PID_CLASS_HANDSHAKE) {
    orvane_log(">>>err:invalide handshake!!!");
    return;
  }
  const TransactionRecord* tx = &dp->transaction;
  uint8_t tokenPid = tx->token.pid;
  sink_add(sub_infos(dp), kept_word<W_TYPE, COLOR_TYPE>(), kept_word<W_HANDSHAKE>());
  if (shows_view(tokenPid)) {
    bool dataNewer = tx->dataTimestamp > tx->token.timestamp;
    // After IN the device answers when no data came; after SETUP or OUT the
    // device answers the host's data.
    bool up = tokenPid == PID_IN ? !dataNewer : dataNewer;
    sink_add_u32(view_infos(dp), kept_word<W_PACKAGE, COLOR_PACKAGE, COLOR_DARK_TEXT>(), h->number);
    sink_add(view_infos(dp), kept_word<W_DIR, COLOR_DIR>(), word(up ? W_UP : W_DOWN));
    sink_add(view_values(dp), kind_key(h->pid), pid_cell(h->pid));
  }
  rows_add(&dp->transactionState, kept_word<W_STATE, COLOR_STATE>(),
           word(h->pid == PID_ACK ? W_SUCCESS : W_FAILED));
  sink_add_u32(top_infos(dp), kept_word<W_PACKAGE>(), h->number);
  sink_add_time(top_infos(dp), kept_word<W_TIMESTAMP, COLOR_TIMESTAMP>(), h->timestamp);
  sink_add(top_values(dp), kept_word<W_HANDSHAKE, COLOR_HANDSHAKE>(), word(usb_pid_info(h->pid)->word));
  sink_add(top_values(dp), kept_word<W_RAW, COLOR_RAW, COLOR_DARK_TEXT>(), pid_cell(h->pid));
  sink_add(sub_values(dp), kind_key(h->pid), pid_cell(h->pid));
}

void transaction_start(dataParse* dp) {
  TransactionRecord* tx = &dp->transaction;
  const TokenSlot* t = &dp->token;
  tx->open = 1;
  tx->timestamp = t->timestamp;
  tx->firstNumber = t->number;
  tx->dataSeen = 0;
  tx->token = *t;
  if (shows_view(t->pid)) {
    const char* name = t->pid == PID_SETUP ? "SETUP Transaction"
                       : t->pid == PID_IN  ? "IN Transaction"
                                           : "OUT Transaction";
    rows_add(&dp->transactionHeadInfo, cell_text(name, COLOR_TRANSACTION, 0), time_cell(t->timestamp));
  }
}

uint32_t transaction_end(dataParse* dp, uint32_t lastNumber) {
  TransactionRecord* tx = &dp->transaction;
  tx->lastNumber = lastNumber;
  if (shows_view(tx->token.pid))
    rows_add(&dp->transactionRange, kept_word<W_PACKAGE, COLOR_PACKAGE, COLOR_DARK_TEXT>(),
             range_cell(tx->firstNumber, lastNumber));
  tx->open = 0;
  return RESULT_TRANSACTION_ENDED;
}

uint32_t transfer_end(dataParse* dp, uint32_t lastNumber) {
  TransferRecord* tr = &dp->transfer;
  tr->lastNumber = lastNumber;
  rows_add(&dp->transferRange, kept_word<W_PACKAGE, COLOR_PACKAGE, COLOR_DARK_TEXT>(),
           range_cell(tr->firstNumber, lastNumber));
  if (tr->state != TRANSFER_NONE) {
    rows_add(&dp->transferState, kept_word<W_STATE, COLOR_STATE>(),
             word(tr->state == TRANSFER_COMPLETE ? W_SUCCESS : W_FAILED));
    tr->state = TRANSFER_NONE;
  }
  return RESULT_TRANSFER_ENDED;
}

uint32_t transfer_track(dataParse* dp) {
  TransferRecord* tr = &dp->transfer;
  const TokenSlot* t = &dp->token;
  uint32_t result = 0;
  bool open = tr->state == TRANSFER_IN_PROGRESS || tr->state == TRANSFER_COMPLETE;

  // The complete split of a transaction repeats its token: it continues the
  // transfer its start split belongs to (a repeated SETUP begins none).
  if (dp->completeSplit && open)
    return tr->state == TRANSFER_IN_PROGRESS ? (uint32_t)RESULT_TRANSFER_ACTIVE : 0u;
  // A SETUP always begins a new control transfer; one still open ends here.
  if (t->pid == PID_SETUP && open) {
    result |= transfer_end(dp, dp->previous.packageCounter);
    open = false;
  }
  switch (t->pid) {
    case PID_SOF:
    case PID_PING:
    case PID_SPLIT:
      // They neither begin nor continue a transfer, but the caller learns
      // that one is in progress after them (a zero result means nothing
      // was produced, and these tokens were).
      return tr->state == TRANSFER_IN_PROGRESS ? result | RESULT_TRANSFER_ACTIVE : result;
    case PID_IN:
    case PID_OUT:
      // Any IN or OUT continues the open transfer, whatever its endpoint.
      if (open) return tr->state == TRANSFER_IN_PROGRESS ? result | RESULT_TRANSFER_ACTIVE : result;
      break;
    default:
      break;
  }

  EndpointEntry entry;
  if (t->pid == PID_SETUP) {
    entry = EndpointEntry{TRANSFER_TYPE_CONTROL, token_address(t), token_endpoint(t), 0, 0};
  } else {
    const EndpointEntry* found =
        endpoint_table_find(&dp->endpointTable, token_address(t), token_endpoint(t));
    if (!found) return result;  // unknown endpoint: no transfer
    entry = *found;
  }
  tr->entry = entry;
  tr->state = TRANSFER_IN_PROGRESS;
  tr->firstNumber = t->number;
  tr->lastNumber = 0;
  tr->timestamp = t->timestamp;
  tr->fillCount = 0;
  tr->expectedLength = 0;
  const char* name = entry.transferType == TRANSFER_TYPE_CONTROL       ? "CTRL Transfer"
                     : entry.transferType == TRANSFER_TYPE_ISOCHRONOUS ? "ISOC Transfer"
                     : entry.transferType == TRANSFER_TYPE_BULK        ? "BULK Transfer"
                     : entry.transferType == TRANSFER_TYPE_INTERRUPT   ? "INT Transfer"
                                                                       : "Transfer";
  rows_add(&dp->transferHead, cell_text(name, COLOR_TRANSFER, 0), time_cell(t->timestamp));
  return result | RESULT_TRANSFER_ACTIVE;
}
