// Signal sender: one datagram per call, the host resolved each time so a
// changed address is picked up without a restart.
#include "socket_ops.h"
#include "utilLib.h"

CUDPClient::CUDPClient(int port, const std::string& host)
    : port_(port), host_(host) {}

CUDPClient::~CUDPClient() = default;

EStatus CUDPClient::SendUDPSignal(CSignalInfo& info) {
  unsigned char datagram[kSignalDatagramSize];
  info.Encode(datagram);
  if (!sockets::SendDatagram(host_, port_, datagram, sizeof(datagram),
                             &last_error_))
    return KORB_FAILURE;
  last_error_.clear();
  return KORB_SUCCESS;
}
