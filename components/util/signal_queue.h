// The signal receiver's own queue: datagrams taken from the socket with
// recvmmsg and kept, in arrival order, until the main loop asks for them.
// A run of identical signal datagrams is kept as one entry with a count. Owned by one CSignalHandler and used by the thread
// that waits on it only; not thread-safe.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "socket_ops.h"
#include "utilLib.h"

namespace signalqueue {

// Datagrams taken from the socket per recvmmsg.
constexpr size_t kBatchSize = 32;
// One byte more than a signal, so that MSG_TRUNC's full length is the only
// thing that tells an oversized datagram apart.
constexpr size_t kSlotSize = kSignalDatagramSize + 1;

// Buffers for one recvmmsg: data, senders and headers of up to kBatchSize
// datagrams.
class DatagramBatch {
 public:
  DatagramBatch();

  // Takes up to `most` (1..kBatchSize) waiting datagrams without blocking;
  // their count is Count() afterwards (0 for kNothing and kFailed).
  sockets::ReceiveResult Fill(int fd, size_t most, std::string* error);
  size_t Count() const { return count_; }
  const unsigned char* Data(size_t i) const { return data_.data() + i * kSlotSize; }
  // The datagram's full length (it may exceed kSlotSize).
  size_t Length(size_t i) const { return headers_[i].msg_len; }
  const sockets::Peer& Sender(size_t i) const { return peers_[i]; }

 private:
  std::vector<unsigned char> data_;
  std::vector<sockets::Peer> peers_;
  std::vector<iovec> iovecs_;
  std::vector<mmsghdr> headers_;
  size_t count_ = 0;
};

struct Entry {
  enum class Kind { kSignal, kRefused, kFailed } kind;
  unsigned char bytes[kSignalDatagramSize];  // kSignal only
  uint64_t count;                            // datagrams it stands for
};

class PendingQueue {
 public:
  // Entries kept at most; beyond that datagrams stay in the kernel.
  static constexpr size_t kMaxEntries = 1024;

  bool Empty() const { return entries_.empty(); }
  size_t Room() const { return kMaxEntries - entries_.size(); }
  const Entry& Front() const { return entries_.front(); }
  void Pop() { entries_.pop_front(); }

  // Appends; a signal identical (64 bytes) to the last entry merges into
  // it. REQUIRES: Room() > 0.
  void PushSignal(const unsigned char* bytes);
  void PushRefused();
  void PushFailed();

 private:
  void Push(Entry::Kind kind, const unsigned char* bytes);
  std::deque<Entry> entries_;
};

}  // namespace signalqueue
