// The shared real captures through orvane-dump's descriptor view: what the
// decoder finds is compared with the device summaries recorded beside each
// capture (NAME.devices.txt). Where our rules do not decode a descriptor the
// case says which and why.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <tuple>

#include "tests/dump/dump_run.h"

namespace {

using Endpoint = std::tuple<unsigned, unsigned, unsigned>;  // address, attributes, size

// What a devices.txt lists, or what our tables show.
struct Found {
  std::set<std::pair<unsigned, unsigned>> devices;  // idVendor, idProduct
  std::set<std::string> strings;
  std::set<Endpoint> endpoints;
};

std::string trim(const std::string& s) {
  size_t a = s.find_first_not_of(' ');
  return a == std::string::npos ? "" : s.substr(a);
}

unsigned number_after(const std::string& line, const std::string& label, int base) {
  return (unsigned)strtoul(line.c_str() + label.size(), nullptr, base);
}

// Reads the device summary: vendor and product of each device descriptor,
// the texts of the strings seen, and every endpoint descriptor.
Found read_devices_txt(const std::string& path) {
  Found f;
  std::ifstream in(path);
  std::string raw;
  bool in_device = false, in_endpoint = false;
  unsigned vid = 0, ep_address = 0, ep_attributes = 0;
  while (std::getline(in, raw)) {
    std::string line = trim(raw);
    if (line == "Device descriptor") in_device = true;
    if (line == "Endpoint descriptor") in_endpoint = true;
    if (in_device && line.rfind("Vendor ID: ", 0) == 0) vid = number_after(line, "Vendor ID: ", 16);
    if (in_device && line.rfind("Product ID: ", 0) == 0) {
      f.devices.insert({vid, number_after(line, "Product ID: ", 16)});
      in_device = false;
    }
    size_t q = line.find("string: #");
    if (q != std::string::npos && line.find('\'') != std::string::npos) {
      size_t a = line.find('\''), b = line.rfind('\'');
      if (b > a) f.strings.insert(line.substr(a + 1, b - a - 1));
    }
    if (in_endpoint && line.rfind("Endpoint address: ", 0) == 0)
      ep_address = number_after(line, "Endpoint address: ", 16);
    if (in_endpoint && line.rfind("Attributes: ", 0) == 0)
      ep_attributes = number_after(line, "Attributes: ", 16);
    if (in_endpoint && line.rfind("Max packet size: ", 0) == 0) {
      f.endpoints.insert(Endpoint{ep_address, ep_attributes, number_after(line, "Max packet size: ", 10)});
      in_endpoint = false;
    }
  }
  return f;
}

unsigned hex_value(const std::string& s) { return (unsigned)strtoul(s.c_str(), nullptr, 16); }

// Collects the device, string and endpoint tables of the descriptor view.
Found decoded(const std::vector<dumprun::Row>& rows) {
  Found f;
  for (const dumprun::Row& r : rows) {
    if (r.infos.empty() || r.infos[0].empty()) continue;
    const std::string& title = r.infos[0][0];
    if (title == "Device Descriptor")
      f.devices.insert({hex_value(dumprun::value_of(r.values, "idVendor")),
                        hex_value(dumprun::value_of(r.values, "idProduct"))});
    if (title == "String Descriptor") f.strings.insert(dumprun::value_of(r.values, "wData"));
    if (title == "Endpoint Descriptor")
      f.endpoints.insert(Endpoint{hex_value(dumprun::value_of(r.values, "bEndpointAddress")),
                                  hex_value(dumprun::value_of(r.values, "bmAttributes")),
                                  (unsigned)atoi(dumprun::value_of(r.values, "     size").c_str())});
  }
  return f;
}

// One capture: for each kind of descriptor, "" when our rules decode every
// one the summary lists, else why none of them is decoded.
struct Case {
  const char* capture;
  const char* devices_missing;
  const char* strings_missing;
  const char* endpoints_missing;
};

const char* const kShortStrings =
    "strings are asked for with wLength 255 and answered with their own length: short answers "
    "are shown as data, not walked";
const char* const kSplit =
    "the device sits behind a high-speed hub: each SETUP reaches the bus twice (start and "
    "complete split), the second ends the transfer the first began, so the data stage never "
    "completes a transfer that still knows its setup";

const Case kCases[] = {
    {"mouse.pcap", "", kShortStrings, ""},
    {"hackrf-connect.pcap", "", kShortStrings, ""},
    {"iso-unambiguous.pcap", "", "", ""},
    // Its configuration (285 bytes) is asked for with 255 and received in
    // full; the walk stops at the class descriptor that the cut truncates,
    // after the last endpoint. The summary has no device descriptor and no
    // string text.
    {"bad-descriptor-length.pcap", "", "", ""},
    {"ls-keepalive-divided-transaction.pcapng", "", kShortStrings, ""},
    {"split-enum.pcap", kSplit, kSplit, kSplit},
    // No descriptors in these two.
    {"double-setup.pcap", "", "", ""},
    {"bad-crcs.pcap", "", "", ""},
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.capture; }

std::string stem(const std::string& capture) { return capture.substr(0, capture.find('.')); }

template <typename T>
void expect_listed(const std::set<T>& ours, const std::set<T>& listed, const char* missing,
                   const char* what) {
  SCOPED_TRACE(what);
  if (*missing == 0) {
    EXPECT_EQ(ours, listed);
  } else {
    SCOPED_TRACE(missing);
    EXPECT_FALSE(listed.empty()) << "the summary lists none: the exception is stale";
    EXPECT_TRUE(ours.empty());
  }
}

}  // namespace

class CaptureDescriptors : public ::testing::TestWithParam<Case> {};

TEST_P(CaptureDescriptors, MatchTheDeviceSummary) {
  const Case& c = GetParam();
  std::string dir = testenv::shared_captures_dir();
  Found listed = read_devices_txt(dir + "/" + stem(c.capture) + ".devices.txt");
  testenv::TempDir tmp;
  dumprun::Result r = dumprun::run({"--view", "descriptors", "--json", dir + "/" + c.capture}, tmp);
  ASSERT_EQ(r.status, 0);
  ASSERT_EQ(r.bad_lines, 0);
  Found ours = decoded(r.rows);
  expect_listed(ours.devices, listed.devices, c.devices_missing, "device descriptors");
  expect_listed(ours.strings, listed.strings, c.strings_missing, "string descriptors");
  expect_listed(ours.endpoints, listed.endpoints, c.endpoints_missing, "endpoint descriptors");
  // Every row of the view is a whole table.
  for (const dumprun::Row& row : r.rows) {
    ASSERT_EQ(row.infos.size(), 1u);
    ASSERT_FALSE(row.values.empty());
    EXPECT_EQ(row.values[0], (dumprun::Cells{"Field", "Value", "Description"}));
    for (const dumprun::Cells& cells : row.values) EXPECT_EQ(cells.size(), 3u);
  }
}

INSTANTIATE_TEST_SUITE_P(Shared, CaptureDescriptors, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) {
                           std::string n = stem(i.param.capture);
                           for (char& ch : n)
                             if (ch == '-') ch = '_';
                           return n;
                         });

TEST(CaptureDescriptorsSummary, ReaderFindsWhatTheSummariesList) {
  // Guards the summary reader itself, so a parsing slip cannot make the
  // comparisons above vacuous.
  std::string dir = testenv::shared_captures_dir();
  Found mouse = read_devices_txt(dir + "/mouse.devices.txt");
  EXPECT_EQ(mouse.devices, (std::set<std::pair<unsigned, unsigned>>{{0x1BCF, 0x0005}}));
  EXPECT_EQ(mouse.strings, std::set<std::string>{"USB Optical Mouse"});
  EXPECT_EQ(mouse.endpoints, std::set<Endpoint>{Endpoint(0x81, 0x03, 7)});
  Found iso = read_devices_txt(dir + "/iso-unambiguous.devices.txt");
  EXPECT_EQ(iso.strings.size(), 4u);
  EXPECT_GE(iso.endpoints.size(), 6u);
}

TEST(CaptureDescriptorsSummary, MouseFirstAnswerIsShortAndShownAsData) {
  // The first GET_DESCRIPTOR asks for 64 bytes and gets the 18 of the device
  // descriptor: its transfer shows the data, and no table follows its request.
  std::string path = testenv::shared_captures_dir() + "/mouse.pcap";
  testenv::TempDir tmp;
  dumprun::Result d = dumprun::run({"--view", "descriptors", "--json", path}, tmp);
  ASSERT_EQ(d.status, 0);
  ASSERT_GE(d.rows.size(), 4u);
  EXPECT_EQ(dumprun::value_of(d.rows[0].values, "wLength"), "0x0040");
  EXPECT_EQ(d.rows[1].infos[0][0], "Standard Requst");  // Set Address, no table between
  EXPECT_EQ(d.rows[3].infos[0][0], "Device Descriptor");  // after the GET for 18

  dumprun::Result t = dumprun::run({"--view", "transactions", "--json", path}, tmp);
  ASSERT_EQ(t.status, 0);
  ASSERT_FALSE(t.rows.empty());
  EXPECT_EQ(t.rows[0].infos[0][0], "CTRL Transfer");
  EXPECT_EQ(dumprun::value_of(t.rows[0].values, "Data (18 tytes)"),
            "12 01 00 02 00 00 00 08 CF 1B 05 00 14 00 00 02 00 01");
}
