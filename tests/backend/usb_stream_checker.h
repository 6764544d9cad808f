// A protocol checker for a stream of raw USB 2.0 packets, written apart from
// the simulator so that it can catch the simulator's mistakes: packet
// validity (PID, length, CRC5 of tokens and SPLITs, CRC16), the transaction
// grammar (what may follow a token, with and without split transactions),
// DATA0/DATA1 toggles per endpoint, control transfers from setup to status,
// SOF spacing and frame numbers, time stamps, and the descriptors the device
// hands out.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "decode/cells/usb_crc.h"

namespace usbcheck {

enum : uint8_t {
  OUT = 0xE1, IN = 0x69, SOF = 0xA5, SETUP = 0x2D, DATA0 = 0xC3, DATA1 = 0x4B, DATA2 = 0x87,
  MDATA = 0x0F, ACK = 0xD2, NAK = 0x5A, STALL = 0x1E, NYET = 0x96, ERR = 0x3C, SPLIT = 0x78,
  PING = 0xB4,
};

inline bool is_token(uint8_t pid) { return pid == OUT || pid == IN || pid == SETUP || pid == PING || pid == SOF; }
inline bool is_data(uint8_t pid) { return pid == DATA0 || pid == DATA1 || pid == DATA2 || pid == MDATA; }
inline bool is_handshake(uint8_t pid) { return pid == ACK || pid == NAK || pid == STALL || pid == NYET || pid == ERR; }

// CRC5 over `nbits` bits written out from the USB definition (generator
// x^5 + x^2 + 1, register preset to ones, result inverted, sent high bit
// first), kept apart from the simulator's own routine.
inline uint8_t ref_crc5(uint32_t value, int nbits) {
  int reg[5] = {1, 1, 1, 1, 1};
  for (int i = 0; i < nbits; i++) {
    int in = (value >> i) & 1;
    int fb = in ^ reg[4];
    reg[4] = reg[3];
    reg[3] = reg[2];
    reg[2] = reg[1] ^ fb;
    reg[1] = reg[0];
    reg[0] = fb;
  }
  // Sent bit k (k = 0 first) is the inverted reg[4 - k]; it lands in bit k.
  uint8_t out = 0;
  for (int k = 0; k < 5; k++)
    if (!reg[4 - k]) out |= (uint8_t)(1 << k);
  return out;
}

inline std::string hex(const std::vector<uint8_t>& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < b.size() && i < 16; i++) {
    s += d[b[i] >> 4];
    s += d[b[i] & 15];
  }
  return s;
}

inline uint32_t ep_key(uint8_t addr, uint8_t ep, bool in) { return (uint32_t)addr << 8 | (uint32_t)ep << 1 | (in ? 1 : 0); }

// One completed (or stalled) control transfer.
struct CheckedControl {
  uint8_t addr;               // device address
  uint8_t setup[8];           // setup packet
  std::vector<uint8_t> data;  // data stage bytes
  bool stalled;               // ended by STALL
  bool via_split;             // went through a transaction translator
};

class UsbStreamChecker {
 public:
  // speed: 1 low, 2 full, 3 high.
  explicit UsbStreamChecker(int speed) : speed_(speed) {
    max_packet0_ = speed == 1 ? 8 : 64;
    bulk_size_ = speed == 3 ? 512 : 64;
  }
  // Adds one packet; `corrupted` marks a packet whose CRC was damaged on purpose.
  void feed(const uint8_t* bytes, uint32_t length, uint64_t ts, bool corrupted_flag) {
    Pkt p;
    p.b.assign(bytes, bytes + length);
    p.ts = ts;
    p.corrupted = corrupted_flag;
    p.index = packets++;
    if (length) pid_counts[bytes[0]]++;
    if (corrupted_flag) corrupted++;
    bool ok = valid_packet(p);
    if (corrupted_flag && ok) fail(p.index, "marked as damaged but passes its checks: " + hex(p.b));
    if (!corrupted_flag && !ok) fail(p.index, "invalid packet " + hex(p.b));
    if (have_ts_ && ts <= last_ts_) fail(p.index, "time stamp does not increase");
    have_ts_ = true;
    last_ts_ = ts;
    if (length == 3 && bytes[0] == SOF) check_sof(p);
    pending_.push_back(std::move(p));
    parse_pending(false);
  }
  // Checks what is left over at the end of the stream.
  void finish() { parse_pending(true); }

  // Problems found, each naming the packet index; at most 50 kept.
  std::vector<std::string> errors;
  uint64_t error_count = 0;
  // Packets seen per PID byte.
  std::map<uint8_t, uint64_t> pid_counts;
  uint64_t packets = 0;
  uint64_t corrupted = 0;
  uint64_t max_size_bulk = 0;   // data packets of the full bulk size of the speed (512 or 64)
  uint64_t short_data = 0;      // data packets on endpoints other than 0 shorter than that, zero-length included
  uint64_t zero_length = 0;     // zero-length data packets outside control transfers
  uint64_t stalls = 0;
  std::vector<CheckedControl> controls;  // every control transfer, in order
  std::vector<std::u16string> strings;   // string descriptors read whole

 private:
  struct Pkt {
    std::vector<uint8_t> b;
    uint64_t ts;
    bool corrupted;
    uint64_t index;
  };
  struct Split {
    bool used = false;
    bool complete = false;
    uint8_t et = 0;  // endpoint type
  };
  struct Control {
    bool active = false;
    CheckedControl c;
    uint8_t toggle = 1;
    bool status_seen = false;
    bool data_short = false;  // a short data packet ended the data stage
  };

  void fail(uint64_t index, const std::string& what) {
    error_count++;
    if (errors.size() < 50) errors.push_back("packet " + std::to_string(index) + ": " + what);
  }

  bool valid_packet(const Pkt& p) {
    const std::vector<uint8_t>& b = p.b;
    if (b.empty()) return false;
    uint8_t pid = b[0];
    if ((pid & 0x0F) != (uint8_t)(~pid >> 4 & 0x0F)) return false;
    if (b.size() == 1) return is_handshake(pid);
    if (pid == SPLIT) {
      if (b.size() != 4) return false;
      uint32_t f = b[1] | (uint32_t)b[2] << 8 | (uint32_t)b[3] << 16;
      return ref_crc5(f & 0x7FFFF, 19) == (f >> 19);
    }
    if (pid == SOF || pid == SETUP || pid == IN || pid == OUT || pid == PING) {
      if (b.size() != 3) return false;
      uint16_t f = (uint16_t)(b[1] | b[2] << 8);
      uint8_t want = crc5_usb((uint16_t)(f & 0x7FF));
      if (want != ref_crc5(f & 0x7FF, 11)) fail(p.index, "the two CRC5 routines disagree");
      return want == (f >> 11);
    }
    if (is_data(pid)) {
      if (b.size() < 3) return false;
      uint16_t crc = crc16_usb(b.data() + 1, b.size() - 3);
      return (uint8_t)(crc & 0xFF) == b[b.size() - 2] && (uint8_t)(crc >> 8) == b[b.size() - 1];
    }
    return false;
  }

  void check_sof(const Pkt& p) {
    uint16_t frame = (uint16_t)((p.b[1] | p.b[2] << 8) & 0x7FF);
    if (speed_ == 1) fail(p.index, "SOF on a low-speed bus");
    if (have_sof_) {
      uint64_t period = speed_ == 3 ? 125000 : 1000000;
      if (p.ts - last_sof_ts_ != period)
        fail(p.index, "SOF " + std::to_string(p.ts - last_sof_ts_) + " ns after the previous one");
      if (speed_ == 3 && frame == last_frame_) {
        if (++frame_repeats_ > 7) fail(p.index, "frame number repeated more than 8 times");
      } else {
        if (frame != ((last_frame_ + 1) & 0x7FF)) fail(p.index, "frame number does not follow the last");
        if (speed_ == 3 && frame_repeats_ != 7) fail(p.index, "frame number changed before 8 microframes");
        frame_repeats_ = 0;
      }
    }
    have_sof_ = true;
    last_sof_ts_ = p.ts;
    last_frame_ = frame;
  }

  void parse_pending(bool at_end) {
    size_t pos = 0;
    while (pos < pending_.size()) {
      size_t used = parse_transaction(pos, at_end);
      if (used == 0) break;
      pos += used;
    }
    pending_.erase(pending_.begin(), pending_.begin() + (long)pos);
  }

  // Parses one transaction starting at pending_[pos]; returns the packets it
  // used, or 0 when more packets are needed.
  size_t parse_transaction(size_t pos, bool at_end) {
    // Longest transaction: SPLIT, token, data, handshake.
    if (!at_end && pending_.size() - pos < 5) return 0;
    auto at = [&](size_t k) -> const Pkt* { return pos + k < pending_.size() ? &pending_[pos + k] : nullptr; };
    auto pid_at = [&](size_t k) -> int { const Pkt* p = at(k); return p && !p->b.empty() ? p->b[0] : -1; };

    const Pkt* first = at(0);
    size_t k = 0;
    Split split;
    if (pid_at(0) == SPLIT) {
      split.used = true;
      split.complete = (first->b[1] >> 7) != 0;
      split.et = (first->b[3] >> 1) & 3;
      if (speed_ != 3) fail(first->index, "SPLIT below high speed");
      if (!split.complete && (first->b[3] & 1)) fail(first->index, "E bit set on a non-isochronous start-split");
      k = 1;
      if (pid_at(1) != IN && pid_at(1) != OUT && pid_at(1) != SETUP) {
        fail(first->index, "SPLIT not followed by IN, OUT or SETUP");
        return 1;
      }
    }
    const Pkt* tok = at(k);
    if (!tok) return 1;
    int pid = pid_at(k);
    if (pid == SOF) return 1;
    if (!is_token(pid)) {
      fail(tok->index, "expected a token, got " + hex(tok->b));
      return 1;
    }
    uint16_t field = (uint16_t)(tok->b[1] | tok->b[2] << 8);
    uint8_t addr = field & 0x7F, ep = (field >> 7) & 0x0F;
    if (split.used && split.et == 0 && ep != 0) fail(tok->index, "control split to an endpoint other than 0");
    k++;

    auto need = [&](size_t kk, bool (*pred)(uint8_t), const char* what) -> bool {
      int p2 = pid_at(kk);
      if (p2 < 0 && at_end) return false;  // the stream was cut inside this transaction
      if (p2 < 0 || !pred((uint8_t)p2)) {
        const Pkt* bad = at(kk);
        fail(bad ? bad->index : tok->index, std::string("expected ") + what + " after " + hex(tok->b) +
                                                (bad ? ", got " + hex(bad->b) : ", got nothing"));
        return false;
      }
      return true;
    };

    if (pid == PING) {
      if (speed_ != 3) fail(tok->index, "PING below high speed");
      if (!need(k, is_handshake, "a handshake")) return k;
      int h = pid_at(k);
      if (h != ACK && h != NAK && h != STALL) fail(at(k)->index, "PING answered with " + hex(at(k)->b));
      return k + 1;
    }

    if (pid == SETUP) {
      if (split.used && split.complete) {
        if (!need(k, is_handshake, "a handshake")) return k;
        int h = pid_at(k);
        if (h == ACK) {
          auto it = ssplit_setup_.find(addr);
          if (it == ssplit_setup_.end()) {
            fail(at(k)->index, "complete-split SETUP without a start-split");
          } else {
            open_control(tok->index, addr, it->second.data(), true);
            ssplit_setup_.erase(it);
          }
        } else if (h != NYET) {
          fail(at(k)->index, "complete-split SETUP answered with " + hex(at(k)->b));
        }
        return k + 1;
      }
      if (!need(k, is_data, "DATA0 of the setup packet")) return k;
      const Pkt* d = at(k);
      if (d->b[0] != DATA0 || d->b.size() != 11) fail(d->index, "SETUP not followed by an 8-byte DATA0: " + hex(d->b));
      if (ep != 0) fail(tok->index, "SETUP to an endpoint other than 0");
      if (!need(k + 1, is_handshake, "a handshake")) return k + 1;
      if (pid_at(k + 1) != ACK) fail(at(k + 1)->index, "setup packet not acknowledged");
      if (d->b.size() == 11) {
        if (split.used) {
          ssplit_setup_[addr] = std::vector<uint8_t>(d->b.begin() + 1, d->b.begin() + 9);
        } else {
          open_control(tok->index, addr, d->b.data() + 1, false);
        }
      }
      return k + 2;
    }

    if (pid == IN) {
      if (split.used && !split.complete) {
        // A periodic start-split gets no handshake; others are taken by the hub with ACK.
        if (split.et == 3 || split.et == 1) {
          if (is_handshake((uint8_t)pid_at(k)) || is_data((uint8_t)pid_at(k)))
            fail(at(k)->index, "periodic start-split IN answered");
          return k;
        }
        if (!need(k, is_handshake, "the hub's handshake")) return k;
        if (pid_at(k) != ACK) fail(at(k)->index, "start-split IN not taken by the hub");
        return k + 1;
      }
      int r = pid_at(k);
      if (r >= 0 && is_data((uint8_t)r)) {
        const Pkt* d = at(k);
        if (split.used) {
          // The host does not answer the data of a complete-split.
          if (pid_at(k + 1) >= 0 && is_handshake((uint8_t)pid_at(k + 1)))
            fail(at(k + 1)->index, "handshake after complete-split data");
          accept_data(*tok, *d, true);
          return k + 1;
        }
        if (!need(k + 1, is_handshake, "the host's ACK")) return k + 1;
        if (pid_at(k + 1) != ACK) fail(at(k + 1)->index, "IN data not acknowledged by the host");
        accept_data(*tok, *d, true);
        return k + 2;
      }
      if (!need(k, is_handshake, "data or a handshake")) return k;
      if (r == NYET && !split.used) fail(at(k)->index, "NYET answers an IN");
      if (r == ACK) fail(at(k)->index, "device ACKs an IN");
      if (r == STALL) stalled(addr, ep);
      return k + 1;
    }

    // OUT
    if (split.used && split.complete) {
      if (!need(k, is_handshake, "a handshake")) return k;
      int h = pid_at(k);
      auto it = ssplit_out_.find(ep_key(addr, ep, false));
      if (h == ACK || h == NYET) {
        if (h == NYET) return k + 1;  // not done yet
        if (it == ssplit_out_.end()) {
          fail(at(k)->index, "complete-split OUT without start-split data");
        } else {
          Pkt d;
          d.b.resize(it->second.second + 3, 0);
          d.b[0] = it->second.first;
          d.index = at(k)->index;
          accept_data(*tok, d, false);
          ssplit_out_.erase(it);
        }
      } else if (h == STALL) {
        stalled(addr, ep);
      }
      return k + 1;
    }
    if (!need(k, is_data, "data")) return k;
    const Pkt* d = at(k);
    if (!need(k + 1, is_handshake, "a handshake")) return k + 1;
    int h = pid_at(k + 1);
    if (split.used) {
      if (h != ACK) fail(at(k + 1)->index, "start-split OUT not taken by the hub");
      ssplit_out_[ep_key(addr, ep, false)] = {d->b[0], (uint16_t)(d->b.size() - 3)};
      // The toggle is checked when the device's answer arrives.
      return k + 2;
    }
    if (h == ACK || h == NYET) {
      if (h == NYET && speed_ != 3) fail(at(k + 1)->index, "NYET below high speed");
      accept_data(*tok, *d, false);
    } else if (h == STALL) {
      stalled(addr, ep);
    } else if (h != NAK) {
      fail(at(k + 1)->index, "OUT answered with " + hex(at(k + 1)->b));
    }
    return k + 2;
  }

  void open_control(uint64_t index, uint8_t addr, const uint8_t* setup, bool via_split) {
    Control& c = ctl_[addr];
    if (c.active && !c.status_seen) fail(index, "SETUP while a control transfer is open");
    c = Control{true, CheckedControl{addr, {}, {}, false, via_split}};
    memcpy(c.c.setup, setup, 8);
  }

  void accept_data(const Pkt& tok, const Pkt& d, bool in) {
    uint16_t field = (uint16_t)(tok.b[1] | tok.b[2] << 8);
    uint8_t addr = field & 0x7F, ep = (field >> 7) & 0x0F;
    uint8_t pid = d.b[0];
    size_t len = d.b.size() - 3;
    if (pid != DATA0 && pid != DATA1) {
      fail(d.index, "DATA2/MDATA outside isochronous transfers");
      return;
    }
    uint8_t toggle = pid == DATA1;
    if (ep == 0) {
      Control& c = ctl_[addr];
      if (!c.active) {
        fail(d.index, "control data without a setup packet");
        return;
      }
      uint16_t w_length = (uint16_t)(c.c.setup[6] | c.c.setup[7] << 8);
      bool data_in = (c.c.setup[0] & 0x80) != 0;
      bool data_stage = w_length > 0 && in == data_in && !c.data_short;
      if (data_stage) {
        if (toggle != c.toggle) fail(d.index, "control data stage toggle out of step");
        c.toggle ^= 1;
        if (len > max_packet0_) fail(d.index, "control data packet above bMaxPacketSize0");
        c.c.data.insert(c.c.data.end(), d.b.begin() + 1, d.b.end() - 2);
        if (c.c.data.size() > w_length) fail(d.index, "control data stage longer than wLength");
        if (len < max_packet0_) c.data_short = true;
        if (c.c.data.size() == w_length) c.data_short = true;
        return;
      }
      // Status stage: a zero-length DATA1 against the data stage's direction.
      if (w_length > 0 && in == data_in) {
        fail(d.index, "control data after the data stage ended");
        return;
      }
      if (!(w_length == 0 || c.data_short)) fail(d.index, "status stage before the data stage ended");
      if (pid != DATA1 || len != 0) fail(d.index, "status stage is not a zero-length DATA1");
      finish_control(c);
      return;
    }
    uint32_t key = ep_key(addr, ep, in);
    auto it = toggles_.find(key);
    uint8_t want = it == toggles_.end() ? 0 : it->second;
    if (toggle != want)
      fail(d.index, "toggle out of step on endpoint " + std::to_string(addr) + "." + std::to_string(ep) +
                        (in ? " IN" : " OUT"));
    toggles_[key] = want ^ 1;
    if (len == bulk_size_) max_size_bulk++;
    if (len < bulk_size_) short_data++;
    if (len == 0) zero_length++;
  }

  // Counts a STALL; on endpoint 0 it ends the open control transfer.
  void stalled(uint8_t addr, uint8_t ep) {
    stalls++;
    Control& c = ctl_[addr];
    if (ep != 0 || !c.active) return;
    c.c.stalled = true;
    controls.push_back(c.c);
    c.active = false;
  }

  void finish_control(Control& ctl) {
    ctl.status_seen = true;
    ctl.active = false;
    const CheckedControl& c = ctl.c;
    controls.push_back(c);
    uint16_t value = (uint16_t)(c.setup[2] | c.setup[3] << 8);
    if (c.setup[0] == 0x00 && c.setup[1] == 5) {
      addressed_.insert((uint8_t)value);
    } else if (c.setup[0] == 0x00 && c.setup[1] == 9) {
      // SET_CONFIGURATION resets every toggle of the device.
      for (auto it = toggles_.begin(); it != toggles_.end();)
        it = (it->first >> 8) == c.addr ? toggles_.erase(it) : std::next(it);
    } else if (c.setup[0] == 0x02 && c.setup[1] == 1 && value == 0) {
      uint8_t epaddr = c.setup[4];
      toggles_.erase(ep_key(c.addr, epaddr & 0x0F, (epaddr & 0x80) != 0));
    }
    if (c.setup[0] == 0x80 && c.setup[1] == 6) check_descriptor(c);
  }

  void check_descriptor(const CheckedControl& c) {
    uint8_t type = c.setup[3], index = c.setup[2];
    uint16_t w_length = (uint16_t)(c.setup[6] | c.setup[7] << 8);
    const std::vector<uint8_t>& d = c.data;
    std::string what = "descriptor type " + std::to_string(type) + ": ";
    if (d.size() < 2) {
      fail(packets, what + "answer shorter than 2 bytes");
      return;
    }
    if (d[1] != type) fail(packets, what + "bDescriptorType " + std::to_string(d[1]));
    if (d.size() < w_length && d.size() < d[0]) fail(packets, what + "short answer cuts the descriptor");
    switch (type) {
      case 1:
        if (d[0] != 18) fail(packets, what + "device descriptor bLength " + std::to_string(d[0]));
        if (d.size() >= 8 && d[7] != max_packet0_) fail(packets, what + "bMaxPacketSize0 does not match the bus");
        break;
      case 2: {
        if (d[0] != 9) fail(packets, what + "configuration bLength " + std::to_string(d[0]));
        if (d.size() < 4) break;
        uint16_t total = (uint16_t)(d[2] | d[3] << 8);
        if (d.size() != w_length || w_length != total) break;  // only the whole set is walked
        size_t off = 0;
        int interfaces = 0, endpoints_expected = 0, endpoints_seen = 0;
        while (off < d.size()) {
          uint8_t bl = d[off];
          if (bl < 2 || off + bl > d.size()) {
            fail(packets, what + "bLength chain broken at offset " + std::to_string(off));
            return;
          }
          uint8_t t = d[off + 1];
          if (t == 4) {
            interfaces++;
            endpoints_expected += d[off + 4];
          } else if (t == 5) {
            endpoints_seen++;
            uint8_t attr = d[off + 3] & 3;
            uint16_t mps = (uint16_t)(d[off + 4] | d[off + 5] << 8);
            if (attr == 2 && mps != bulk_size_) fail(packets, what + "bulk wMaxPacketSize " + std::to_string(mps));
            if (attr == 2 && speed_ == 1) fail(packets, what + "bulk endpoint on a low-speed device");
            if (speed_ == 1 && mps > 8) fail(packets, what + "low-speed endpoint above 8 bytes");
          }
          off += bl;
        }
        if (off != total) fail(packets, what + "descriptors do not add up to wTotalLength");
        if (interfaces != d[4]) fail(packets, what + "bNumInterfaces does not match");
        if (endpoints_seen != endpoints_expected) fail(packets, what + "bNumEndpoints does not match");
        break;
      }
      case 3:
        if (d[0] % 2 != 0) fail(packets, what + "odd string bLength");
        if (index == 0 && (d[0] != 4 || (d.size() >= 4 && (d[2] | d[3] << 8) != 0x0409)))
          fail(packets, what + "language table is not English (US)");
        // Kept when read at exactly its length, as a descriptor decoder walks it.
        if (index != 0 && d.size() == d[0] && w_length == d[0]) {
          std::u16string text;
          for (size_t i = 2; i + 1 < d.size(); i += 2) text += (char16_t)(d[i] | d[i + 1] << 8);
          strings.push_back(text);
        }
        break;
      case 6:
        if (d[0] != 10) fail(packets, what + "device qualifier bLength");
        break;
      default:
        break;
    }
  }

  int speed_;
  uint8_t max_packet0_;
  uint16_t bulk_size_;
  std::vector<Pkt> pending_;
  uint64_t last_ts_ = 0;
  bool have_ts_ = false;
  bool have_sof_ = false;
  uint64_t last_sof_ts_ = 0;
  uint16_t last_frame_ = 0;
  int frame_repeats_ = 0;
  std::map<uint32_t, uint8_t> toggles_;        // (addr, ep, dir) -> next PID toggle
  std::map<uint8_t, Control> ctl_;             // per address
  std::map<uint8_t, std::vector<uint8_t>> ssplit_setup_;  // setup sent by a start-split, per address
  std::map<uint32_t, std::pair<uint8_t, uint16_t>> ssplit_out_;  // OUT data (pid, length) sent by a start-split
  std::set<uint8_t> addressed_;  // addresses given with SET_ADDRESS
};

}  // namespace usbcheck

using usbcheck::CheckedControl;
using usbcheck::UsbStreamChecker;
