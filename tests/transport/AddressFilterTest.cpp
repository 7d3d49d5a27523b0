#include "transport/AddressFilter.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace marlinax::transport {
namespace {

// The local network when nothing is configured ("default"), or the parsed
// list, which replaces it unless it names "default" too.
TEST(AddressFilter, AllowedAddresses) {
  struct Case {
    const char* list;
    std::vector<const char*> allowed, refused;
  };
  // A lone address is a block of one; an IPv4 block never matches IPv6, and mapped IPv4 (how a
  // dual-stack listener sees IPv4 peers) is IPv4. A list narrows the default (loopback is no longer
  // allowed) unless it names "default" too.
  const Case cases[] = {
      {"default",
       {"127.0.0.1", "127.255.255.254", "10.1.2.3", "172.16.0.1", "172.31.255.255", "192.168.7.9", "169.254.10.20",
        "::1", "fe80::1", "febf:ffff::1", "fd12:3456::1", "fc00::1", "::ffff:127.0.0.1", "::ffff:192.168.1.1"},
       {"172.32.0.1", "172.15.255.255", "192.169.0.1", "169.255.0.1", "8.8.8.8", "100.64.0.1", "0.0.0.0",
        "255.255.255.255", "::2", "fec0::1", "fe00::1", "2001:db8::1", "::", "::ffff:8.8.8.8", "::ffff:172.32.0.1"}},
      {"203.0.113.0/24", {"203.0.113.77", "::ffff:203.0.113.5"}, {"203.0.114.1", "127.0.0.1"}},
      {"203.0.113.5", {"203.0.113.5"}, {"203.0.113.6"}},
      {"0.0.0.0/0", {"8.8.8.8"}, {"2001:db8::1"}},
      {"::/0", {"2001:db8::1"}, {"::ffff:8.8.8.8"}},
      {"2001:db8::/32", {"2001:db8:ffff::1"}, {}},
      {"2001:db8::/33", {}, {"2001:db8:8000::1"}},
      {"10.0.0.0/9", {"10.127.255.255"}, {"10.128.0.0"}},
      {" 192.0.2.0/24 , 198.51.100.0/24 ", {"198.51.100.9"}, {}},
      {"default,203.0.113.0/24", {"192.168.1.1", "203.0.113.1"}, {"8.8.8.8"}},
  };
  for (const auto& c : cases) {
    const auto filter =
        c.list == std::string_view("default") ? AddressFilter::localNetwork() : AddressFilter::parse(c.list);
    for (const char* address : c.allowed)
      EXPECT_TRUE(filter.allows(asio::ip::make_address(address))) << c.list << " / " << address;
    for (const char* address : c.refused)
      EXPECT_FALSE(filter.allows(asio::ip::make_address(address))) << c.list << " / " << address;
  }
  // Lone addresses are described as blocks of one.
  EXPECT_EQ(AddressFilter::parse("10.0.0.0/8, ::1, 192.0.2.7").describe(), "10.0.0.0/8,::1/128,192.0.2.7/32");
}

TEST(AddressFilter, MalformedListsAreRefused) {
  for (const char* list : {"", ",", "10.0.0.0/8,", "10.0.0.0/33", "::/129", "10.0.0.1/8", "fe80::1/10", "10.0.0.0/",
                           "10.0.0.0/x", "10.0.0.0/8/8", "10.0.0", "host.example", "10.0.0.0/-1", "defaults"}) {
    EXPECT_THROW(AddressFilter::parse(list), std::invalid_argument) << '"' << list << '"';
  }
}

}  // namespace
}  // namespace marlinax::transport
