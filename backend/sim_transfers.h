// The simulator's transfer state machines. Each one hands out the bus
// transactions of one transfer, one transaction at a time, and keeps the
// protocol state the host and device share: DATA0/DATA1 toggles, halted
// endpoints, the high-speed PING state and the two phases of a split
// transaction. The frame scheduler (bus_simulator.cpp) places the
// transactions in time. Internal to the backend.
#pragma once

#include <cstdint>

#include "backend/device_model.h"
#include "backend/sim_rng.h"
#include "backend/usb_packet_builder.h"

enum { SIM_TXN_MAX_PACKETS = 4 };

// One packet of a transaction before it is placed in time.
struct SimWirePacket {
  uint8_t bytes[USB_MAX_PACKET];  // the packet as it goes on the wire
  uint16_t length;                // its length in bytes
  uint8_t from_device;            // 1 when the device (or hub) answers: a turnaround precedes it
};

// One bus transaction: [SPLIT] token [data] [handshake].
struct SimTransaction {
  int count;                                  // packets used
  SimWirePacket pkt[SIM_TXN_MAX_PACKETS];     // in bus order
};

// One endpoint as the host sees it.
struct SimEndpoint {
  uint8_t addr;         // device address
  uint8_t number;       // endpoint number
  uint8_t in;           // 1 for IN
  uint8_t type;         // UsbTransferType
  uint16_t max_packet;  // wMaxPacketSize
  uint8_t toggle;       // next DATA PID: 0 DATA0, 1 DATA1
  uint8_t halted;       // answered STALL; cleared by CLEAR_FEATURE(ENDPOINT_HALT)
  uint8_t ping;         // high-speed OUT: the host must PING before the next OUT
};

// Where a transfer goes through a transaction translator (high-speed hub).
struct SimSplitRoute {
  uint8_t used;      // 0: the device is on the bus directly
  uint8_t hub_addr;  // hub address
  uint8_t port;      // hub port
  uint8_t low;       // 1 for a low-speed device
};

enum SimControlStage { CTRL_IDLE = 0, CTRL_SETUP, CTRL_DATA, CTRL_STATUS, CTRL_DONE };

// A control transfer on endpoint 0.
struct SimControl {
  SimControlStage stage;       // what the next transaction does
  uint8_t addr;                // address the tokens carry
  uint8_t setup[8];            // the setup packet
  uint8_t data[256];           // IN: the device's answer; OUT: the host's data
  uint16_t data_len;           // bytes of the data stage (answer cut to wLength)
  uint16_t offset;             // data stage bytes already moved
  uint8_t need_zlp;            // the data stage ends with a zero-length packet
  uint8_t refuse;              // the device answers the data (or status) stage with STALL
  uint8_t max_packet;          // bMaxPacketSize0
  uint8_t toggle;              // next DATA PID of the data stage
  uint8_t split_phase;         // split route: 0 start-split next, 1 complete-split next
  uint8_t stalled;             // ended by STALL
  SimSplitRoute route;         // split route
  int naks_left;               // NAKs the device may still give in this transfer
};

// A bulk transfer of `total` bytes on one endpoint.
struct SimBulk {
  SimEndpoint* ep;        // the endpoint (toggle, halt and PING state live there)
  uint32_t total;         // bytes to move
  uint32_t offset;        // bytes moved
  uint8_t need_zlp;       // ends with a zero-length packet
  uint8_t done;           // finished (completed or stalled)
  uint8_t stalled;        // ended by STALL
  int32_t stall_at;       // packet index at which the device STALLs, -1 for none
  uint32_t packets;       // packets moved
  uint32_t seq;           // transfer number, seeds the payload
};

// Fills `c` for one request; `answer` is the device's reply for an IN
// request (null with refuse=1 for a request the device does not support),
// or the host's data for an OUT request.
void sim_control_begin(SimControl* c, uint8_t addr, const uint8_t setup[8], const uint8_t* answer,
                       uint16_t answer_len, int refuse, uint8_t max_packet, const SimSplitRoute* route);
// Builds the next transaction of the control transfer; returns 1 when the
// transfer finished with it, else 0.
int sim_control_step(SimControl* c, SimRng* rng, SimTransaction* t);

// Starts a bulk transfer; the endpoint keeps its toggle across transfers.
void sim_bulk_begin(SimBulk* b, SimEndpoint* ep, uint32_t total, int32_t stall_at, uint32_t seq);
// Builds the next transaction of the bulk transfer; `high_speed` enables
// PING/NYET flow control. Returns 1 when the transfer finished with it.
int sim_bulk_step(SimBulk* b, SimRng* rng, int high_speed, SimTransaction* t);

// One interrupt IN poll: NAK, or a DATA packet of `report_len` bytes with ACK.
void sim_interrupt_poll(SimEndpoint* ep, SimRng* rng, int nak_percent, uint16_t report_len,
                        SimTransaction* t);

// Periodic split interrupt IN: the start-split (SSPLIT, IN; no handshake).
void sim_split_interrupt_start(SimEndpoint* ep, const SimSplitRoute* route, SimTransaction* t);
// The complete-split (CSPLIT, IN, then NYET, NAK or DATA without a host
// handshake). `allow_nyet`: the translator may still be busy. Returns 1 when
// the poll is over (anything but NYET).
int sim_split_interrupt_complete(SimEndpoint* ep, const SimSplitRoute* route, SimRng* rng,
                                 int allow_nyet, SimTransaction* t);

// Transaction building blocks.
void sim_txn_clear(SimTransaction* t);
void sim_txn_token(SimTransaction* t, uint8_t pid, uint8_t addr, uint8_t endpoint);
void sim_txn_data(SimTransaction* t, uint8_t pid, const uint8_t* payload, uint16_t len, int from_device);
void sim_txn_handshake(SimTransaction* t, uint8_t pid, int from_device);
void sim_txn_split(SimTransaction* t, const SimSplitRoute* route, int complete, uint8_t et);
