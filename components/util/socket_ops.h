// Thin socket helpers for the signal receiver and sender. Every failure
// comes back as text ("what failed: why") made in one place, ErrorText().
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct AddressPrefix;

namespace sockets {

// "context: <strerror(err)>".
std::string ErrorText(const std::string& context, int err);

// A UDP socket of family AF_INET or AF_INET6, close-on-exec, optionally
// non-blocking. Returns the descriptor or -1 (and *error).
int CreateUdpSocket(int family, bool nonblocking, std::string* error);

// Binds fd to an IPv4 address text ("0.0.0.0", "127.0.0.1") and port.
bool BindIPv4(int fd, const std::string& address, int port,
              std::string* error);

// Asks for a receive buffer of bytes: first forced past
// net.core.rmem_max (SO_RCVBUFFORCE, allowed with CAP_NET_ADMIN), else
// within it (SO_RCVBUF). *granted receives the kernel's figure for the
// result, which counts its bookkeeping and so is about twice the bytes of
// datagram data that fit. False (and *error) only when neither call works.
bool SetReceiveBuffer(int fd, long bytes, long* granted, std::string* error);

// The local port fd is bound to, or -1.
int LocalPort(int fd);

enum class ReceiveResult { kReceived, kNothing, kFailed };

// The sender of a datagram, kept as the kernel gave it and put into words
// only when someone asks (most datagrams never need it).
class Peer {
 public:
  // "address:port", or "?:0" for an address of another family.
  std::string Text() const;
  // The address alone ("?" for another family).
  std::string AddressText() const;
  // True when prefixes is empty or one of them holds the address.
  bool AllowedBy(const std::vector<AddressPrefix>& prefixes) const;
  void* Storage() { return storage_; }
  static constexpr size_t kSize = 128;  // sizeof(sockaddr_storage)

 private:
  alignas(8) unsigned char storage_[kSize] = {};
};

// Resolves host (name or numeric address) and sends one datagram to the
// first address that accepts it, IPv4 addresses first: the suite's
// receivers listen on IPv4, and "localhost" often resolves to ::1 first.
bool SendDatagram(const std::string& host, int port, const void* data,
                  size_t length, std::string* error);

void Close(int fd);

}  // namespace sockets
