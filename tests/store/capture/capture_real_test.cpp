// The real captures recorded by others read completely, with the packet
// counts, byte totals and time stamps verified independently of this reader.
#include <gtest/gtest.h>

#include "tests/support/capture_test_util.h"
#include "tests/support/test_env.h"

using namespace capture_test;

namespace {

struct Expected {
  const char* name;
  CaptureFormat format;
  size_t packets;
  uint64_t bytes;     // sum of all packet lengths
  uint64_t first_ns;  // time stamp of the first packet
  uint64_t last_ns;   // time stamp of the last packet
};

// Counted with a separate pcap tool (packet count, data size, first and last
// packet time). The pcapng file also holds 1,790 custom blocks and one
// statistics block, which are not packets.
const Expected kCaptures[] = {
    {"bad-crcs.pcap", CAPTURE_FORMAT_PCAP_NS, 6, 16, 14814197083ull, 14814287016ull},
    {"bad-descriptor-length.pcap", CAPTURE_FORMAT_PCAP_US, 98, 465, 1667907927921774000ull,
     1667907927921950000ull},
    {"double-setup.pcap", CAPTURE_FORMAT_PCAP_NS, 4, 9, 721420288ull, 2034998512ull},
    {"hackrf-connect.pcap", CAPTURE_FORMAT_PCAP_US, 909, 2976, 1648410165736740000ull, 1648410165737030000ull},
    {"iso-unambiguous.pcap", CAPTURE_FORMAT_PCAP_NS, 1150, 7599, 4804829966ull, 10605908516ull},
    {"mouse.pcap", CAPTURE_FORMAT_PCAP_US, 2182, 5950, 1648585920917463000ull, 1648585920918123000ull},
    {"split-enum.pcap", CAPTURE_FORMAT_PCAP_US, 1924, 5844, 1667907927915672000ull, 1667907927916299000ull},
    {"ls-keepalive-divided-transaction.pcapng", CAPTURE_FORMAT_PCAPNG, 153, 651, 280365800ull, 2039150433ull},
};

}  // namespace

TEST(CaptureRealFiles, EachSharedCaptureReadsCompletely) {
  for (const Expected& e : kCaptures) {
    SCOPED_TRACE(e.name);
    ReadResult r = read_all(testenv::shared_captures_dir() + "/" + e.name);
    ASSERT_EQ(r.end, 0) << r.error;
    EXPECT_EQ(r.format, e.format);
    ASSERT_EQ(r.packets.size(), e.packets);
    uint64_t bytes = 0;
    for (const Packet& p : r.packets) bytes += p.bytes.size();
    EXPECT_EQ(bytes, e.bytes);
    EXPECT_EQ(r.packets.front().ts, e.first_ns);
    EXPECT_EQ(r.packets.back().ts, e.last_ns);
    for (size_t i = 1; i < r.packets.size(); i++) ASSERT_GE(r.packets[i].ts, r.packets[i - 1].ts) << "packet " << i;
    if (e.name == std::string("mouse.pcap")) {  // an invalid PID byte is still a packet
      EXPECT_EQ(r.packets[0].bytes, std::vector<uint8_t>{0xFF});
      EXPECT_EQ(r.packets[1].bytes, (std::vector<uint8_t>{0x2D, 0x00, 0x10}));  // SETUP to address 0
    }
  }
}
