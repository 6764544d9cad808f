#include "backend/sim_transfers.h"

#include <cstring>

// Chances (in percent) with which the simulated device makes the host wait.
static const int kControlNakPercent = 25;
static const int kBulkInNakPercent = 8;
static const int kBulkOutNakPercent = 5;
static const int kBulkOutNyetPercent = 10;
static const int kPingNakPercent = 40;
static const int kSplitNyetPercent = 30;

void sim_txn_clear(SimTransaction* t) { t->count = 0; }

static SimWirePacket* txn_push(SimTransaction* t, int from_device) {
  SimWirePacket* p = &t->pkt[t->count++];
  p->from_device = (uint8_t)from_device;
  return p;
}

void sim_txn_token(SimTransaction* t, uint8_t pid, uint8_t addr, uint8_t endpoint) {
  SimWirePacket* p = txn_push(t, 0);
  p->length = (uint16_t)usb_build_token(p->bytes, pid, addr, endpoint);
}

void sim_txn_data(SimTransaction* t, uint8_t pid, const uint8_t* payload, uint16_t len, int from_device) {
  SimWirePacket* p = txn_push(t, from_device);
  p->length = (uint16_t)usb_build_data(p->bytes, pid, payload, len);
}

void sim_txn_handshake(SimTransaction* t, uint8_t pid, int from_device) {
  SimWirePacket* p = txn_push(t, from_device);
  p->length = (uint16_t)usb_build_handshake(p->bytes, pid);
}

void sim_txn_split(SimTransaction* t, const SimSplitRoute* route, int complete, uint8_t et) {
  UsbSplitFields f;
  f.hub_addr = route->hub_addr;
  f.complete = (uint8_t)complete;
  f.port = route->port;
  f.s = route->low;
  f.e = 0;  // only isochronous OUT start-splits use it; the U bit of a complete-split is 0
  f.et = et;
  SimWirePacket* p = txn_push(t, 0);
  p->length = (uint16_t)usb_build_split(p->bytes, &f);
}

static uint8_t data_pid(uint8_t toggle) { return toggle ? USB_PID_DATA1 : USB_PID_DATA0; }

// ---- control transfers ----

static uint16_t setup_length(const SimControl* c) { return (uint16_t)(c->setup[6] | (c->setup[7] << 8)); }
static int setup_is_in(const SimControl* c) { return (c->setup[0] & 0x80) != 0; }

void sim_control_begin(SimControl* c, uint8_t addr, const uint8_t setup[8], const uint8_t* answer,
                       uint16_t answer_len, int refuse, uint8_t max_packet, const SimSplitRoute* route) {
  memset(c, 0, sizeof *c);
  c->stage = CTRL_SETUP;
  c->addr = addr;
  memcpy(c->setup, setup, 8);
  uint16_t w_length = setup_length(c);
  uint16_t n = answer_len < w_length ? answer_len : w_length;
  if (n > sizeof c->data) n = sizeof c->data;
  if (answer && n) memcpy(c->data, answer, n);
  c->data_len = n;
  // A reply shorter than asked for that ends on a packet boundary needs a
  // zero-length packet to tell the host it is over.
  c->need_zlp = (uint8_t)(n < w_length && n % max_packet == 0);
  c->refuse = (uint8_t)refuse;
  c->max_packet = max_packet;
  if (route) c->route = *route;
  c->naks_left = 3;
}

// Moves the transfer past its data stage or status stage.
static void control_next_stage(SimControl* c) {
  c->split_phase = 0;
  if (c->stage == CTRL_SETUP)
    c->stage = setup_length(c) ? CTRL_DATA : CTRL_STATUS;
  else if (c->stage == CTRL_DATA)
    c->stage = CTRL_STATUS;
  else
    c->stage = CTRL_DONE;
  c->toggle = 1;  // the data stage starts with DATA1, the status stage is DATA1
}

static int control_stall(SimControl* c, SimTransaction* t, int from_device) {
  sim_txn_handshake(t, USB_PID_STALL, from_device);
  c->stalled = 1;
  c->stage = CTRL_DONE;
  return 1;
}

static int control_setup(SimControl* c, SimRng* rng, SimTransaction* t) {
  if (c->route.used) {
    if (c->split_phase == 0) {
      sim_txn_split(t, &c->route, 0, USB_XFER_CONTROL);
      sim_txn_token(t, USB_PID_SETUP, c->addr, 0);
      sim_txn_data(t, USB_PID_DATA0, c->setup, 8, 0);
      sim_txn_handshake(t, USB_PID_ACK, 1);  // the hub took it
      c->split_phase = 1;
      return 0;
    }
    sim_txn_split(t, &c->route, 1, USB_XFER_CONTROL);
    sim_txn_token(t, USB_PID_SETUP, c->addr, 0);
    if (sim_rng_chance(rng, kSplitNyetPercent, 100)) {
      sim_txn_handshake(t, USB_PID_NYET, 1);
      return 0;
    }
    sim_txn_handshake(t, USB_PID_ACK, 1);
  } else {
    sim_txn_token(t, USB_PID_SETUP, c->addr, 0);
    sim_txn_data(t, USB_PID_DATA0, c->setup, 8, 0);
    sim_txn_handshake(t, USB_PID_ACK, 1);
  }
  control_next_stage(c);
  return 0;
}

// The payload of the next data stage packet; *last is set when it ends the stage.
static uint16_t control_chunk(const SimControl* c, int* last) {
  uint16_t left = (uint16_t)(c->data_len - c->offset);
  uint16_t n = left < c->max_packet ? left : c->max_packet;
  *last = (c->offset + n == c->data_len) && (n < c->max_packet || !c->need_zlp);
  return n;
}

static int control_data_in(SimControl* c, SimRng* rng, SimTransaction* t) {
  int last;
  uint16_t n = control_chunk(c, &last);
  if (c->route.used) {
    if (c->split_phase == 0) {
      sim_txn_split(t, &c->route, 0, USB_XFER_CONTROL);
      sim_txn_token(t, USB_PID_IN, c->addr, 0);
      sim_txn_handshake(t, USB_PID_ACK, 1);
      c->split_phase = 1;
      return 0;
    }
    sim_txn_split(t, &c->route, 1, USB_XFER_CONTROL);
    sim_txn_token(t, USB_PID_IN, c->addr, 0);
    if (sim_rng_chance(rng, kSplitNyetPercent, 100)) {
      sim_txn_handshake(t, USB_PID_NYET, 1);
      return 0;
    }
    c->split_phase = 0;
    if (c->refuse) return control_stall(c, t, 1);
    if (c->naks_left > 0 && sim_rng_chance(rng, kControlNakPercent, 100)) {
      c->naks_left--;
      sim_txn_handshake(t, USB_PID_NAK, 1);
      return 0;
    }
    // The hub already acknowledged the device; the host does not answer a
    // complete-split's data.
    sim_txn_data(t, data_pid(c->toggle), c->data + c->offset, n, 1);
  } else {
    sim_txn_token(t, USB_PID_IN, c->addr, 0);
    if (c->refuse) return control_stall(c, t, 1);
    if (c->naks_left > 0 && sim_rng_chance(rng, kControlNakPercent, 100)) {
      c->naks_left--;
      sim_txn_handshake(t, USB_PID_NAK, 1);
      return 0;
    }
    sim_txn_data(t, data_pid(c->toggle), c->data + c->offset, n, 1);
    sim_txn_handshake(t, USB_PID_ACK, 0);
  }
  c->toggle ^= 1;
  c->offset = (uint16_t)(c->offset + n);
  if (last) control_next_stage(c);
  return 0;
}

static int control_data_out(SimControl* c, SimRng* rng, SimTransaction* t) {
  int last;
  uint16_t n = control_chunk(c, &last);
  if (c->route.used && c->split_phase == 0) {
    sim_txn_split(t, &c->route, 0, USB_XFER_CONTROL);
    sim_txn_token(t, USB_PID_OUT, c->addr, 0);
    sim_txn_data(t, data_pid(c->toggle), c->data + c->offset, n, 0);
    sim_txn_handshake(t, USB_PID_ACK, 1);
    c->split_phase = 1;
    return 0;
  }
  if (c->route.used) {
    sim_txn_split(t, &c->route, 1, USB_XFER_CONTROL);
    sim_txn_token(t, USB_PID_OUT, c->addr, 0);
    if (sim_rng_chance(rng, kSplitNyetPercent, 100)) {
      sim_txn_handshake(t, USB_PID_NYET, 1);
      return 0;
    }
    c->split_phase = 0;
  } else {
    sim_txn_token(t, USB_PID_OUT, c->addr, 0);
    sim_txn_data(t, data_pid(c->toggle), c->data + c->offset, n, 0);
  }
  if (c->refuse) return control_stall(c, t, 1);
  if (c->naks_left > 0 && sim_rng_chance(rng, kControlNakPercent, 100)) {
    c->naks_left--;
    sim_txn_handshake(t, USB_PID_NAK, 1);
    return 0;
  }
  sim_txn_handshake(t, USB_PID_ACK, 1);
  c->toggle ^= 1;
  c->offset = (uint16_t)(c->offset + n);
  if (last) control_next_stage(c);
  return 0;
}

static int control_status(SimControl* c, SimRng* rng, SimTransaction* t) {
  // The status stage runs against the data stage: IN after OUT data or none.
  int in = !(setup_length(c) && setup_is_in(c));
  if (c->route.used && c->split_phase == 0) {
    sim_txn_split(t, &c->route, 0, USB_XFER_CONTROL);
    sim_txn_token(t, in ? USB_PID_IN : USB_PID_OUT, c->addr, 0);
    if (!in) sim_txn_data(t, USB_PID_DATA1, nullptr, 0, 0);
    sim_txn_handshake(t, USB_PID_ACK, 1);
    c->split_phase = 1;
    return 0;
  }
  if (c->route.used) {
    sim_txn_split(t, &c->route, 1, USB_XFER_CONTROL);
    sim_txn_token(t, in ? USB_PID_IN : USB_PID_OUT, c->addr, 0);
    if (sim_rng_chance(rng, kSplitNyetPercent, 100)) {
      sim_txn_handshake(t, USB_PID_NYET, 1);
      return 0;
    }
    c->split_phase = 0;
  } else {
    sim_txn_token(t, in ? USB_PID_IN : USB_PID_OUT, c->addr, 0);
    if (!in) sim_txn_data(t, USB_PID_DATA1, nullptr, 0, 0);
  }
  // A request without a data stage is refused in its status stage.
  if (c->refuse) return control_stall(c, t, 1);
  if (c->naks_left > 0 && sim_rng_chance(rng, kControlNakPercent, 100)) {
    c->naks_left--;
    sim_txn_handshake(t, USB_PID_NAK, 1);
    return 0;
  }
  if (in) {
    sim_txn_data(t, USB_PID_DATA1, nullptr, 0, 1);
    if (!c->route.used) sim_txn_handshake(t, USB_PID_ACK, 0);
  } else {
    sim_txn_handshake(t, USB_PID_ACK, 1);
  }
  c->stage = CTRL_DONE;
  return 1;
}

int sim_control_step(SimControl* c, SimRng* rng, SimTransaction* t) {
  sim_txn_clear(t);
  switch (c->stage) {
    case CTRL_SETUP:
      return control_setup(c, rng, t);
    case CTRL_DATA:
      return setup_is_in(c) ? control_data_in(c, rng, t) : control_data_out(c, rng, t);
    case CTRL_STATUS:
      return control_status(c, rng, t);
    default:
      return 1;
  }
}

// ---- bulk transfers ----

void sim_bulk_begin(SimBulk* b, SimEndpoint* ep, uint32_t total, int32_t stall_at, uint32_t seq) {
  memset(b, 0, sizeof *b);
  b->ep = ep;
  b->total = total;
  b->need_zlp = (uint8_t)(total % ep->max_packet == 0);
  b->stall_at = stall_at;
  b->seq = seq;
}

// Payload bytes that look like data and cost little to make.
static void fill_payload(uint8_t* out, uint16_t n, uint32_t seq, uint32_t offset) {
  uint32_t x = seq * 2654435761u ^ (offset * 40503u + 0x6D2B79F5u);
  for (uint16_t i = 0; i < n; i++) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = (uint8_t)x;
  }
}

int sim_bulk_step(SimBulk* b, SimRng* rng, int high_speed, SimTransaction* t) {
  sim_txn_clear(t);
  SimEndpoint* ep = b->ep;
  uint32_t left = b->total - b->offset;
  uint16_t n = (uint16_t)(left < ep->max_packet ? left : ep->max_packet);
  int last = (b->offset + n == b->total) && (n < ep->max_packet || !b->need_zlp);
  uint8_t payload[USB_MAX_PAYLOAD];

  if (ep->in) {
    sim_txn_token(t, USB_PID_IN, ep->addr, ep->number);
    if (sim_rng_chance(rng, kBulkInNakPercent, 100)) {
      sim_txn_handshake(t, USB_PID_NAK, 1);
      return 0;
    }
    if (b->stall_at >= 0 && (uint32_t)b->stall_at == b->packets) {
      sim_txn_handshake(t, USB_PID_STALL, 1);
      ep->halted = 1;
      b->stalled = b->done = 1;
      return 1;
    }
    fill_payload(payload, n, b->seq, b->offset);
    sim_txn_data(t, data_pid(ep->toggle), payload, n, 1);
    sim_txn_handshake(t, USB_PID_ACK, 0);
  } else {
    if (high_speed && ep->ping) {
      // The endpoint said it had no room: ask before sending 512 bytes again.
      sim_txn_token(t, USB_PID_PING, ep->addr, ep->number);
      if (sim_rng_chance(rng, kPingNakPercent, 100)) {
        sim_txn_handshake(t, USB_PID_NAK, 1);
      } else {
        sim_txn_handshake(t, USB_PID_ACK, 1);
        ep->ping = 0;
      }
      return 0;
    }
    sim_txn_token(t, USB_PID_OUT, ep->addr, ep->number);
    fill_payload(payload, n, b->seq, b->offset);
    sim_txn_data(t, data_pid(ep->toggle), payload, n, 0);
    if (b->stall_at >= 0 && (uint32_t)b->stall_at == b->packets) {
      sim_txn_handshake(t, USB_PID_STALL, 1);
      ep->halted = 1;
      b->stalled = b->done = 1;
      return 1;
    }
    if (sim_rng_chance(rng, kBulkOutNakPercent, 100)) {
      sim_txn_handshake(t, USB_PID_NAK, 1);
      if (high_speed) ep->ping = 1;
      return 0;
    }
    if (high_speed && sim_rng_chance(rng, kBulkOutNyetPercent, 100)) {
      // Taken, but the next packet would not fit yet.
      sim_txn_handshake(t, USB_PID_NYET, 1);
      ep->ping = 1;
    } else {
      sim_txn_handshake(t, USB_PID_ACK, 1);
    }
  }
  ep->toggle ^= 1;
  b->offset += n;
  b->packets++;
  if (last) b->done = 1;
  return last;
}

// ---- interrupt polls ----

void sim_interrupt_poll(SimEndpoint* ep, SimRng* rng, int nak_percent, uint16_t report_len,
                        SimTransaction* t) {
  sim_txn_clear(t);
  sim_txn_token(t, USB_PID_IN, ep->addr, ep->number);
  if (sim_rng_chance(rng, (uint32_t)nak_percent, 100)) {
    sim_txn_handshake(t, USB_PID_NAK, 1);
    return;
  }
  uint8_t report[64];
  if (report_len > sizeof report) report_len = sizeof report;
  fill_payload(report, report_len, (uint32_t)sim_rng_next(rng), 0);
  sim_txn_data(t, data_pid(ep->toggle), report, report_len, 1);
  sim_txn_handshake(t, USB_PID_ACK, 0);
  ep->toggle ^= 1;
}

void sim_split_interrupt_start(SimEndpoint* ep, const SimSplitRoute* route, SimTransaction* t) {
  sim_txn_clear(t);
  // A periodic start-split gets no handshake: the hub just queues it.
  sim_txn_split(t, route, 0, USB_XFER_INTERRUPT);
  sim_txn_token(t, USB_PID_IN, ep->addr, ep->number);
}

int sim_split_interrupt_complete(SimEndpoint* ep, const SimSplitRoute* route, SimRng* rng,
                                 int allow_nyet, SimTransaction* t) {
  sim_txn_clear(t);
  sim_txn_split(t, route, 1, USB_XFER_INTERRUPT);
  sim_txn_token(t, USB_PID_IN, ep->addr, ep->number);
  if (allow_nyet && sim_rng_chance(rng, 40, 100)) {
    sim_txn_handshake(t, USB_PID_NYET, 1);
    return 0;
  }
  if (sim_rng_chance(rng, 85, 100)) {
    sim_txn_handshake(t, USB_PID_NAK, 1);
    return 1;
  }
  uint8_t report[4];
  fill_payload(report, ep->max_packet < 4 ? ep->max_packet : 4, (uint32_t)sim_rng_next(rng), 0);
  sim_txn_data(t, data_pid(ep->toggle), report, ep->max_packet < 4 ? ep->max_packet : 4, 1);
  ep->toggle ^= 1;
  return 1;
}
