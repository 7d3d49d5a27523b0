#include "transport/AddressFilter.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace marlinax::transport {
namespace {

bool allows(const AddressFilter& filter, const char* address) { return filter.allows(asio::ip::make_address(address)); }

TEST(AddressFilter, LocalNetworkByDefault) {
  const AddressFilter local = AddressFilter::localNetwork();
  struct Case {
    const char* address;
    bool allowed;
  };
  const Case cases[] = {
      {"127.0.0.1", true},
      {"127.255.255.254", true},
      {"10.1.2.3", true},
      {"172.16.0.1", true},
      {"172.31.255.255", true},
      {"172.32.0.1", false},
      {"172.15.255.255", false},
      {"192.168.7.9", true},
      {"192.169.0.1", false},
      {"169.254.10.20", true},
      {"169.255.0.1", false},
      {"8.8.8.8", false},
      {"100.64.0.1", false},
      {"0.0.0.0", false},
      {"255.255.255.255", false},
      {"::1", true},
      {"::2", false},
      {"fe80::1", true},
      {"febf:ffff::1", true},
      {"fec0::1", false},
      {"fd12:3456::1", true},
      {"fc00::1", true},
      {"fe00::1", false},
      {"2001:db8::1", false},
      {"::", false},
      // How a dual-stack listener sees IPv4 peers.
      {"::ffff:127.0.0.1", true},
      {"::ffff:192.168.1.1", true},
      {"::ffff:8.8.8.8", false},
      {"::ffff:172.32.0.1", false},
  };
  for (const auto& c : cases) EXPECT_EQ(local.allows(asio::ip::make_address(c.address)), c.allowed) << c.address;
}

TEST(AddressFilter, ParsedListsReplaceTheDefaultAndAreDescribed) {
  struct Case {
    const char* list;
    const char* address;
    bool allowed;
  };
  const Case cases[] = {
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
    EXPECT_EQ(allows(AddressFilter::parse(c.list), c.address), c.allowed);
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
