#include "uplink/CasterHandshake.h"

#include <cstdio>

namespace corvane {

namespace {

// The request on the wire, with nothing before or between its parts:
//   "SOURCE " PassWord " " Mount LF          first send (no CR on this line)
//   "Source-Agent: NTRIP ...1.0.0" LF CR LF  second send, 47 bytes
// PassWord and Mount go out exactly as stored: an empty password leaves two
// spaces, and no slash is added to or taken from the mount point.
constexpr size_t kLineBufferSize = 256;
constexpr size_t kFailureBufferSize = 128;

void SendText(StreamSocket& socket, const char* text, int length) {
  // The results are not examined: a broken connection fails the sender's
  // first send, which reports it.
  static_cast<void>(socket.Send(reinterpret_cast<const uint8_t*>(text), length));
}

}  // namespace

int ConnectCaster(StreamSocket& casterSocket, int32_t& connectError, const Settings& settings,
                  EventLog& log) {
  connectError = kConnectErrorNone;
  casterSocket.Close();
  if (!casterSocket.Create()) return 0;

  const uint32_t address = InetAddr(settings.CasterAddress.view());
  const auto port = static_cast<uint16_t>(settings.Port);
  if (!casterSocket.Connect(address, port)) {
    connectError = kConnectErrorConnect;
    const int error = casterSocket.LastError();
    casterSocket.Close();
    char failure[kFailureBufferSize];
    const int length = std::snprintf(failure, sizeof failure, "GetLastErr:%d\n", error);
    log.LogEvent(std::string_view(failure, static_cast<size_t>(length)));
    return 0;
  }

  char line[kLineBufferSize];
  int length = std::snprintf(line, sizeof line, "SOURCE %s %s\n", settings.PassWord.c_str(),
                             settings.Mount.c_str());
  SendText(casterSocket, line, length);
  length = std::snprintf(line, sizeof line, "%.*s\r\n", static_cast<int>(kSourceAgent.size()),
                         kSourceAgent.data());
  SendText(casterSocket, line, length);
  return 1;
}

void LogConnectError(int32_t connectError, EventLog& log) {
  if (connectError == kConnectErrorConnect) log.LogEvent("Connet Err.");
}

}  // namespace corvane
