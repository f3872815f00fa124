#include "smtp/wsock.h"

#include "base/log.h"
#include "platform/net.h"

namespace {

struct WsockMessage {
  int code;
  const char* text;
};

// What follows "wsock: (<context>) " for each Windows Sockets error code.
const WsockMessage kWsockMessages[] = {
    {10004, "The (blocking) call was canceled via WSACancelBlockingCall.\n"},
    {10013,
     "The requested address is a broadcast address, but the appropriate flag "
     "was not set.\n"},
    {10014,
     "The buf argument is not in a valid part of the user address space.\n"},
    {10022, "The socket has not been bound with bind.\n"},
    {10035,
     "The socket is marked as non-blocking and the requested operation would "
     "block.\n"},
    {10036, "A blocking Windows Sockets operation is in progress.\n"},
    {10038, "The descriptor is not a socket.\n"},
    {10039, "DestAddrReq\n"},
    {10040,
     "The socket is of type SOCK_DGRAM, and the datagram is larger than the "
     "maximum supported by the Windows Sockets implementation.\n"},
    {10045, "MSG_OOB was specified, but the socket is not of type "
            "SOCK_STREAM.\n"},
    {10048, "Address in use\n"},
    {10049, "Address not avail\n"},
    {10050,
     "The Windows Sockets implementation has detected that the network "
     "subsystem has failed.\n"},
    {10051, "Network Unreachable\n"},
    {10052,
     "The connection must be reset because the Windows Sockets "
     "implementation dropped it.\n"},
    {10053,
     "The virtual circuit was aborted due to timeout or other failure.\n"},
    {10054, "The virtual circuit was reset by the remote side.\n"},
    {10055,
     "The Windows Sockets implementation reports a buffer deadlock.\n"},
    {10057, "The socket is not connected.\n"},
    {10058,
     "The socket has been shutdown; it is not possible to sendln on a socket "
     "after shutdown has been invoked with how set to 1 or 2.\n"},
    {10059, "Too many refs.\n"},
    {10060, "Timedout\n"},
    {10061, "Connection Refused\n"},
    {10063, "Name too long\n"},
    {10064, "Host down\n"},
    {10065, "Host Unreachable\n"},
    {10066, "Not Empty\n"},
    {10093, "A successful WSAStartup must occur before using this API.\n"},
};

}  // namespace

void wsock_error(const char* context) {
  int code = net_last_error();
  if (code == 0) return;  // as after a receive that found the peer closed
  const char* text = wsock_message_text(code);
  if (text != nullptr) {
    log_event(LOG_ERROR, "wsock: (%s) %s", context, text);
  } else {
    log_event(LOG_ERROR, "wsock: (%s) Socket Unkown error code %d \n", context,
              code);
  }
}

const char* wsock_message_text(int code) {
  for (const WsockMessage& entry : kWsockMessages) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}
