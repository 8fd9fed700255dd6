// Signal allow lists: parsing of address prefixes and matching of senders.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "socket_ops.h"
#include "utilLib.h"

namespace {

bool IsSeparator(char c) { return c == ',' || c == ' ' || c == '\t'; }

// True when every bit of bytes after the first bits is zero.
bool HostBitsClear(const unsigned char* bytes, int length, int bits) {
  for (int bit = bits; bit < length * 8; ++bit)
    if (bytes[bit / 8] & (0x80 >> (bit % 8))) return false;
  return true;
}

bool ParseOne(const std::string& item, AddressPrefix* prefix) {
  const size_t slash = item.find('/');
  const std::string address = item.substr(0, slash);
  const int length = address.find(':') != std::string::npos ? 16 : 4;
  prefix->ipv6 = length == 16;
  if (inet_pton(prefix->ipv6 ? AF_INET6 : AF_INET, address.c_str(), prefix->bytes) != 1)
    return false;
  prefix->bits = length * 8;
  if (slash != std::string::npos) {
    const std::string bits = item.substr(slash + 1);
    if (bits.empty() || bits.size() > 3 ||
        bits.find_first_not_of("0123456789") != std::string::npos)
      return false;
    prefix->bits = std::stoi(bits);
    if (prefix->bits > length * 8) return false;
  }
  return HostBitsClear(prefix->bytes, length, prefix->bits);
}

bool PrefixMatches(const AddressPrefix& prefix, const unsigned char* bytes) {
  const int whole = prefix.bits / 8;
  if (memcmp(prefix.bytes, bytes, static_cast<size_t>(whole)) != 0) return false;
  const int rest = prefix.bits % 8;
  if (rest == 0) return true;
  const unsigned char mask = static_cast<unsigned char>(0xff << (8 - rest));
  return (prefix.bytes[whole] & mask) == (bytes[whole] & mask);
}

}  // namespace

bool ParseAddressPrefixes(const std::string& text, std::vector<AddressPrefix>* prefixes,
                          std::string* error) {
  std::vector<AddressPrefix> parsed;
  size_t at = 0;
  while (at < text.size()) {
    if (IsSeparator(text[at])) {
      ++at;
      continue;
    }
    size_t end = at;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    const std::string item = text.substr(at, end - at);
    AddressPrefix prefix;
    if (!ParseOne(item, &prefix)) {
      if (error)
        *error = "'" + item + "' is not an IPv4 or IPv6 address or prefix (address/bits, no "
                 "host bits set)";
      return false;
    }
    parsed.push_back(prefix);
    at = end;
  }
  *prefixes = std::move(parsed);
  return true;
}

namespace sockets {

bool Peer::AllowedBy(const std::vector<AddressPrefix>& prefixes) const {
  if (prefixes.empty()) return true;
  sockaddr_storage addr;
  memcpy(&addr, storage_, sizeof(addr));
  const unsigned char* bytes = nullptr;
  bool ipv6 = false;
  if (addr.ss_family == AF_INET) {
    bytes = reinterpret_cast<const unsigned char*>(
        &reinterpret_cast<const sockaddr_in*>(&addr)->sin_addr);
  } else if (addr.ss_family == AF_INET6) {
    const in6_addr& in6 = reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_addr;
    bytes = in6.s6_addr;
    ipv6 = true;
    if (IN6_IS_ADDR_V4MAPPED(&in6)) {
      bytes += 12;
      ipv6 = false;
    }
  } else {
    return false;
  }
  for (const AddressPrefix& prefix : prefixes)
    if (prefix.ipv6 == ipv6 && PrefixMatches(prefix, bytes)) return true;
  return false;
}

}  // namespace sockets
