// Frame scheduler of the simulated bus.
//
// The bus is built one (micro)frame at a time into a queue that bus_sim_next
// drains. A frame holds, in this order: the SOF (full and high speed), the
// periodic transactions that are due (interrupt polls, split interrupt polls
// at high speed), then non-periodic work (control and bulk transfers) for as
// long as the next transaction fits before the end-of-frame margin. A
// transaction that does not fit is kept and opens the next frame's
// non-periodic part, so no transaction straddles a SOF.
//
// Non-periodic work runs one transfer at a time: the enumeration script
// first, then randomly chosen class traffic. A STALLed bulk transfer is
// followed by a CLEAR_FEATURE(ENDPOINT_HALT) request that resets the
// endpoint's toggle, as a host driver does.
#include "backend/bus_simulator.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "backend/sim_rng.h"
#include "backend/sim_transfers.h"

enum {
  QUEUE_MAX = 2048,       // packets per frame, far above what a frame's bit budget allows
  ARENA_BYTES = 1 << 16,  // bytes per frame, likewise
};

// Standard requests.
enum : uint8_t {
  REQ_GET_STATUS = 0,
  REQ_CLEAR_FEATURE = 1,
  REQ_SET_ADDRESS = 5,
  REQ_GET_DESCRIPTOR = 6,
  REQ_SET_CONFIGURATION = 9,
};

// What the current non-periodic work is.
enum WorkKind { WORK_NONE = 0, WORK_CONTROL, WORK_BULK };

struct QueuedPacket {
  uint32_t offset;     // into the arena
  uint16_t length;     // packet length
  uint8_t corrupted;   // CRC damaged on purpose
  uint64_t time_ns;    // bus time stamp
};

struct BusSimulator {
  UsbSpeed speed;              // bus speed
  SimRng rng;                  // every random choice
  DeviceModel model;           // descriptors of the enumerated device
  uint32_t corrupt_one_in;     // one in this many packets gets a bad CRC (0: none)

  uint64_t bit_ps;             // one bit time in picoseconds
  uint64_t frame_ps;           // frame or microframe length in picoseconds
  uint64_t frame_index;        // frames (microframes at high speed) built so far
  uint16_t first_frame_number; // frame number of the first SOF
  uint64_t now_ps;             // bus time of the next free bit in the frame being built

  QueuedPacket queue[QUEUE_MAX];  // packets of the frame being drained
  int queue_count;                // packets in it
  int queue_pos;                  // next one to hand out
  uint8_t arena[ARENA_BYTES];     // their bytes
  uint32_t arena_used;            // bytes used in the arena
  SimPacketView view;             // what bus_sim_next returns

  // The device being enumerated and its endpoints.
  uint8_t dev_addr;            // address it gets with SET_ADDRESS
  uint8_t cur_addr;            // address it answers now (0 until SET_ADDRESS completes)
  uint8_t configured;          // SET_CONFIGURATION done
  SimEndpoint eps[3];          // bulk IN, bulk OUT, interrupt IN (only interrupt IN at low speed)
  int ep_count;                // endpoints in eps
  SimEndpoint* bulk_in;        // null at low speed
  SimEndpoint* bulk_out;       // null at low speed
  SimEndpoint* int_in;         // the interrupt IN endpoint
  uint32_t int_period;         // its polling period in frames (microframes at high speed)

  // High speed: a hub and a full-speed device on its port 2.
  SimEndpoint hub_status;      // the hub's interrupt endpoint
  SimEndpoint fs_int_in;       // the full-speed device's interrupt endpoint
  SimSplitRoute fs_route;      // how to reach it
  int split_phase;             // periodic split poll: 0 idle, 1 started, 2 NYET seen

  // Non-periodic work.
  WorkKind work;               // what runs now
  SimControl ctrl;             // the control transfer, when work is WORK_CONTROL
  int ctrl_effect;             // 1: apply the request's effect on the device when it completes
  SimBulk bulk;                // the bulk transfer, when work is WORK_BULK
  uint32_t bulk_seq;           // bulk transfers started
  SimEndpoint* halted;         // endpoint waiting for CLEAR_FEATURE(ENDPOINT_HALT)
  int enum_step;               // next request of the enumeration script
  uint64_t next_work_frame;    // no new work before this frame
  SimTransaction pending;      // built but not yet placed: did not fit in its frame
  int pending_valid;           // pending holds a transaction
  int pending_finishes;        // placing it finishes the current work
};

static int high_speed(const BusSimulator* s) { return s->speed == USB_SPEED_HIGH; }
static uint32_t frames_per_ms(const BusSimulator* s) { return high_speed(s) ? 8 : 1; }

// ---- timing ----

// Bits a packet of `len` bytes occupies on the wire: sync, the bytes with
// about one stuffed bit in fifty, end of packet.
static uint64_t packet_bits(const BusSimulator* s, uint32_t len, int is_sof) {
  uint64_t bits = (uint64_t)len * 8;
  bits += bits / 50;
  if (high_speed(s)) return bits + 32 + (is_sof ? 40 : 8);
  return bits + 8 + 3;
}

// Gap before a packet inside a transaction, in bits. Turnaround before a
// device's answer; a host's packets follow each other closely.
static uint32_t inner_gap_bits(BusSimulator* s, int from_device) {
  if (high_speed(s)) return from_device ? sim_rng_range(&s->rng, 90, 180) : sim_rng_range(&s->rng, 88, 120);
  return from_device ? sim_rng_range(&s->rng, 2, 7) : sim_rng_range(&s->rng, 2, 4);
}

// Gap between two transactions, in bits: host scheduling slack.
static uint32_t outer_gap_bits(BusSimulator* s) {
  return high_speed(s) ? sim_rng_range(&s->rng, 150, 800) : sim_rng_range(&s->rng, 8, 40);
}

// Longest time a transaction can take, for the fits-in-frame test.
static uint64_t txn_worst_ps(const BusSimulator* s, const SimTransaction* t) {
  uint64_t bits = high_speed(s) ? 800 : 40;
  for (int i = 0; i < t->count; i++) bits += packet_bits(s, t->pkt[i].length, 0) + (high_speed(s) ? 180 : 7);
  return bits * s->bit_ps;
}

static uint64_t frame_start_ps(const BusSimulator* s) { return s->frame_index * s->frame_ps; }
// Hosts stop starting transactions near the end of a frame; keep 5% free.
static uint64_t frame_limit_ps(const BusSimulator* s) { return frame_start_ps(s) + s->frame_ps - s->frame_ps / 20; }

// ---- the frame queue ----

static int queue_fits(const BusSimulator* s, const SimTransaction* t) {
  uint32_t bytes = 0;
  for (int i = 0; i < t->count; i++) bytes += t->pkt[i].length;
  return s->queue_count + t->count <= QUEUE_MAX && s->arena_used + bytes <= ARENA_BYTES;
}

// Damages the CRC of a token or a data packet with payload, never anything
// else, so the packet stays recognisable and only its check fails.
static int corrupt_crc(uint8_t* p, uint32_t len, SimRng* rng) {
  uint8_t pid = p[0];
  if (len == 3 && (pid == USB_PID_SOF || pid == USB_PID_SETUP || pid == USB_PID_IN ||
                   pid == USB_PID_OUT || pid == USB_PID_PING)) {
    p[2] ^= (uint8_t)(sim_rng_range(rng, 1, 31) << 3);
    return 1;
  }
  if (len >= 4 && (pid == USB_PID_DATA0 || pid == USB_PID_DATA1 || pid == USB_PID_DATA2 ||
                   pid == USB_PID_MDATA)) {
    p[len - 1] ^= (uint8_t)sim_rng_range(rng, 1, 255);
    return 1;
  }
  return 0;
}

static void queue_packet(BusSimulator* s, const uint8_t* bytes, uint16_t len, uint64_t at_ps) {
  QueuedPacket* q = &s->queue[s->queue_count++];
  q->offset = s->arena_used;
  q->length = len;
  q->time_ns = at_ps / 1000;
  q->corrupted = 0;
  uint8_t* dst = s->arena + s->arena_used;
  memcpy(dst, bytes, len);
  s->arena_used += len;
  if (s->corrupt_one_in && sim_rng_below(&s->rng, s->corrupt_one_in) == 0)
    q->corrupted = (uint8_t)corrupt_crc(dst, len, &s->rng);
}

// Places a transaction at the current bus time and advances the time past it.
static void place(BusSimulator* s, const SimTransaction* t) {
  s->now_ps += (uint64_t)outer_gap_bits(s) * s->bit_ps;
  for (int i = 0; i < t->count; i++) {
    const SimWirePacket* p = &t->pkt[i];
    if (i > 0) s->now_ps += (uint64_t)inner_gap_bits(s, p->from_device) * s->bit_ps;
    queue_packet(s, p->bytes, p->length, s->now_ps);
    s->now_ps += packet_bits(s, p->length, 0) * s->bit_ps;
  }
}

// Places a transaction when it fits in the rest of the frame; returns 0 otherwise.
static int try_place(BusSimulator* s, const SimTransaction* t) {
  if (s->now_ps + txn_worst_ps(s, t) > frame_limit_ps(s) || !queue_fits(s, t)) return 0;
  place(s, t);
  return 1;
}

// ---- the device's side of control requests ----

static void make_setup(uint8_t out[8], uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                       uint16_t length) {
  out[0] = type;
  out[1] = request;
  out[2] = (uint8_t)(value & 0xFF);
  out[3] = (uint8_t)(value >> 8);
  out[4] = (uint8_t)(index & 0xFF);
  out[5] = (uint8_t)(index >> 8);
  out[6] = (uint8_t)(length & 0xFF);
  out[7] = (uint8_t)(length >> 8);
}

// Starts a control request to the enumerated device; the device answers
// standard GET_DESCRIPTOR from its model.
static void begin_device_request(BusSimulator* s, const uint8_t setup[8], const uint8_t* answer,
                                 uint16_t answer_len, int refuse) {
  if (setup[0] == 0x80 && setup[1] == REQ_GET_DESCRIPTOR) {
    uint16_t len = 0;
    const uint8_t* desc = device_model_descriptor(&s->model, setup[3], setup[2], &len);
    answer = desc;
    answer_len = len;
    refuse = desc == nullptr;
  }
  sim_control_begin(&s->ctrl, s->cur_addr, setup, answer, answer_len, refuse, s->model.max_packet0, nullptr);
  s->work = WORK_CONTROL;
  s->ctrl_effect = 1;
}

// What a completed request changes on the device.
static void apply_request_effect(BusSimulator* s) {
  const uint8_t* st = s->ctrl.setup;
  if (s->ctrl.stalled) return;
  uint16_t value = (uint16_t)(st[2] | (st[3] << 8));
  if (st[0] == 0x00 && st[1] == REQ_SET_ADDRESS) {
    s->cur_addr = (uint8_t)(value & 0x7F);
    for (int i = 0; i < s->ep_count; i++) s->eps[i].addr = s->cur_addr;
  } else if (st[0] == 0x00 && st[1] == REQ_SET_CONFIGURATION) {
    s->configured = value != 0;
    for (int i = 0; i < s->ep_count; i++) {
      s->eps[i].toggle = 0;
      s->eps[i].halted = 0;
      s->eps[i].ping = 0;
    }
  } else if (st[0] == 0x02 && st[1] == REQ_CLEAR_FEATURE && value == 0) {
    for (int i = 0; i < s->ep_count; i++) {
      uint8_t address = (uint8_t)(s->eps[i].number | (s->eps[i].in ? 0x80 : 0));
      if (address == st[4]) {
        s->eps[i].toggle = 0;
        s->eps[i].halted = 0;
        s->eps[i].ping = 0;
      }
    }
  }
}

// The next request of the enumeration script; 0 when the script is over.
static int begin_enumeration_step(BusSimulator* s) {
  uint8_t setup[8];
  const DeviceModel* m = &s->model;
  // After the device descriptor and the configuration, the strings: each
  // read first with room to spare (the short answer tells its length), then
  // again with exactly that length.
  static const uint8_t kStringOrder[4] = {0, 2, 1, 3};
  int step = s->enum_step++;
  switch (step) {
    case 0:  // the first read at address 0 asks for more than the descriptor holds
      make_setup(setup, 0x80, REQ_GET_DESCRIPTOR, USB_DESC_DEVICE << 8, 0, 64);
      break;
    case 1:
      make_setup(setup, 0x00, REQ_SET_ADDRESS, s->dev_addr, 0, 0);
      break;
    case 2:
      make_setup(setup, 0x80, REQ_GET_DESCRIPTOR, USB_DESC_DEVICE << 8, 0, 18);
      break;
    case 3:  // a full-speed or low-speed device refuses this with STALL
      make_setup(setup, 0x80, REQ_GET_DESCRIPTOR, USB_DESC_DEVICE_QUALIFIER << 8, 0, 10);
      break;
    case 4:
      make_setup(setup, 0x80, REQ_GET_DESCRIPTOR, USB_DESC_CONFIGURATION << 8, 0, 9);
      break;
    case 5:
      make_setup(setup, 0x80, REQ_GET_DESCRIPTOR, USB_DESC_CONFIGURATION << 8, 0, m->config_len);
      break;
    default: {
      int k = step - 6;
      if (k < 8) {
        uint8_t index = kStringOrder[k / 2];
        uint16_t lang = index ? 0x0409 : 0;
        uint16_t len = (k % 2 == 0) ? 255 : m->string_len[index];
        make_setup(setup, 0x80, REQ_GET_DESCRIPTOR, (uint16_t)((USB_DESC_STRING << 8) | index), lang, len);
      } else if (k == 8) {
        make_setup(setup, 0x00, REQ_SET_CONFIGURATION, 1, 0, 0);
      } else {
        return 0;
      }
    }
  }
  begin_device_request(s, setup, nullptr, 0, 0);
  return 1;
}

// Occasional control traffic of a configured device: vendor and class
// requests, one the device does not know (STALL), a plain GET_STATUS.
static void begin_misc_request(BusSimulator* s) {
  uint8_t setup[8];
  uint8_t data[8];
  switch (sim_rng_below(&s->rng, 4)) {
    case 0: {
      make_setup(setup, 0xC0, 0x01, 0, 0, 4);
      for (int i = 0; i < 4; i++) data[i] = (uint8_t)sim_rng_next(&s->rng);
      begin_device_request(s, setup, data, 4, 0);
      break;
    }
    case 1:
      make_setup(setup, 0xC0, 0x7F, 0, 0, 2);
      begin_device_request(s, setup, nullptr, 0, 1);
      break;
    case 2:
      make_setup(setup, 0x41, 0x02, 0x0001, 0, 8);
      for (int i = 0; i < 8; i++) data[i] = (uint8_t)sim_rng_next(&s->rng);
      begin_device_request(s, setup, data, 8, 0);
      break;
    default:
      make_setup(setup, 0x80, REQ_GET_STATUS, 0, 0, 2);
      data[0] = 0x02;  // remote wake-up enabled
      data[1] = 0;
      begin_device_request(s, setup, data, 2, 0);
      break;
  }
}

// GET_STATUS to the full-speed device behind the hub, through split transactions.
static void begin_split_request(BusSimulator* s) {
  uint8_t setup[8];
  static const uint8_t kStatus[2] = {0, 0};
  make_setup(setup, 0x80, REQ_GET_STATUS, 0, 0, 2);
  sim_control_begin(&s->ctrl, s->fs_int_in.addr, setup, kStatus, 2, 0, 64, &s->fs_route);
  s->work = WORK_CONTROL;
  s->ctrl_effect = 0;
}

static void begin_bulk(BusSimulator* s) {
  SimEndpoint* ep = sim_rng_chance(&s->rng, 60, 100) ? s->bulk_in : s->bulk_out;
  uint32_t mp = ep->max_packet;
  uint32_t packets = sim_rng_range(&s->rng, 0, high_speed(s) ? 24 : 12);
  // Most transfers end in a short packet; one in eight ends on a packet
  // boundary and so with a zero-length packet.
  uint32_t tail = sim_rng_chance(&s->rng, 1, 8) ? 0 : sim_rng_range(&s->rng, 1, mp - 1);
  uint32_t total = packets * mp + tail;
  if (total == 0) total = mp;
  uint32_t npk = total / mp + 1;
  int32_t stall_at = sim_rng_chance(&s->rng, 1, 60) ? (int32_t)sim_rng_below(&s->rng, npk) : -1;
  sim_bulk_begin(&s->bulk, ep, total, stall_at, s->bulk_seq++);
  s->work = WORK_BULK;
}

// Chooses the next non-periodic work; 0 when the host has none this frame.
static int begin_work(BusSimulator* s) {
  if (s->frame_index < s->next_work_frame) return 0;
  if (s->halted) {
    uint8_t setup[8];
    uint8_t address = (uint8_t)(s->halted->number | (s->halted->in ? 0x80 : 0));
    make_setup(setup, 0x02, REQ_CLEAR_FEATURE, 0, address, 0);  // ENDPOINT_HALT
    s->halted = nullptr;
    begin_device_request(s, setup, nullptr, 0, 0);
    return 1;
  }
  if (!s->configured) return begin_enumeration_step(s);
  // Class traffic: chances per frame, scaled so that rates per second are
  // alike at every speed.
  uint32_t per = 1000 * frames_per_ms(s);
  if (s->bulk_in && sim_rng_chance(&s->rng, 150, per)) {
    begin_bulk(s);
    return 1;
  }
  if (sim_rng_chance(&s->rng, 1, 2 * per)) {
    begin_misc_request(s);
    return 1;
  }
  if (high_speed(s) && sim_rng_chance(&s->rng, 1, per)) {
    begin_split_request(s);
    return 1;
  }
  s->next_work_frame = s->frame_index + 1;  // nothing to do until the next frame
  return 0;
}

static void finish_work(BusSimulator* s) {
  if (s->work == WORK_CONTROL) {
    if (s->ctrl_effect) apply_request_effect(s);
    // Drivers pause between enumeration requests.
    if (!s->configured) s->next_work_frame = s->frame_index + sim_rng_range(&s->rng, 1, 3) * frames_per_ms(s);
  } else if (s->work == WORK_BULK && s->bulk.stalled) {
    s->halted = s->bulk.ep;
  }
  s->work = WORK_NONE;
}

// Builds the next transaction of the current work into `pending`.
static void build_pending(BusSimulator* s) {
  if (s->work == WORK_CONTROL)
    s->pending_finishes = sim_control_step(&s->ctrl, &s->rng, &s->pending);
  else
    s->pending_finishes = sim_bulk_step(&s->bulk, &s->rng, high_speed(s), &s->pending);
  s->pending_valid = 1;
}

// ---- periodic traffic ----

static void schedule_periodic(BusSimulator* s) {
  SimTransaction t;
  uint64_t f = s->frame_index;
  if (s->configured && s->int_in) {
    if (f % s->int_period == 0) {
      uint16_t report = s->speed == USB_SPEED_LOW ? 8 : 16;
      sim_interrupt_poll(s->int_in, &s->rng, 85, (uint16_t)sim_rng_range(&s->rng, 1, report), &t);
      try_place(s, &t);
    }
  }
  if (!high_speed(s)) return;
  // The hub's status endpoint every 256 ms, never with news.
  if (f % 2048 == 5) {
    sim_txn_clear(&t);
    sim_txn_token(&t, USB_PID_IN, s->hub_status.addr, s->hub_status.number);
    sim_txn_handshake(&t, USB_PID_NAK, 1);
    try_place(s, &t);
  }
  // The full-speed device's interrupt endpoint every 8 ms through the hub:
  // start-split in microframe 1, complete-splits from microframe 3 on.
  uint64_t uf = f % 64;
  if (uf == 1) {
    sim_split_interrupt_start(&s->fs_int_in, &s->fs_route, &t);
    if (try_place(s, &t)) s->split_phase = 1;
  } else if (s->split_phase && uf >= 3) {
    int over = sim_split_interrupt_complete(&s->fs_int_in, &s->fs_route, &s->rng, uf < 5, &t);
    if (try_place(s, &t) && over) s->split_phase = 0;
    if (uf >= 6) s->split_phase = 0;  // the translator gives up on it
  }
}

// ---- frames ----

static void build_frame(BusSimulator* s) {
  s->queue_count = 0;
  s->queue_pos = 0;
  s->arena_used = 0;
  s->now_ps = frame_start_ps(s);
  if (s->speed != USB_SPEED_LOW) {
    uint8_t sof[3];
    uint16_t number = (uint16_t)((s->first_frame_number + s->frame_index / frames_per_ms(s)) & 0x7FF);
    usb_build_sof(sof, number);
    queue_packet(s, sof, 3, s->now_ps);
    s->now_ps += packet_bits(s, 3, 1) * s->bit_ps;
  } else {
    s->now_ps += 20 * s->bit_ps;  // the keep-alive at the start of the frame
  }
  schedule_periodic(s);
  for (;;) {
    if (!s->pending_valid) {
      if (s->work == WORK_NONE && !begin_work(s)) break;
      build_pending(s);
    }
    if (!try_place(s, &s->pending)) break;
    s->pending_valid = 0;
    if (s->pending_finishes) finish_work(s);
  }
  s->frame_index++;
}

BusSimulator* bus_sim_create(UsbSpeed speed, uint64_t seed) {
  BusSimulator* s = (BusSimulator*)calloc(1, sizeof(BusSimulator));
  if (!s) return nullptr;
  s->speed = speed;
  sim_rng_seed(&s->rng, seed);
  device_model_init(&s->model, speed);
  s->corrupt_one_in = 10000;
  switch (speed) {
    case USB_SPEED_LOW:
      s->bit_ps = 666667;  // 1.5 Mb/s
      s->frame_ps = 1000000000ull;
      break;
    case USB_SPEED_FULL:
      s->bit_ps = 83333;  // 12 Mb/s
      s->frame_ps = 1000000000ull;
      break;
    default:
      s->speed = USB_SPEED_HIGH;
      s->bit_ps = 2083;  // 480 Mb/s
      s->frame_ps = 125000000ull;
      break;
  }
  s->first_frame_number = (uint16_t)sim_rng_below(&s->rng, 2048);

  // Addresses as a host hands them out: at high speed the hub and the
  // device behind it came first.
  if (high_speed(s)) {
    s->hub_status = {1, 1, 1, USB_XFER_INTERRUPT, 1, 0, 0, 0};
    s->fs_int_in = {2, 1, 1, USB_XFER_INTERRUPT, 4, 0, 0, 0};
    s->fs_route = {1, 1, 2, 0};
    s->dev_addr = (uint8_t)sim_rng_range(&s->rng, 3, 20);
  } else {
    s->dev_addr = (uint8_t)sim_rng_range(&s->rng, 1, 20);
  }
  s->ep_count = s->model.endpoint_count;
  for (int i = 0; i < s->ep_count; i++) {
    const ModelEndpoint* me = &s->model.endpoints[i];
    SimEndpoint* e = &s->eps[i];
    e->addr = 0;
    e->number = (uint8_t)(me->address & 0x0F);
    e->in = (uint8_t)(me->address >> 7);
    e->type = me->type;
    e->max_packet = me->max_packet;
    if (me->type == USB_XFER_INTERRUPT) {
      s->int_in = e;
      // bInterval counts frames below high speed, and is a power-of-two
      // exponent of microframes at high speed.
      uint32_t iv = me->interval ? me->interval : 1;
      s->int_period = high_speed(s) ? (1u << (iv > 16 ? 15 : iv - 1)) : iv;
    }
    if (me->type == USB_XFER_BULK && e->in) s->bulk_in = e;
    if (me->type == USB_XFER_BULK && !e->in) s->bulk_out = e;
  }
  // The device attaches after a few frames of an idle bus.
  s->next_work_frame = sim_rng_range(&s->rng, 2, 4) * frames_per_ms(s);
  return s;
}

const SimPacketView* bus_sim_next(BusSimulator* s) {
  while (s->queue_pos >= s->queue_count) build_frame(s);
  const QueuedPacket* q = &s->queue[s->queue_pos++];
  s->view.bytes = s->arena + q->offset;
  s->view.length = q->length;
  s->view.timestamp_ns = q->time_ns;
  s->view.corrupted = q->corrupted;
  return &s->view;
}

void bus_sim_set_corruption(BusSimulator* s, uint32_t one_in) { s->corrupt_one_in = one_in; }

void bus_sim_destroy(BusSimulator* s) { free(s); }
