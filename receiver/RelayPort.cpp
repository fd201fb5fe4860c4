#include "receiver/RelayPort.h"

#include <array>
#include <cstring>
#include <string>

namespace corvane {

std::shared_ptr<SerialDevice> OpenRelayPort(std::string_view serialPort, int32_t baudRate,
                                            EventLog& log) {
  const std::string name = std::string(serialPort) + ":";
  std::shared_ptr<SerialDevice> port = OpenSerialDevice(name);
  if (port == nullptr) {
    log.AppendLogFile("hComm == INVALID_HANDLE_VALUE Error!\n");
    return nullptr;
  }
  SerialTimeouts timeouts;
  if (!port->GetTimeouts(timeouts)) log.AppendLogFile("GetCommTimeouts Error!\n");
  LineState line;
  line.BaudRate = static_cast<uint32_t>(baudRate);
  if (!port->SetLineState(line)) log.AppendLogFile("SetCommState Error!\n");
  timeouts.ReadIntervalTimeout = 20;
  if (!port->SetTimeouts(timeouts)) log.AppendLogFile("SetCommTimeouts Error!\n");
  port->Purge();
  port->ClearBreak();
  return port;
}

int WriteRelayPort(SerialDevice* port, const uint8_t* bytes, int count) {
  if (port == nullptr || !port->IsOpen() || bytes == nullptr || count <= 0 ||
      count > kRelayWriteLimit) {
    return -1;
  }
  std::array<uint8_t, kRelayWriteLimit> staging;
  std::memcpy(staging.data(), bytes, static_cast<size_t>(count));
  const int written = port->Write(staging.data(), count);
  return written < 0 ? 0 : written;
}

}  // namespace corvane
