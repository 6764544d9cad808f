// The shared real captures through orvane-dump's descriptor view: what the
// decoder finds is compared with the device summaries recorded beside each
// capture (NAME.devices.txt). Where our rules do not decode a descriptor the
// case says which and why.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <tuple>

#include "tests/support/dump_run.h"

namespace {

using Endpoint = std::tuple<unsigned, unsigned, unsigned>;  // address, attributes, size

// What a devices.txt lists, or what our tables show.
struct Found {
  std::set<std::pair<unsigned, unsigned>> devices;  // idVendor, idProduct
  std::set<std::string> strings;
  std::set<Endpoint> endpoints;
};

// Reads the device summary: vendor and product of each device descriptor,
// the texts of the strings seen, and every endpoint descriptor.
Found read_devices_txt(const std::string& path) {
  Found f;
  std::ifstream in(path);
  std::string line;
  unsigned vid = 0, ep_address = 0, ep_attributes = 0, n = 0;
  // True, with the number after `label` in `n`, when the line starts with it.
  auto field = [&](const char* label, int base) {
    if (line.rfind(label, 0) != 0) return false;
    n = (unsigned)strtoul(line.c_str() + strlen(label), nullptr, base);
    return true;
  };
  while (std::getline(in, line)) {
    line.erase(0, std::min(line.size(), line.find_first_not_of(' ')));
    // Each label is of one kind of descriptor (an endpoint's attributes follow its address).
    if (field("Vendor ID: ", 16)) vid = n;
    if (field("Product ID: ", 16)) f.devices.insert({vid, n});
    size_t a = line.find('\''), b = line.rfind('\'');
    if (line.find("string: #") != std::string::npos && a != std::string::npos && b > a)
      f.strings.insert(line.substr(a + 1, b - a - 1));
    if (field("Endpoint address: ", 16)) ep_address = n;
    if (field("Attributes: ", 16)) ep_attributes = n;
    if (field("Max packet size: ", 10)) f.endpoints.insert(Endpoint{ep_address, ep_attributes, n});
  }
  return f;
}

// Collects the device, string and endpoint tables of the descriptor view.
Found decoded(const std::vector<dumprun::Row>& rows) {
  Found f;
  for (const dumprun::Row& r : rows) {
    if (r.infos.empty() || r.infos[0].empty()) continue;
    const std::string& title = r.infos[0][0];
    auto hex = [&](const char* key) { return (unsigned)strtoul(dumprun::value_of(r.values, key).c_str(), nullptr, 16); };
    if (title == "Device Descriptor") f.devices.insert({hex("idVendor"), hex("idProduct")});
    if (title == "String Descriptor") f.strings.insert(dumprun::value_of(r.values, "wData"));
    if (title == "Endpoint Descriptor")
      f.endpoints.insert(Endpoint{hex("bEndpointAddress"), hex("bmAttributes"),
                                  (unsigned)atoi(dumprun::value_of(r.values, "     size").c_str())});
  }
  return f;
}

// One capture, and whether our rules decode the strings and endpoints it
// lists. Strings are commonly asked for with wLength 255 and answered with
// their own length: short answers are shown as data, not walked; so is the
// configuration behind split-enum's hub (59 bytes asked for with 255).
struct Case {
  const char* capture;
  bool strings, endpoints;
};

const Case kCases[] = {
    {"mouse.pcap", false, true},
    {"hackrf-connect.pcap", false, true},
    {"iso-unambiguous.pcap", true, true},
    // Its configuration (285 bytes) is asked for with 255 and received in
    // full; the walk stops at the truncated class descriptor after the last endpoint.
    {"bad-descriptor-length.pcap", true, true},
    {"ls-keepalive-divided-transaction.pcapng", false, true},
    // Behind a high-speed hub: every request crosses the bus split.
    {"split-enum.pcap", false, false},
    // No descriptors in these two.
    {"double-setup.pcap", true, true},
    {"bad-crcs.pcap", true, true},
};

// Ours equal the listed ones, or when not decoded, the summary lists some
// (else the exception is stale) and we show none.
template <typename T>
void expect_listed(const std::set<T>& ours, const std::set<T>& listed, bool decoded, const char* what) {
  SCOPED_TRACE(what);
  if (decoded) {
    EXPECT_EQ(ours, listed);
  } else {
    EXPECT_FALSE(listed.empty());
    EXPECT_TRUE(ours.empty());
  }
}

}  // namespace

TEST(CaptureDescriptors, MatchTheDeviceSummaries) {
  std::string dir = testenv::shared_captures_dir();
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.capture);
    std::string stem(c.capture, strcspn(c.capture, "."));
    Found listed = read_devices_txt(dir + "/" + stem + ".devices.txt");
    testenv::TempDir tmp;
    dumprun::Result r = dumprun::run({"--view", "descriptors", "--json", dir + "/" + c.capture}, tmp);
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.bad_lines, 0);
    Found ours = decoded(r.rows);
    EXPECT_EQ(ours.devices, listed.devices);
    expect_listed(ours.strings, listed.strings, c.strings, "string descriptors");
    expect_listed(ours.endpoints, listed.endpoints, c.endpoints, "endpoint descriptors");
  }
}
