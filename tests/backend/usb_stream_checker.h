// A protocol checker for a stream of raw USB 2.0 packets, written apart from
// the simulator so that it can catch the simulator's mistakes: packet
// validity (PID, length, CRC5 of tokens and SPLITs, CRC16), the transaction
// grammar (what may follow a token, with and without split transactions),
// DATA0/DATA1 toggles per endpoint, control transfers from setup to status,
// SOF spacing and frame numbers, time stamps, and the descriptors the device
// hands out.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

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
  explicit UsbStreamChecker(int speed);
  // Adds one packet; `corrupted` marks a packet whose CRC was damaged on purpose.
  void feed(const uint8_t* bytes, uint32_t length, uint64_t timestamp_ns, bool corrupted);
  // Checks what is left over at the end of the stream.
  void finish();

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

  void fail(uint64_t index, const std::string& what);
  bool valid_packet(const Pkt& p);
  void parse_pending(bool at_end);
  // Parses one transaction starting at pending_[pos]; returns the packets it
  // used, or 0 when more packets are needed.
  size_t parse_transaction(size_t pos, bool at_end);
  void open_control(uint64_t index, uint8_t addr, const uint8_t* setup, bool via_split);
  void accept_data(const Pkt& token, const Pkt& data, bool in);
  // Counts a STALL; on endpoint 0 it ends the open control transfer.
  void stalled(uint8_t addr, uint8_t ep);
  void finish_control(Control& ctl);
  void check_descriptor(const CheckedControl& c);
  void check_sof(const Pkt& p);

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
