// Which peer addresses may connect: a list of address ranges (CIDR blocks).
// The listener closes a connection from any other address before TLS starts.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <asio/ip/address.hpp>

namespace marlinax::transport {

class AddressFilter {
 public:
  // One block: the first `prefixLength` bits of `bytes` (IPv4 blocks keep
  // their four bytes in the first four places).
  struct Range {
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{};
    unsigned prefixLength = 0;
    friend bool operator==(const Range&, const Range&) = default;
  };

  // The local network: loopback, link-local (the headset finds the computer
  // through link-local multicast DNS) and the private ranges, IPv4 and IPv6.
  static AddressFilter localNetwork();

  // Parses "CIDR,CIDR,...": each item an IPv4 or IPv6 address with an
  // optional "/prefix" (a lone address is a block of one), or the word
  // "default" for the local-network ranges. Spaces around items are ignored.
  // Throws std::invalid_argument naming the item on anything else, including
  // host bits set beyond the prefix ("10.0.0.1/8") and an empty list.
  static AddressFilter parse(std::string_view list);

  // True when the address lies in one of the ranges. An IPv4 address mapped
  // into IPv6 (::ffff:a.b.c.d, how a dual-stack listener sees IPv4 peers) is
  // matched as the IPv4 address.
  bool allows(const asio::ip::address& address) const;

  const std::vector<Range>& ranges() const { return ranges_; }
  // The ranges written back as "CIDR,CIDR".
  std::string describe() const;

 private:
  std::vector<Range> ranges_;
};

}  // namespace marlinax::transport
