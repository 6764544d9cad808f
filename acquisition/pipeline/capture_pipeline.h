// The capture worker's engine: the decoding step for one packet (record it,
// call parsePackage until it stops asking to be called again, move the
// package lists into the package, data and descriptor trees) and the
// assembly of transaction and transfer rows in the transaction tree.
//
// The transaction assembly keeps the packet rows of the open transaction and
// its head and detail lists until the transaction closes; the transfer
// assembly keeps the closed transactions of the open transfer until it ends.
// Those closed transactions are packed at once and parked in a spill file
// (a data file in the data directory), so a transfer that stays open for
// millions of packets costs disk, not memory.
#pragma once

#include <cstdint>
#include <vector>

#include "decode/cells/kv_list.h"

struct dataParse;
struct RowTree;
struct DataFile;

// The four trees the rows go to (not owned by the pipeline).
struct RowTrees {
  RowTree* package;      // packets with their detail rows
  RowTree* transaction;  // transactions or transfers, with packets below
  RowTree* data;         // data rows
  RowTree* descriptor;   // request and descriptor tables
};

// The status text after every call that produced something ("parsePackage: %u").
typedef void (*pipeline_status_fn)(const char* text, void* user);

// A packet row waiting for its transaction to close.
struct PendingPacketRow {
  kvLinkedList* info;
  kvLinkedList* value;
  uint32_t flag;
};

struct CapturePipeline {
  dataParse* decoder;                  // not owned
  RowTrees trees;                      // not owned
  pipeline_status_fn status;           // may be null
  void* statusUser;
  std::vector<PendingPacketRow> packetRows;  // rows of the open transaction, oldest first
  kvLinkedList* txKey;                 // transaction row Infos under construction
  kvLinkedList* stagedDetail;          // the open transaction's token cells
  uint32_t rowFlag;                    // attrFlag of the last packet row taken
  kvLinkedList* transferKey;           // transfer row Infos under construction
  DataFile* spill;                     // closed transactions of the open transfer, packed
  uint64_t spilledRows;                // rows parked in the spill file
  uint8_t packBuf[4096];               // packing buffer for the spill
  uint64_t packetsIn;                  // packets handed to the decoding step
};

// A pipeline over `decoder` writing into `trees`; null when memory runs out.
CapturePipeline* pipeline_create(dataParse* decoder, RowTrees trees);
// Frees everything still held (pending rows, the spill file).
void pipeline_destroy(CapturePipeline* pl);
void pipeline_set_status(CapturePipeline* pl, pipeline_status_fn fn, void* user);

// The decoding step for one packet: records it first when `record` is set.
void pipeline_decode_packet(CapturePipeline* pl, const uint8_t* bytes, int32_t length,
                            uint64_t timestamp, int record);
// The end of a capture: decodes the packets still waiting for an outcome
// and closes the open transaction and transfer, so every packet reaches the
// views. Decoding may go on afterwards.
void pipeline_finish(CapturePipeline* pl);
// Drops the rows under construction (the views were cleared, or a replay
// starts over); the decoder's own state is left alone.
void pipeline_forget(CapturePipeline* pl);

// Replays the loaded-packet list (a file opened earlier) through the
// decoding step after a decoder reset (rows still under construction are
// dropped with it), without recording, until done or
// *abort becomes nonzero. Packets longer than the 4,104-byte replay buffer
// are refused and logged, never copied past it. Returns the packets replayed.
uint64_t pipeline_replay_loaded(CapturePipeline* pl, const volatile uint8_t* abort);
