#include "transport/AddressFilter.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <stdexcept>

namespace marlinax::transport {
namespace {

constexpr const char* kLocalNetwork[] = {
    "127.0.0.0/8",    "10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16",
    "169.254.0.0/16", "::1/128",    "fe80::/10",     "fc00::/7",
};

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool matches(const AddressFilter::Range& range, const std::array<std::uint8_t, 16>& bytes) {
  unsigned bits = range.prefixLength;
  for (std::size_t i = 0; bits > 0; ++i) {
    const unsigned take = bits >= 8 ? 8 : bits;
    const auto mask = static_cast<std::uint8_t>(0xFF00u >> take);
    if ((range.bytes[i] & mask) != (bytes[i] & mask)) return false;
    bits -= take;
  }
  return true;
}

AddressFilter::Range parseRange(std::string_view item) {
  const auto invalid = [&] { return std::invalid_argument("not an address range: \"" + std::string(item) + "\""); };
  std::string_view addressText = item;
  std::optional<unsigned> prefix;
  if (const auto slash = item.find('/'); slash != std::string_view::npos) {
    addressText = item.substr(0, slash);
    const std::string_view digits = item.substr(slash + 1);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) throw invalid();
    prefix = value;
  }
  std::error_code error;
  const asio::ip::address address = asio::ip::make_address(std::string(addressText), error);
  if (error) throw invalid();
  AddressFilter::Range range;
  range.v6 = address.is_v6();
  if (range.v6) {
    range.bytes = address.to_v6().to_bytes();
  } else {
    const auto v4 = address.to_v4().to_bytes();
    std::copy(v4.begin(), v4.end(), range.bytes.begin());
  }
  const unsigned width = range.v6 ? 128 : 32;
  range.prefixLength = prefix.value_or(width);
  if (range.prefixLength > width) throw invalid();
  // Host bits beyond the prefix are almost always a typing mistake.
  AddressFilter::Range network = range;
  for (unsigned bit = range.prefixLength; bit < width; ++bit)
    network.bytes[bit / 8] &= static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
  if (network.bytes != range.bytes) throw invalid();
  return range;
}

}  // namespace

AddressFilter AddressFilter::localNetwork() {
  AddressFilter filter;
  for (const char* range : kLocalNetwork) filter.ranges_.push_back(parseRange(range));
  return filter;
}

AddressFilter AddressFilter::parse(std::string_view list) {
  AddressFilter filter;
  while (true) {
    const auto comma = list.find(',');
    const std::string_view item = trim(list.substr(0, comma));
    if (item.empty()) throw std::invalid_argument("empty item in the address list");
    if (item == "default") {
      const AddressFilter local = localNetwork();
      filter.ranges_.insert(filter.ranges_.end(), local.ranges_.begin(), local.ranges_.end());
    } else {
      filter.ranges_.push_back(parseRange(item));
    }
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return filter;
}

bool AddressFilter::allows(const asio::ip::address& address) const {
  bool v6 = address.is_v6();
  std::array<std::uint8_t, 16> bytes{};
  if (v6 && address.to_v6().is_v4_mapped()) {
    v6 = false;
    const auto v4 = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_bytes();
    std::copy(v4.begin(), v4.end(), bytes.begin());
  } else if (v6) {
    bytes = address.to_v6().to_bytes();
  } else {
    const auto v4 = address.to_v4().to_bytes();
    std::copy(v4.begin(), v4.end(), bytes.begin());
  }
  for (const Range& range : ranges_)
    if (range.v6 == v6 && matches(range, bytes)) return true;
  return false;
}

std::string AddressFilter::describe() const {
  std::string text;
  for (const Range& range : ranges_) {
    if (!text.empty()) text += ',';
    if (range.v6) {
      text += asio::ip::address_v6(range.bytes).to_string();
    } else {
      text += asio::ip::address_v4({range.bytes[0], range.bytes[1], range.bytes[2], range.bytes[3]}).to_string();
    }
    text += '/' + std::to_string(range.prefixLength);
  }
  return text;
}

}  // namespace marlinax::transport
