// The caster handshake: opens the TCP connection to the NTRIP caster and
// announces the server's stream with the NTRIP 1.0 server request. The
// caster's reply is never read; a caster that refuses the stream shows up at
// the sender's first failed send.
#pragma once

#include <cstdint>
#include <string_view>

#include "config/Settings.h"
#include "platform/EventLog.h"
#include "platform/TcpSocket.h"

namespace corvane {

// ConnectError codes.
inline constexpr int32_t kConnectErrorNone = 0;     // none, or no socket could be created
inline constexpr int32_t kConnectErrorConnect = 2;  // the TCP connect failed

// The agent line, sent with "\r\n" after it: its own LF ends the line and the
// CR LF is the empty line that ends the request.
inline constexpr std::string_view kSourceAgent = "Source-Agent: NTRIP DADEDodazezuDadivo/1.0.0\n";

// Closes any socket left from before, connects to CasterAddress:Port (dotted
// address only; no name lookup) and sends the request in two sends. Returns 1
// when connected and the request went out, else 0 with connectError set; a
// failed connect logs "GetLastErr:%d\n" with the socket's errno value.
int ConnectCaster(StreamSocket& casterSocket, int32_t& connectError, const Settings& settings,
                  EventLog& log);

// Logs the operator's text for the code; codes without a text log nothing.
void LogConnectError(int32_t connectError, EventLog& log);

}  // namespace corvane
