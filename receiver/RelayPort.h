// The raw relay port: the receiver's COM port opened a second time, without
// the channel's workers, for the base-station commands and the correction
// stream. Each relay holds its own port, so a reader of a finished relay can
// never touch the port of the next one.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/EventLog.h"
#include "platform/SerialDevice.h"

namespace corvane {

// The most one WriteRelayPort call stages; longer requests are refused.
inline constexpr int kRelayWriteLimit = 512;

// Opens `serialPort` (the SerialPort setting, "COM3") as "COM3:" at
// `baudRate`, 8N1, with a 20 ms read interval. A failed open appends
// "hComm == INVALID_HANDLE_VALUE Error!\n" to log.txt and returns null; a
// failed time-out read, line state or time-out write appends its own line and
// the port is returned anyway.
std::shared_ptr<SerialDevice> OpenRelayPort(std::string_view serialPort, int32_t baudRate,
                                            EventLog& log);

// Writes the bytes in one device call. Returns the count the device accepted
// (0 when the write failed), or -1 for a null or closed port, null bytes, a
// count of 0 or less, or a count above kRelayWriteLimit.
int WriteRelayPort(SerialDevice* port, const uint8_t* bytes, int count);

}  // namespace corvane
