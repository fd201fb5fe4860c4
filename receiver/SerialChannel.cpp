#include "receiver/SerialChannel.h"

#include <algorithm>
#include <string>
#include <system_error>
#include <vector>

namespace corvane {

SerialChannel::SerialChannel(TimeSource& time) : time_(time) {}

SerialChannel::~SerialChannel() {
  std::lock_guard control(controlLock_);
  SignalStop();
  time_.Sleep(Millis(500));
  CloseDevice();
  JoinWorkers();
}

std::shared_ptr<SerialDevice> SerialChannel::Handle() const {
  std::lock_guard lock(portLock_);
  return portHandle_;
}

void SerialChannel::CloseDevice() {
  std::shared_ptr<SerialDevice> device;
  {
    std::lock_guard lock(portLock_);
    device.swap(portHandle_);
  }
  // Closing wakes a receive worker blocked in its read.
  if (device != nullptr) device->Close();
}

void SerialChannel::SignalStop() {
  rxStopEvent_.Set();
  txStopSignalled_.store(true);
  txWakeEvent_.Set();
}

void SerialChannel::JoinWorkers() {
  for (std::thread* worker : {&rxThread_, &txThread_}) {
    if (!worker->joinable()) continue;
    if (worker->get_id() == std::this_thread::get_id()) {
      worker->detach();  // a worker never waits for itself
    } else {
      worker->join();
    }
  }
}

std::shared_ptr<SerialDevice> SerialChannel::ConfigureLine(int, uint32_t baudRate, uint8_t byteSize,
                                                           uint8_t parity, uint8_t stopBits) {
  std::shared_ptr<SerialDevice> device = Handle();
  if (device == nullptr) return nullptr;
  // The line template: 8N1 at the caller's rate, binary, no flow control,
  // DTR on, RTS off; only the rate and the three line bytes vary.
  LineState line;
  line.BaudRate = baudRate;
  line.ByteSize = byteSize;
  line.Parity = parity;
  line.StopBits = stopBits;
  if (device->SetLineState(line)) return device;
  CloseDevice();
  return nullptr;
}

int32_t SerialChannel::Write(const uint8_t* bytes, int32_t count) {
  if (bytes == nullptr || count <= 0) return 0;
  {
    std::lock_guard lock(queueLock_);
    txQueue_.insert(txQueue_.end(), bytes, bytes + count);
  }
  txDataSignalled_.store(true);
  txWakeEvent_.Set();
  return count;
}

int32_t SerialChannel::Read(uint8_t* buffer, int32_t capacity) {
  if (buffer == nullptr || capacity <= 0) return 0;
  std::lock_guard lock(queueLock_);
  const size_t n = std::min(static_cast<size_t>(capacity), rxQueue_.size());
  std::copy_n(rxQueue_.begin(), n, buffer);
  rxQueue_.erase(rxQueue_.begin(), rxQueue_.begin() + static_cast<std::ptrdiff_t>(n));
  return static_cast<int32_t>(n);
}

size_t SerialChannel::ReceiveQueueLength() const {
  std::lock_guard lock(queueLock_);
  return rxQueue_.size();
}

void SerialChannel::Close() {
  std::lock_guard control(controlLock_);
  closedForGood_.store(true);
  SignalStop();
  time_.Sleep(Millis(100));
  CloseDevice();
  JoinWorkers();
  time_.Sleep(Millis(500));
}

void SerialChannel::Stop() {
  std::lock_guard control(controlLock_);
  SignalStop();
  time_.Sleep(Millis(100));
  CloseDevice();
  JoinWorkers();
}

void SerialChannel::TransmitLoop(std::shared_ptr<SerialDevice> device) {
  for (;;) {
    // TxDataEvent before TxStopEvent, as a wait on both reports the first.
    if (!txDataSignalled_.exchange(false)) {
      if (txStopSignalled_.exchange(false)) return;
      // An untimed wait has no period to scale, so it does not go through the
      // time source (whose virtual clocks would turn it into a spin).
      txWakeEvent_.WaitReal(std::chrono::seconds(60));
      continue;
    }
    size_t n = 0;
    {
      std::lock_guard lock(queueLock_);
      n = txQueue_.size();
    }
    if (n == 0) continue;
    // Bytes queued after the count was taken wait for the next pass.
    std::vector<uint8_t> block(n);
    {
      std::lock_guard lock(queueLock_);
      std::copy_n(txQueue_.begin(), n, block.begin());
      txQueue_.erase(txQueue_.begin(), txQueue_.begin() + static_cast<std::ptrdiff_t>(n));
    }
    if (device->Write(block.data(), static_cast<int>(n)) < 0) return;
  }
}

void SerialChannel::ReceiveLoop(std::shared_ptr<SerialDevice> device) {
  uint8_t readBuffer[kReadBlock];  // ReadBuffer
  while (device->IsOpen()) {
    std::fill(std::begin(readBuffer), std::end(readBuffer), uint8_t{0});
    const int n = device->Read(readBuffer, kReadBlock);
    if (n > 0) {
      std::lock_guard lock(queueLock_);
      // Nobody reads: drop the old bytes wholesale rather than grow.
      if (rxQueue_.size() > kRxQueueLimit) rxQueue_.clear();
      rxQueue_.insert(rxQueue_.end(), readBuffer, readBuffer + n);
    }
    if (time_.Wait(rxStopEvent_, kRxCycle)) break;
  }
  device->PurgeReceive();
}

void SerialChannel::TuneDevice(SerialDevice& device, uint32_t readIntervalMs) {
  // Every result is ignored: a port that takes none of this still works with
  // the driver's own time-outs.
  SerialTimeouts timeouts;
  device.GetTimeouts(timeouts);
  timeouts.ReadIntervalTimeout = readIntervalMs;
  device.SetTimeouts(timeouts);
  device.SetQueueSizes(16, 16);
  device.ClearErrors();
  device.Purge();
  device.ClearBreak();
}

bool SerialChannel::Reconfigure(uint32_t baudRate) {
  std::lock_guard control(controlLock_);
  std::shared_ptr<SerialDevice> device = ConfigureLine(0, baudRate, 8, 0, 0);
  if (device == nullptr) return false;
  SerialTimeouts timeouts;
  device->GetTimeouts(timeouts);
  timeouts.ReadIntervalTimeout = kReconfigureReadIntervalMs;
  device->SetTimeouts(timeouts);
  device->ClearErrors();
  device->Purge();
  device->ClearBreak();
  return true;
}

bool SerialChannel::Open(int port, uint32_t baudRate) {
  std::lock_guard control(controlLock_);
  if (closedForGood_.load()) return false;
  const std::string name = "COM" + std::to_string(port) + ":";
  // Workers of an earlier opening that was never stopped must not outlive
  // their device nor meet the new one.
  if (Handle() != nullptr || rxThread_.joinable() || txThread_.joinable()) {
    SignalStop();
    CloseDevice();
    JoinWorkers();
  }
  std::shared_ptr<SerialDevice> device = OpenSerialDevice(name);
  if (device == nullptr) return false;
  {
    std::lock_guard lock(portLock_);
    portHandle_ = device;
  }
  // A previous Stop leaves the stop events signalled.
  rxStopEvent_.Reset();
  txStopSignalled_.store(false);
  txDataSignalled_.store(false);
  txWakeEvent_.Reset();
  if (ConfigureLine(port, baudRate, 8, 0, 0) == nullptr) return false;
  TuneDevice(*device, kReadIntervalMs);
  return true;
}

bool SerialChannel::StartWorkers() {
  std::lock_guard control(controlLock_);
  std::shared_ptr<SerialDevice> device = Handle();
  if (device == nullptr) return false;
  if (rxThread_.joinable() && txThread_.joinable()) return true;
  try {
    if (!rxThread_.joinable()) rxThread_ = std::thread([this, device] { ReceiveLoop(device); });
    if (!txThread_.joinable()) txThread_ = std::thread([this, device] { TransmitLoop(device); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

}  // namespace corvane
