// The frame of the packet decoder: chooses which packet is decoded when (the
// pending-packet queue and the SOF hold), computes each row's attribute flag,
// and numbers the packets.
//
// Why packets are held back: a token's or data packet's row carries the
// outcome of its transaction (the handshake bit of its attribute flag), which
// is only known when the handshake or the next token arrives. So tokens and
// data packets wait in pendingPackets and are decoded, oldest first, by the
// packet that follows them; each such call asks the caller to call again.
// Runs of idle SOFs are collapsed: the first is shown, the last is held and
// shown when traffic resumes, those between are dropped.
#include "decode/data_parse.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>

#include "decode/cells/attr_flag.h"
#include "decode/cells/packed_row.h"
#include "decode/usb_packet.h"
#include "decode/usb_rows.h"
#include "os/log.h"

uint8_t selectedAddress = 0xFF;
uint8_t selectedEndpoint = 0xFF;

// The SOF hold: consecutive SOFs seen since the last traffic, and the last of
// them. Process-wide, like the selection.
static int32_t g_sofCount = 0;
static struct {
  uint8_t bytes[3];    // PID and the two field bytes
  uint64_t timestamp;  // its own time stamp
} g_heldSof;

void sof_hold_clear(void) {
  g_sofCount = 0;
  memset(&g_heldSof, 0, sizeof g_heldSof);
}

// Held data packets at most (4 KiB each at worst).
static const size_t kMaxPendingPackets = 1024;

dataParse::dataParse()
    : previous(), token(), handshake(), transaction(), endpointTable(), transfer(),
      setupPacket(), pendingPackets(), attrFlag(0), invalidPackets(0),
      splitBefore(0), completeSplit(0), selectedPayload(nullptr), selectedPayloadContext(nullptr),
      rawPackageInfo(nullptr),
      rawPackageValue(nullptr), rawPackageParseInfo(nullptr), rawPackageParseValue(nullptr),
      capDataInfo(nullptr), capDataValue(nullptr), viewPackageInfo(nullptr),
      viewPackageValue(nullptr), transactionHeadInfo(nullptr), transactionDetail(nullptr),
      transactionRange(nullptr), transactionState(nullptr), transferHead(nullptr),
      transferDetail(nullptr), transferRange(nullptr), transferState(nullptr),
      descriptorTables(nullptr), packedTop(nullptr), packedSub(nullptr), packedView(nullptr) {
  orvane_log(">>>dataParse start");
  memset(&data, 0, sizeof data);
  transfer.buffer = (uint8_t*)malloc(kReassemblyBufferSize);
  if (!transfer.buffer) {
    orvane_log(">>>dataParse: no memory for the reassembly buffer");
  }
  reset();
  orvane_log("pData.size = %zu", pendingPackets.size());
}

dataParse::~dataParse() {
  for (PendingPacket& p : pendingPackets) free(p.bytes);
  pendingPackets.clear();
  freeOutputLists();
  packRowsAsBuilt(false);
  free(transfer.buffer);
}

void dataParse::freeOutputLists() {
  kvLinkedList** lists[] = {
      &rawPackageInfo, &rawPackageValue, &rawPackageParseInfo, &rawPackageParseValue,
      &capDataInfo, &capDataValue, &viewPackageInfo, &viewPackageValue,
      &transactionHeadInfo, &transactionDetail, &transactionRange, &transactionState,
      &transferHead, &transferDetail, &transferRange, &transferState};
  for (kvLinkedList** l : lists) {
    kvlist_free(*l);
    *l = nullptr;
  }
  kvlistpair_chain_free(descriptorTables);
  descriptorTables = nullptr;
  for (PackedRow* row : {packedTop, packedSub, packedView})
    if (row) packed_row_clear(row);
}

bool dataParse::packRowsAsBuilt(bool on) {
  if (!on) {
    for (PackedRow** row : {&packedTop, &packedSub, &packedView}) {
      delete *row;
      *row = nullptr;
    }
    return true;
  }
  if (packedTop) return true;
  PackedRow* rows[3];
  for (PackedRow*& row : rows) row = new (std::nothrow) PackedRow;
  if (!rows[0] || !rows[1] || !rows[2]) {
    for (PackedRow* row : rows) delete row;
    return false;
  }
  for (PackedRow* row : rows) packed_row_clear(row);
  packedTop = rows[0];
  packedSub = rows[1];
  packedView = rows[2];
  return true;
}

void dataParse::reset() {
  memset(&previous, 0, sizeof previous);
  memset(&token, 0, sizeof token);
  // The data slot is 4 KiB; its header is what later code reads.
  data.pid = 0;
  data.delta = data.timestamp = 0;
  data.number = 0;
  data.length = 0;
  data.crc16 = 0;
  memset(&handshake, 0, sizeof handshake);
  transaction.open = 0;
  transaction.timestamp = 0;
  transaction.firstNumber = transaction.lastNumber = 0;
  transaction.dataSeen = 0;
  transaction.dataTimestamp = 0;
  memset(&transaction.token, 0, sizeof transaction.token);
  endpoint_table_clear(&endpointTable);
  uint8_t* buf = transfer.buffer;
  memset(&transfer, 0, sizeof transfer);
  transfer.buffer = buf;
  transfer.entry.transferType = TRANSFER_TYPE_NONE;
  memset(&setupPacket, 0, sizeof setupPacket);
  splitBefore = completeSplit = 0;
  seen_endpoints_clear();
  // A SOF held from the traffic before would come out as the first packet
  // of the next capture.
  sof_hold_clear();
  attrFlag = 0;
}

static bool is_addressed_token(uint8_t pid) {
  return pid == PID_SETUP || pid == PID_IN || pid == PID_OUT || pid == PID_PING;
}

// The attribute flag of the chosen packet answered by handshake `hs`.
static uint32_t compute_attr(const dataParse* dp, const uint8_t* p, uint8_t hs) {
  uint8_t pid = p[0];
  const UsbPidInfo* info = usb_pid_info(pid);
  uint32_t flag = 0;
  uint8_t address = 255, endpoint = 255;
  if (is_addressed_token(pid)) {
    uint16_t field = (uint16_t)(p[1] | (p[2] << 8));
    address = field & 0x7F;
    endpoint = (field >> 7) & 0x0F;
    flag |= info->attrBit;
  } else if (pid == PID_SOF || pid == PID_SPLIT) {
    flag |= info->attrBit;
  }
  if (hs != PID_NONE) flag |= usb_pid_info(hs)->attrBit;
  // Data packets and handshakes belong to the last addressed token. Tokens,
  // IN and OUT included, keep their own address and endpoint: a row's flag
  // then names the device it went to, which is what the filters select on.
  if ((info->cls == PID_CLASS_DATA || info->cls == PID_CLASS_HANDSHAKE) &&
      is_addressed_token(dp->token.pid)) {
    uint16_t field = (uint16_t)(dp->token.bytes[1] | (dp->token.bytes[2] << 8));
    address = field & 0x7F;
    endpoint = (field >> 7) & 0x0F;
  }
  flag |= ((uint32_t)address << 24) | ((uint32_t)endpoint << 16);
  if (address != 255 && endpoint != 255) seen_endpoints_record(address, endpoint);
  return flag;
}

static void log_invalid(const uint8_t* bytes, int32_t length) {
  char hex[1024];
  size_t n = (bytes && length > 0) ? (size_t)length : 0;
  usb_hex_text(bytes, n, hex, sizeof hex);
  orvane_log("unknow data[%d]:%s", length, hex);
}

// Decodes one chosen packet; returns the result bits (0 when dropped).
static uint32_t decode_chosen(dataParse* dp, const uint8_t* p, int32_t len, uint64_t t,
                              uint8_t hs) {
  uint8_t pid = p[0];
  const UsbPidInfo* info = usb_pid_info(pid);
  uint32_t result = 0;

  dp->attrFlag = compute_attr(dp, p, hs);
  uint32_t number = dp->previous.packageCounter + 1;
  uint64_t delta = t - dp->previous.timestamp;

  switch (info->cls) {
    case PID_CLASS_HANDSHAKE: {
      // A handshake answers the open transaction; without one it has nothing
      // to answer and is dropped unnumbered.
      if (!dp->transaction.open) return 0;
      HandshakeSlot& h = dp->handshake;
      h.pid = pid;
      h.delta = delta;
      h.timestamp = t;
      h.number = number;
      rows_handshake(dp);
      result |= transaction_end(dp, number);
      if (dp->transfer.state == TRANSFER_COMPLETE) result |= transfer_end(dp, number);
      break;
    }
    case PID_CLASS_DATA: {
      DataSlot& d = dp->data;
      d.pid = pid;
      d.delta = delta;
      d.timestamp = t;
      d.number = number;
      d.length = (uint16_t)len;
      memcpy(d.bytes, p, (size_t)len);
      d.crc16 = (uint16_t)(p[len - 2] | (p[len - 1] << 8));
      rows_data(dp);
      // Its time tells the handshake's direction (whether the device answered).
      dp->transaction.dataTimestamp = t;
      break;
    }
    case PID_CLASS_TOKEN: {
      TokenSlot& k = dp->token;
      k.pid = pid;
      k.delta = delta;
      k.timestamp = t;
      k.number = number;
      memset(k.bytes, 0, sizeof k.bytes);
      memcpy(k.bytes, p, (size_t)len);
      // Behind a high-speed hub every transaction crosses the bus twice: the
      // start split carries the token (and OUT data) to the hub, the complete
      // split repeats the token to collect the device's answer.
      if (pid != PID_SOF) {
        dp->completeSplit = pid != PID_SPLIT && dp->splitBefore == 2;
        dp->splitBefore = pid == PID_SPLIT ? ((p[1] & 0x80) ? 2 : 1) : 0;
      }
      // A new token ends the transaction that has had no handshake.
      if (dp->transaction.open)
        result |= transaction_end(dp, dp->previous.packageCounter);
      result |= transfer_track(dp);
      if (pid != PID_SOF) {
        transaction_start(dp);
        result |= RESULT_TRANSACTION_STARTED;
      }
      rows_token(dp);
      break;
    }
    default:
      return 0;
  }

  dp->previous.pid = pid;
  dp->previous.delta = delta;
  dp->previous.timestamp = t;
  dp->previous.packageCounter = number;
  if (info->cls == PID_CLASS_DATA) dp->previous.dataLength = (uint32_t)len;
  if (dp->transfer.state != TRANSFER_IN_PROGRESS && dp->transfer.state != TRANSFER_COMPLETE &&
      !(result & RESULT_TRANSFER_ENDED))
    result |= RESULT_NO_TRANSFER;
  return result;
}

bool dataParse::flushOne(uint32_t* result) {
  *result = 0;
  if (g_sofCount > 1) {
    uint8_t sof[3];
    memcpy(sof, g_heldSof.bytes, 3);
    g_sofCount = 0;
    *result = decode_chosen(this, sof, 3, g_heldSof.timestamp, PID_NONE);
    return true;
  }
  if (pendingPackets.empty()) return false;
  PendingPacket oldest = pendingPackets.front();
  pendingPackets.pop_front();
  *result = decode_chosen(this, oldest.bytes, (int32_t)oldest.length, oldest.timestamp, PID_NONE);
  free(oldest.bytes);
  return true;
}

uint32_t dataParse::closeOpen() {
  uint32_t result = 0;
  if (transaction.open) result |= transaction_end(this, previous.packageCounter);
  if (transfer.state == TRANSFER_IN_PROGRESS || transfer.state == TRANSFER_COMPLETE)
    result |= transfer_end(this, previous.packageCounter);
  else if (result)
    result |= RESULT_NO_TRANSFER;
  return result;
}

static bool queue_copy(std::deque<PendingPacket>& q, const uint8_t* bytes, int32_t length,
                       uint64_t timestamp) {
  uint8_t* copy = (uint8_t*)malloc((size_t)length);
  if (!copy) return false;
  memcpy(copy, bytes, (size_t)length);
  q.push_back(PendingPacket{timestamp, (uint32_t)length, copy});
  return true;
}

uint32_t dataParse::parsePackage(const uint8_t* bytes, int32_t length, uint64_t timestamp) {
  // Longer packets are refused here, before anything reaches the 4 KiB slot.
  uint8_t pid = length <= kMaxPacketLength ? usb_packet_validate(bytes, length) : 0;
  if (!pid) {
    invalidPackets++;
    log_invalid(bytes, length);
    return 0;
  }

  uint32_t result = 0;
  uint8_t hs = PID_NONE;
  const uint8_t* p = bytes;
  int32_t len = length;
  uint64_t t = timestamp;
  PendingPacket taken{0, 0, nullptr};
  uint8_t sof[3];

  auto take_oldest = [&]() {
    taken = pendingPackets.front();
    pendingPackets.pop_front();
    p = taken.bytes;
    len = (int32_t)taken.length;
    t = taken.timestamp;
    result |= RESULT_CALL_AGAIN;
  };

  switch (usb_pid_info(pid)->cls) {
    case PID_CLASS_TOKEN:
      if (pid == PID_SOF) {
        if (!pendingPackets.empty()) {
          take_oldest();
        } else {
          // Only "more than one" matters: the count stops at 2, so days of
          // idle bus cannot overflow it.
          if (g_sofCount < 2) g_sofCount++;
          if (g_sofCount > 1) {
            memcpy(g_heldSof.bytes, bytes, 3);
            g_heldSof.timestamp = timestamp;
            return 0;
          }
        }
      } else {
        // SETUP, IN, OUT, PING, SPLIT: wait for the outcome, or decode what
        // waited before.
        if (pendingPackets.empty()) {
          queue_copy(pendingPackets, bytes, length, timestamp);
          return 0;
        }
        take_oldest();
      }
      break;
    case PID_CLASS_DATA:
      // A stream that never brings a token or handshake would hold every
      // data packet: past the bound the oldest is decoded without outcome.
      if (pendingPackets.size() >= kMaxPendingPackets) {
        take_oldest();
        break;
      }
      queue_copy(pendingPackets, bytes, length, timestamp);
      return 0;
    case PID_CLASS_HANDSHAKE:
      if (g_sofCount > 1) {
        // Traffic resumes: show the last SOF of the idle run first.
        memcpy(sof, g_heldSof.bytes, 3);
        p = sof;
        len = 3;
        t = g_heldSof.timestamp;
        g_sofCount = 0;
        result |= RESULT_CALL_AGAIN;
      } else {
        hs = pid;
        if (!pendingPackets.empty()) {
          take_oldest();
        } else if (g_sofCount == 1) {
          g_sofCount = 0;
        }
      }
      break;
    default:
      return 0;
  }

  uint32_t decoded = decode_chosen(this, p, len, t, hs);
  free(taken.bytes);
  if (!decoded) return result & RESULT_CALL_AGAIN;
  return result | decoded;
}
