// The backend's writer side of the capture channel. Packets are encoded as
// capture records and gathered into a batch; a batch of whole records goes
// into the ring with one shm_write, which keeps the lock traffic low. When the
// ring lacks room the sink waits a little and retries the same bytes, for as
// long as it takes: a record is never dropped. Only a stop request ends the
// wait, and then the unsent batch is reported, not silently lost.
//
// Every packet that reached the ring is also written to the mirror capture
// file when one is set ("-f"), so the file holds exactly what was sent.
#pragma once

#include <cstddef>
#include <cstdint>

#include "backend/packet_sink.h"
#include "store/capture/capture_file.h"

struct ChannelSink;

// Counters of a sink.
struct ChannelSinkStats {
  uint64_t packets;     // packets that reached the ring
  uint64_t bytes;       // record bytes that reached the ring
  uint64_t full_waits;  // times the ring had no room and the sink waited
  uint64_t unsent;      // packets still in the batch when a stop ended a wait
};

// Attaches to the channel (shm_open, else shm_create). `stop` may be null.
// Null on failure, with the channel's status text in `err`.
ChannelSink* channel_sink_open(StopCheck stop, char* err, size_t err_cap);
// Packets sent from now on are also written to `mirror` (may be null). The
// sink does not own the writer. A mirror write failure is reported once
// through orvane_log and the mirror is dropped; the channel keeps going.
void channel_sink_set_mirror(ChannelSink* sink, CaptureWriter* mirror);
// 1 when the mirror failed (and was dropped), else 0.
int channel_sink_mirror_failed(const ChannelSink* sink);
// The PacketSink view of this sink.
PacketSink channel_sink_as_packet_sink(ChannelSink* sink);
// Queues one packet (at most 4,092 bytes), sending the batch first when it is
// full. 0 when queued; -1 when the packet is too long, the channel failed or a
// stop ended the wait for room.
int channel_sink_put(ChannelSink* sink, const uint8_t* bytes, uint32_t length, uint64_t timestamp_ns);
// Sends the batch, waiting for room as long as needed. 0 when sent (or
// empty), -1 on a channel failure or a stop that came before room did.
int channel_sink_flush(ChannelSink* sink);
// Waits until readers have taken everything out of the ring. 0 when the ring
// is empty; 1 when a stop came first; -1 when the ring did not shrink for
// `idle_limit_ms` (no reader), with a message through orvane_log.
int channel_sink_drain(ChannelSink* sink, uint32_t idle_limit_ms);
void channel_sink_get_stats(const ChannelSink* sink, ChannelSinkStats* out);
// Packets queued and not yet sent.
uint32_t channel_sink_pending(const ChannelSink* sink);
// Detaches from the channel and frees the sink; queued packets are not sent
// (flush first). Null does nothing.
void channel_sink_close(ChannelSink* sink);
