// The serial device on a POSIX terminal. The callers were written against the
// original's serial API; each of its calls maps onto termios as follows:
//
//   open of "COMn:"     open(O_RDWR|O_NOCTTY|O_NONBLOCK) + flock + TIOCEXCL
//   SetCommState        tcsetattr (raw, CSn, parity, CSTOPB, CLOCAL|CREAD|HUPCL,
//                       no CRTSCTS/IXON/IXOFF, speed) + TIOCMBIS DTR / TIOCMBIC RTS
//   Get/SetCommTimeouts a record kept here, applied by Read and Write with poll
//   SetupComm           accepted and kept: termios has no driver queue sizes
//   ClearCommError      nothing is latched (parity and framing marks are off)
//   PurgeComm           tcflush(TCIOFLUSH) and a wake-up of a blocked read
//   ClearCommBreak      TIOCCBRK
//   ReadFile, WriteFile read/write on the non-blocking descriptor, waiting in
//                       poll on the device and on a wake-up eventfd
//   CloseHandle         wakes every blocked call; the descriptor is released
//                       when the last call in progress has left it
#include "platform/SerialDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <limits>
#include <mutex>
#include <optional>
#include <string>

#include "platform/DataFolder.h"

namespace corvane {

namespace {

constexpr uint32_t kMaxDword = std::numeric_limits<uint32_t>::max();

thread_local int tlsLastError = 0;

struct BaudCode {
  uint32_t rate;
  speed_t code;
};

constexpr BaudCode kBaudCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> SpeedCode(uint32_t rate) {
  for (const BaudCode& entry : kBaudCodes) {
    if (entry.rate == rate) return entry.code;
  }
  return std::nullopt;
}

// Modem-line and break requests that a pseudo-terminal does not support are
// not failures: the line it stands for has no such wires.
bool IgnorableIoctlError(int error) {
  return error == ENOTTY || error == EINVAL;
}

int RemainingMillis(std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                              : static_cast<int>(ms);
}

class PosixSerialDevice final : public SerialDevice {
 public:
  PosixSerialDevice(int fd, int wakeFd, int purgeFd)
      : fd_(fd), wakeFd_(wakeFd), purgeFd_(purgeFd) {}
  ~PosixSerialDevice() override {
    Close();
    ::close(wakeFd_);
    ::close(purgeFd_);
  }
  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

  bool SetLineState(const LineState& line) override;
  bool GetTimeouts(SerialTimeouts& timeouts) override;
  bool SetTimeouts(const SerialTimeouts& timeouts) override;
  bool SetQueueSizes(uint32_t receive, uint32_t transmit) override;
  bool ClearErrors() override;
  bool Purge() override;
  bool PurgeReceive() override;
  bool ClearBreak() override;
  int Read(uint8_t* buffer, int capacity) override;
  int Write(const uint8_t* bytes, int count) override;
  void Close() override;
  bool IsOpen() const override { return !closed_.load(); }
  int LastError() const override { return tlsLastError; }

 private:
  // Holds the descriptor for one call so that Close never releases it under
  // a call that may still use it.
  class Use {
   public:
    explicit Use(PosixSerialDevice& device) : device_(device), fd_(device.Acquire()) {}
    ~Use() {
      if (fd_ >= 0) device_.Release();
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    int fd() const { return fd_; }

   private:
    PosixSerialDevice& device_;
    int fd_;
  };

  int Acquire();
  void Release();
  void ReleaseDescriptorLocked();
  bool Fail(int error) {
    tlsLastError = error;
    return false;
  }
  int FailCount(int error) {
    tlsLastError = error;
    return -1;
  }
  bool PurgeLines(int queue, bool abortRead);
  SerialTimeouts Timeouts() {
    std::lock_guard lock(mutex_);
    return timeouts_;
  }

  std::mutex mutex_;  // guards fd_, users_ and timeouts_
  int fd_;
  int users_ = 0;
  SerialTimeouts timeouts_;
  std::atomic<bool> closed_{false};
  std::atomic<uint64_t> purges_{0};
  const int wakeFd_;   // readable for good once the device is closed
  const int purgeFd_;  // readable after a purge; drained by the reader
};

int PosixSerialDevice::Acquire() {
  std::lock_guard lock(mutex_);
  if (closed_.load() || fd_ < 0) return -1;
  ++users_;
  return fd_;
}

void PosixSerialDevice::Release() {
  std::lock_guard lock(mutex_);
  --users_;
  if (closed_.load() && users_ == 0) ReleaseDescriptorLocked();
}

void PosixSerialDevice::ReleaseDescriptorLocked() {
  if (fd_ < 0) return;
  // The exclusive flag lives on the terminal, not on this descriptor: clear it
  // or the next open of a terminal that stays alive (a pseudo-terminal whose
  // other side is held) fails for an unprivileged user.
  ::ioctl(fd_, TIOCNXCL);
  ::close(fd_);
  fd_ = -1;
}

void PosixSerialDevice::Close() {
  std::lock_guard lock(mutex_);
  if (closed_.exchange(true)) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
  if (users_ == 0) ReleaseDescriptorLocked();
}

bool PosixSerialDevice::SetLineState(const LineState& line) {
  Use use(*this);
  if (use.fd() < 0) return Fail(EBADF);
  const std::optional<speed_t> speed = SpeedCode(line.BaudRate);
  if (!speed || line.ByteSize < 5 || line.ByteSize > 8 || line.Parity > 4 ||
      (line.StopBits != 0 && line.StopBits != 2)) {
    return Fail(EINVAL);
  }
  termios tio{};
  if (::tcgetattr(use.fd(), &tio) != 0) return Fail(errno);
  ::cfmakeraw(&tio);  // binary: no line editing, no translation, no stripping
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | PARMRK | IGNPAR);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag |= kSizes[line.ByteSize - 5] | CLOCAL | CREAD | HUPCL;
  switch (line.Parity) {  // 0 none, 1 odd, 2 even, 3 mark, 4 space
    case 1:
      tio.c_cflag |= PARENB | PARODD;
      break;
    case 2:
      tio.c_cflag |= PARENB;
      break;
    case 3:
      tio.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case 4:
      tio.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (line.StopBits == 2) tio.c_cflag |= CSTOPB;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, *speed);
  ::cfsetospeed(&tio, *speed);
  if (::tcsetattr(use.fd(), TCSANOW, &tio) != 0) return Fail(errno);
  // tcsetattr succeeds when any part took effect: check the parts that matter.
  termios applied{};
  if (::tcgetattr(use.fd(), &applied) != 0) return Fail(errno);
  if (::cfgetospeed(&applied) != *speed || (applied.c_cflag & CSIZE) != (tio.c_cflag & CSIZE)) {
    return Fail(EINVAL);
  }
  // DTR on while the port is open, RTS off.
  const int dtr = TIOCM_DTR;
  const int rts = TIOCM_RTS;
  if (::ioctl(use.fd(), TIOCMBIS, &dtr) != 0 && !IgnorableIoctlError(errno)) return Fail(errno);
  if (::ioctl(use.fd(), TIOCMBIC, &rts) != 0 && !IgnorableIoctlError(errno)) return Fail(errno);
  return true;
}

bool PosixSerialDevice::GetTimeouts(SerialTimeouts& timeouts) {
  if (!IsOpen()) return Fail(EBADF);
  timeouts = Timeouts();
  return true;
}

bool PosixSerialDevice::SetTimeouts(const SerialTimeouts& timeouts) {
  if (!IsOpen()) return Fail(EBADF);
  std::lock_guard lock(mutex_);
  timeouts_ = timeouts;
  return true;
}

bool PosixSerialDevice::SetQueueSizes(uint32_t, uint32_t) {
  return IsOpen() ? true : Fail(EBADF);
}

bool PosixSerialDevice::ClearErrors() {
  return IsOpen() ? true : Fail(EBADF);
}

bool PosixSerialDevice::PurgeLines(int queue, bool abortRead) {
  Use use(*this);
  if (use.fd() < 0) return Fail(EBADF);
  if (::tcflush(use.fd(), queue) != 0) return Fail(errno);
  if (abortRead) {
    purges_.fetch_add(1);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(purgeFd_, &one, sizeof one);
  }
  return true;
}

// Flushing the output queue also frees a writer blocked on a full queue.
bool PosixSerialDevice::Purge() {
  return PurgeLines(TCIOFLUSH, true);
}

bool PosixSerialDevice::PurgeReceive() {
  return PurgeLines(TCIFLUSH, true);
}

bool PosixSerialDevice::ClearBreak() {
  Use use(*this);
  if (use.fd() < 0) return Fail(EBADF);
  if (::ioctl(use.fd(), TIOCCBRK) != 0 && !IgnorableIoctlError(errno)) return Fail(errno);
  return true;
}

// A read returns when the buffer is full, when the interval time-out passes
// after a byte without another one, or when the total time-out expires; with
// an interval of MAXDWORD and no totals it returns at once with what is there.
int PosixSerialDevice::Read(uint8_t* buffer, int capacity) {
  if (buffer == nullptr || capacity < 0) return FailCount(EINVAL);
  Use use(*this);
  if (use.fd() < 0) return FailCount(EBADF);
  if (capacity == 0) return 0;

  const SerialTimeouts t = Timeouts();
  const bool immediate = t.ReadIntervalTimeout == kMaxDword;
  // MAXDWORD interval and multiplier with a constant: wait up to the constant
  // for a first byte, then return at once.
  const bool firstByteOnly = immediate && t.ReadTotalTimeoutMultiplier == kMaxDword &&
                             t.ReadTotalTimeoutConstant != 0 &&
                             t.ReadTotalTimeoutConstant != kMaxDword;
  const bool returnAtOnce = immediate && !firstByteOnly && t.ReadTotalTimeoutMultiplier == 0 &&
                            t.ReadTotalTimeoutConstant == 0;
  const auto start = std::chrono::steady_clock::now();
  std::optional<std::chrono::steady_clock::time_point> totalDeadline;
  if (firstByteOnly) {
    totalDeadline = start + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
  } else if (!immediate && (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0)) {
    const uint64_t total =
        uint64_t{t.ReadTotalTimeoutMultiplier} * static_cast<uint64_t>(capacity) +
        t.ReadTotalTimeoutConstant;
    totalDeadline = start + std::chrono::milliseconds(total);
  }
  const uint64_t purgesAtStart = purges_.load();
  int got = 0;
  std::chrono::steady_clock::time_point lastByte = start;

  for (;;) {
    if (closed_.load() || purges_.load() != purgesAtStart) return FailCount(kAborted);
    const ssize_t n = ::read(use.fd(), buffer + got, static_cast<size_t>(capacity - got));
    if (n > 0) {
      got += static_cast<int>(n);
      lastByte = std::chrono::steady_clock::now();
      if (got == capacity || immediate) return got;
      continue;
    }
    if (n == 0) return got > 0 ? got : FailCount(EIO);  // the line hung up
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return got > 0 ? got : FailCount(errno);
    if (returnAtOnce) return got;

    int waitMs = -1;
    if (totalDeadline) waitMs = RemainingMillis(*totalDeadline);
    if (got > 0 && t.ReadIntervalTimeout != 0 && !immediate) {
      const int interval =
          RemainingMillis(lastByte + std::chrono::milliseconds(t.ReadIntervalTimeout));
      waitMs = waitMs < 0 ? interval : std::min(waitMs, interval);
    }
    if (waitMs == 0) return got;

    pollfd fds[3] = {{use.fd(), POLLIN, 0}, {wakeFd_, POLLIN, 0}, {purgeFd_, POLLIN, 0}};
    const int ready = ::poll(fds, 3, waitMs);
    if (ready < 0 && errno != EINTR) return FailCount(errno);
    if (fds[2].revents & POLLIN) {
      uint64_t drained = 0;
      [[maybe_unused]] const ssize_t ignored = ::read(purgeFd_, &drained, sizeof drained);
    }
    if ((fds[0].revents & (POLLHUP | POLLERR)) && !(fds[0].revents & POLLIN)) {
      return got > 0 ? got : FailCount(EIO);
    }
  }
}

int PosixSerialDevice::Write(const uint8_t* bytes, int count) {
  if ((bytes == nullptr && count != 0) || count < 0) return FailCount(EINVAL);
  Use use(*this);
  if (use.fd() < 0) return FailCount(EBADF);
  const SerialTimeouts t = Timeouts();
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0) {
    const uint64_t total = uint64_t{t.WriteTotalTimeoutMultiplier} * static_cast<uint64_t>(count) +
                           t.WriteTotalTimeoutConstant;
    deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(total);
  }
  int written = 0;
  while (written < count) {
    if (closed_.load()) return FailCount(kAborted);
    const ssize_t n = ::write(use.fd(), bytes + written, static_cast<size_t>(count - written));
    if (n > 0) {
      written += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return FailCount(errno);
    const int waitMs = deadline ? RemainingMillis(*deadline) : -1;
    if (waitMs == 0) break;  // time-out: the count written so far
    pollfd fds[2] = {{use.fd(), POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, waitMs) < 0 && errno != EINTR) return FailCount(errno);
    if ((fds[0].revents & (POLLHUP | POLLERR)) && !(fds[0].revents & POLLOUT)) {
      return FailCount(EIO);
    }
  }
  return written;
}

std::optional<int> ComNumber(std::string_view name) {
  if (!name.empty() && name.back() == ':') name.remove_suffix(1);
  if (name.size() < 4 || name.size() > 6) return std::nullopt;
  for (size_t i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return std::nullopt;
  }
  int number = 0;
  for (char c : name.substr(3)) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + (c - '0');
  }
  if (number < 1 || number > 255) return std::nullopt;
  return number;
}

}  // namespace

std::filesystem::path SerialDevicePath(std::string_view name) {
  const std::optional<int> number = ComNumber(name);
  if (!number) return {};
  if (*number <= 9) {
    const std::filesystem::path link =
        DataFolder() / "dosdevices" / ("com" + std::to_string(*number));
    std::error_code ec;
    if (std::filesystem::symlink_status(link, ec).type() != std::filesystem::file_type::not_found &&
        !ec) {
      return link;
    }
  }
  return "/dev/ttyS" + std::to_string(*number - 1);
}

std::unique_ptr<SerialDevice> OpenSerialDevice(std::string_view name, int* error) {
  int ignoredError = 0;
  int& err = error != nullptr ? *error : ignoredError;
  const std::filesystem::path path = SerialDevicePath(name);
  if (path.empty()) {
    err = ENOENT;
    return nullptr;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    err = errno;
    return nullptr;
  }
  auto fail = [&](int code) -> std::unique_ptr<SerialDevice> {
    ::close(fd);
    err = code;
    return nullptr;
  };
  termios probe{};
  if (::tcgetattr(fd, &probe) != 0) return fail(ENOTTY);
  // No sharing: flock holds against every other opener in any process, also a
  // privileged one, which TIOCEXCL alone lets through.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
  if (::ioctl(fd, TIOCEXCL) != 0) return fail(errno);
  const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) return fail(errno);
  const int purgeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (purgeFd < 0) {
    const int code = errno;
    ::close(wakeFd);
    ::ioctl(fd, TIOCNXCL);
    return fail(code);
  }
  err = 0;
  return std::make_unique<PosixSerialDevice>(fd, wakeFd, purgeFd);
}

}  // namespace corvane
