#include "transport/AddressFilter.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace marlinax::transport {
namespace {

// The local network when nothing is configured ("default"), or the parsed
// list, which replaces it unless it names "default" too.
TEST(AddressFilter, AllowedAddresses) {
  struct Case {
    const char* list;
    const char* address;
    bool allowed;
  };
  const Case cases[] = {
      {"default", "127.0.0.1", true},
      {"default", "127.255.255.254", true},
      {"default", "10.1.2.3", true},
      {"default", "172.16.0.1", true},
      {"default", "172.31.255.255", true},
      {"default", "172.32.0.1", false},
      {"default", "172.15.255.255", false},
      {"default", "192.168.7.9", true},
      {"default", "192.169.0.1", false},
      {"default", "169.254.10.20", true},
      {"default", "169.255.0.1", false},
      {"default", "8.8.8.8", false},
      {"default", "100.64.0.1", false},
      {"default", "0.0.0.0", false},
      {"default", "255.255.255.255", false},
      {"default", "::1", true},
      {"default", "::2", false},
      {"default", "fe80::1", true},
      {"default", "febf:ffff::1", true},
      {"default", "fec0::1", false},
      {"default", "fd12:3456::1", true},
      {"default", "fc00::1", true},
      {"default", "fe00::1", false},
      {"default", "2001:db8::1", false},
      {"default", "::", false},
      // How a dual-stack listener sees IPv4 peers.
      {"default", "::ffff:127.0.0.1", true},
      {"default", "::ffff:192.168.1.1", true},
      {"default", "::ffff:8.8.8.8", false},
      {"default", "::ffff:172.32.0.1", false},
      {"203.0.113.0/24", "203.0.113.77", true},
      {"203.0.113.0/24", "203.0.114.1", false},
      {"203.0.113.0/24", "127.0.0.1", false},  // narrowed: loopback no longer allowed
      {"203.0.113.0/24", "::ffff:203.0.113.5", true},
      {"203.0.113.5", "203.0.113.5", true},  // a lone address is a block of one
      {"203.0.113.5", "203.0.113.6", false},
      {"0.0.0.0/0", "8.8.8.8", true},
      {"0.0.0.0/0", "2001:db8::1", false},  // an IPv4 block never matches IPv6
      {"::/0", "2001:db8::1", true},
      {"::/0", "::ffff:8.8.8.8", false},  // mapped IPv4 is IPv4
      {"2001:db8::/32", "2001:db8:ffff::1", true},
      {"2001:db8::/33", "2001:db8:8000::1", false},
      {"10.0.0.0/9", "10.127.255.255", true},
      {"10.0.0.0/9", "10.128.0.0", false},
      {" 192.0.2.0/24 , 198.51.100.0/24 ", "198.51.100.9", true},
      {"default,203.0.113.0/24", "192.168.1.1", true},  // widened
      {"default,203.0.113.0/24", "203.0.113.1", true},
      {"default,203.0.113.0/24", "8.8.8.8", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.list) + " / " + c.address);
    const auto filter =
        c.list == std::string_view("default") ? AddressFilter::localNetwork() : AddressFilter::parse(c.list);
    EXPECT_EQ(filter.allows(asio::ip::make_address(c.address)), c.allowed);
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
