// The receiver's queue and its recvmmsg buffers.
#include "signal_queue.h"

#include <cerrno>
#include <cstring>

namespace signalqueue {

DatagramBatch::DatagramBatch()
    : data_(kBatchSize * kSlotSize),
      peers_(kBatchSize),
      iovecs_(kBatchSize),
      headers_(kBatchSize) {
  for (size_t i = 0; i < kBatchSize; ++i) {
    iovecs_[i].iov_base = data_.data() + i * kSlotSize;
    iovecs_[i].iov_len = kSlotSize;
    memset(&headers_[i], 0, sizeof(headers_[i]));
    headers_[i].msg_hdr.msg_name = peers_[i].Storage();
    headers_[i].msg_hdr.msg_iov = &iovecs_[i];
    headers_[i].msg_hdr.msg_iovlen = 1;
  }
}

sockets::ReceiveResult DatagramBatch::Fill(int fd, size_t most, std::string* error) {
  count_ = 0;
  if (most > kBatchSize) most = kBatchSize;
  if (most == 0) return sockets::ReceiveResult::kNothing;
  // The kernel shortens each address length to the sender's.
  for (mmsghdr& header : headers_) header.msg_hdr.msg_namelen = sockets::Peer::kSize;
  for (;;) {
    // MSG_TRUNC makes each msg_len the datagram's full length.
    const int n = recvmmsg(fd, headers_.data(), static_cast<unsigned>(most),
                           MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (n > 0) {
      count_ = static_cast<size_t>(n);
      return sockets::ReceiveResult::kReceived;
    }
    if (n == 0) return sockets::ReceiveResult::kNothing;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return sockets::ReceiveResult::kNothing;
    if (error) *error = sockets::ErrorText("recvmmsg", errno);
    return sockets::ReceiveResult::kFailed;
  }
}

void PendingQueue::PushSignal(const unsigned char* bytes) { Push(Entry::Kind::kSignal, bytes); }
void PendingQueue::PushRefused() { Push(Entry::Kind::kRefused, nullptr); }
void PendingQueue::PushFailed() { Push(Entry::Kind::kFailed, nullptr); }

void PendingQueue::Push(Entry::Kind kind, const unsigned char* bytes) {
  // Only signals merge: each refused datagram and each failure is its own
  // wait result, as if it were still in the socket.
  if (kind == Entry::Kind::kSignal && !entries_.empty()) {
    Entry& last = entries_.back();
    if (last.kind == kind && memcmp(last.bytes, bytes, kSignalDatagramSize) == 0) {
      ++last.count;
      return;
    }
  }
  Entry entry;
  entry.kind = kind;
  if (bytes != nullptr)
    memcpy(entry.bytes, bytes, kSignalDatagramSize);
  else
    memset(entry.bytes, 0, sizeof(entry.bytes));
  entry.count = 1;
  entries_.push_back(entry);
}

}  // namespace signalqueue
