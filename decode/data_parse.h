// The packet decoding pipeline: turns the stream of raw USB packets into
// display rows. It remembers what decoding needs between packets (the last
// token, the open transaction, the open transfer, the endpoints learned from
// descriptors), numbers the packets, holds tokens and data packets back until
// their handshake (or the next token) tells their outcome, and leaves the rows
// in named output lists that the capture pipeline takes over.
//
// Rules:
//   1. parsePackage decodes at most one packet per call; RESULT_CALL_AGAIN
//      asks the caller to call again with the same packet (a held-back
//      packet was decoded instead of it).
//   2. An output list is null until its first append; the caller takes a
//      list by copying the pointer and setting the field back to null.
//   3. One thread only. The SOF hold and the selection are process-wide.
//   4. A packet longer than kMaxPacketLength is refused like an invalid one.
//   5. At most 1,024 packets wait for their outcome; past that the oldest is
//      decoded without one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "decode/cells/kv_list.h"
#include "decode/endpoint_table.h"
#include "decode/setup_request.h"

struct PackedRow;

// Result bits of parsePackage (only the low byte has meaning).
enum : uint32_t {
  RESULT_TRANSACTION_STARTED = 0x01,  // transactionHeadInfo/transactionDetail hold a new transaction
  RESULT_TRANSACTION_ENDED = 0x02,    // transactionRange/transactionState are complete
  RESULT_TRANSFER_ACTIVE = 0x04,      // a transfer is in progress after this token
  RESULT_TRANSFER_ENDED = 0x08,       // transferRange/transferState are complete
  RESULT_NO_TRANSFER = 0x60,          // no transfer in progress or complete
  RESULT_CALL_AGAIN = 0x80,           // call again with the same packet
  RESULT_ROWS_MASK = 0x7F,            // the bits that tell which rows are complete
  RESULT_MASK = 0xFF,                 // every meaningful bit: zero when nothing was produced
};

enum {
  kMaxPacketLength = 4096,          // the longest packet the decoder takes
  kReassemblyBufferSize = 1048576,  // data bytes kept per transfer
  // A transfer's data cell shows at most this many bytes, so that the whole
  // transfer row still fits in one 4,096-byte row payload.
  kTransferDataShown = 3584,
};

// Transfer states.
enum : uint8_t { TRANSFER_NONE = 0, TRANSFER_IN_PROGRESS = 4, TRANSFER_COMPLETE = 8 };

struct PreviousPacket {
  uint8_t pid;              // PID of the last numbered packet
  uint64_t delta;           // its distance to the packet before it, ns
  uint64_t timestamp;       // its time stamp, ns
  uint32_t packageCounter;  // the number given to it; 0 after reset
  uint32_t dataLength;      // its length when it was a data packet
};

struct TokenSlot {
  uint8_t pid;         // SETUP, IN, OUT, PING, SOF or SPLIT
  uint64_t delta;      // to the packet before it, ns
  uint64_t timestamp;  // ns
  uint32_t number;     // package number
  uint8_t bytes[4];    // PID, token field (or frame number), fourth byte of SPLIT
};

struct DataSlot {
  uint8_t pid;
  uint64_t delta;
  uint64_t timestamp;
  uint32_t number;
  uint16_t length;                   // packet length, PID and CRC included
  uint8_t bytes[kMaxPacketLength];   // the packet
  uint16_t crc16;                    // the received CRC16, little-endian
};

struct HandshakeSlot {
  uint8_t pid;
  uint64_t delta;
  uint64_t timestamp;
  uint32_t number;
};

struct TransactionRecord {
  uint8_t open;            // 1 while a transaction is open
  uint64_t timestamp;      // the token's time stamp
  uint32_t firstNumber;    // first package number
  uint32_t lastNumber;     // last package number
  uint8_t dataSeen;        // 1 once a data packet of this transaction was decoded
  uint64_t dataTimestamp;  // time stamp of its last data packet (0: none yet)
  TokenSlot token;         // copy of the token slot
};

struct TransferRecord {
  EndpointEntry entry;       // type (255: none), address, endpoint, direction, max packet
  uint64_t timestamp;        // the beginning token's time stamp
  uint32_t firstNumber;
  uint32_t lastNumber;
  uint8_t state;             // TRANSFER_NONE, TRANSFER_IN_PROGRESS, TRANSFER_COMPLETE
  uint8_t controlDirection;  // status stage of a control transfer: 0 after IN, 128 after OUT
  uint16_t expectedLength;   // wLength of the setup packet
  // Bytes of data seen; the buffer keeps the first kReassemblyBufferSize of
  // them (a wider count than the 16 bits of old, so long transfers stay exact).
  uint32_t fillCount;
  uint8_t* buffer;           // kReassemblyBufferSize bytes
};

// Receives the payload of every data packet of the selected device and
// endpoint (see selectedAddress), in decoding order.
typedef void (*payload_fn)(const uint8_t* payload, int32_t length, void* context);

// An owned copy of a packet held back until its handshake or the next token.
struct PendingPacket {
  uint64_t timestamp;
  uint32_t length;
  uint8_t* bytes;
};

struct dataParse {
  PreviousPacket previous;
  TokenSlot token;
  DataSlot data;
  HandshakeSlot handshake;
  TransactionRecord transaction;
  EndpointTable endpointTable;  // endpoints learned from descriptors
  TransferRecord transfer;      // the current transfer
  SetupPacket setupPacket;      // the last setup packet of a control transfer
  std::deque<PendingPacket> pendingPackets;
  uint32_t attrFlag;            // attribute flag of the row being built
  uint64_t invalidPackets;      // packets refused as invalid since construction
  uint8_t splitBefore;          // the last token was a SPLIT: 1 start, 2 complete; else 0
  uint8_t completeSplit;        // the current token repeats, in a complete split, the one
                                // its start split carried
  payload_fn selectedPayload;     // where selected payloads go (the script host); null: nowhere
  void* selectedPayloadContext;   // handed to selectedPayload

  // Output lists (null until the first append; see rule 2).
  kvLinkedList* rawPackageInfo;
  kvLinkedList* rawPackageValue;
  kvLinkedList* rawPackageParseInfo;
  kvLinkedList* rawPackageParseValue;
  kvLinkedList* capDataInfo;
  kvLinkedList* capDataValue;
  kvLinkedList* viewPackageInfo;
  kvLinkedList* viewPackageValue;
  kvLinkedList* transactionHeadInfo;
  kvLinkedList* transactionDetail;
  kvLinkedList* transactionRange;
  kvLinkedList* transactionState;
  kvLinkedList* transferHead;
  kvLinkedList* transferDetail;
  kvLinkedList* transferRange;
  kvLinkedList* transferState;
  kvListPair* descriptorTables;

  // Rows packed as they are built (packRowsAsBuilt), else null: then the
  // package row, its detail row and the transaction view's packet row go
  // here instead of into rawPackageInfo/Value, rawPackageParseInfo/Value and
  // viewPackageInfo/Value (which stay null); taking one means packing it
  // with packed_row_finish and clearing it.
  PackedRow* packedTop;    // the package row
  PackedRow* packedSub;    // its detail row
  PackedRow* packedView;   // the transaction view's packet row

  // Starts from the reset state.
  dataParse();
  // Frees the queued packets and every list still held.
  ~dataParse();
  dataParse(const dataParse&) = delete;
  dataParse& operator=(const dataParse&) = delete;

  // Decodes one packet (or a held-back one) and returns the RESULT_* mask.
  uint32_t parsePackage(const uint8_t* bytes, int32_t length, uint64_t timestamp);
  // Clears all decoding state; leaves the queue, the SOF hold and the
  // output lists alone.
  void reset();
  uint32_t packageCount() const { return previous.packageCounter; }
  // Frees every output list still held (the caller took none of them) and
  // empties the packed rows.
  void freeOutputLists();
  // Packs the rows made for every packet as they are built (see packedTop);
  // the pipeline does, which saves building, walking and freeing their
  // lists. Off by default. False when memory runs out (nothing changed).
  bool packRowsAsBuilt(bool on);

  // The end of a capture (a replayed file ends, a trace stops): packets that
  // wait for an outcome would otherwise never be shown. flushOne decodes one
  // of them, the held SOF of an idle run first, then the queue oldest first,
  // as answered by no handshake; false when nothing waits (*result is then
  // 0). closeOpen then closes the open transaction and the open transfer (an
  // unfinished transfer ends "Failed") and returns the RESULT_* mask, 0 when
  // nothing was open.
  bool flushOne(uint32_t* result);
  uint32_t closeOpen();
};

// The device address and endpoint whose payloads go to the script (0xFF at
// start); written when the filters are applied.
extern uint8_t selectedAddress;
extern uint8_t selectedEndpoint;

// The SOF hold (process-wide; emptied by decoding itself and by a decoder reset).
void sof_hold_clear(void);

// Debug dump of one display cell to the engine log.
void print_data_msg(const DataMsg* cell);
