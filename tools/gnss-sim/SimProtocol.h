// The byte-level pieces of the receiver simulator, kept free of I/O: the
// NMEA and GSOF position output it sends, the commands it understands from
// both receiver families, and the cutting of a correction capture into the
// bursts a receiver sends once per epoch.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::sim {

using Bytes = std::vector<uint8_t>;

// UTC broken down, as a receiver's clock would report it.
struct UtcTime {
  int year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

struct SimFix {
  double latitude = 0;   // degrees, south negative
  double longitude = 0;  // degrees, west negative
  double height = 0;     // metres above the ellipsoid
  int quality = 1;       // GGA fix quality; 0 = no fix
  int satellites = 12;
};

// "$GPGGA,...*hh\r\n" and "$GPRMC,...*hh\r\n" for the fix; a fix of quality
// 0 leaves the position fields empty, as a receiver without a fix does.
std::string BuildGga(const SimFix& fix, const UtcTime& time);
std::string BuildRmc(const SimFix& fix, const UtcTime& time);

// Trimble data-collector framing: STX, status 0, type, length, data,
// checksum (status + type + length + data, mod 256), ETX.
Bytes TrimblePacket(uint8_t type, const Bytes& data);

// GSOF records (type, length, big-endian body).
// Record 1: time of week (ms), week, satellites used, flags 1 and 2, init number.
Bytes GsofPositionTime(uint32_t weekMillis, uint16_t week, const SimFix& fix);
// Record 2: latitude and longitude (radians), height (metres).
Bytes GsofLatLonHeight(const SimFix& fix);
// Record 34: every satellite, 10 bytes each.
Bytes GsofAllSatellites(const SimFix& fix);

// One GSOF report as type 0x40 packets: transmission number, page index,
// last page index, then at most 248 record bytes per page.
std::vector<Bytes> GsofReport(uint8_t transmission, const Bytes& records);

// GPS week and milliseconds of week for a Unix time (18 leap seconds).
void GpsTime(int64_t unixMillis, uint16_t& week, uint32_t& weekMillis);
UtcTime UtcFromUnix(int64_t unixSeconds);

// What a command asks of the receiver.
enum class Correction { None, Rtcm3, Rtcm2, Cmr };

struct Command {
  enum class Kind {
    Unknown,
    UnlogAll,       // every output off
    LogPosition,    // NMEA GGA or RMC on (text), GSOF record on (binary)
    LogCorrection,  // a correction message on
    FixPosition,
    FixNone,
    Ignored,  // understood, changes nothing here
  };
  Kind kind = Kind::Unknown;
  std::string what;  // "gpgga", "gprmc", "rtcm1033b", GSOF "1", "2", "34"
  Correction correction = Correction::None;
  int periodSeconds = 1;
  bool enable = true;  // binary output records can also switch off
};

// Splits the text stream of a NovAtel-type receiver's port into command lines
// (ended by CR, LF or both); a line longer than 1024 bytes is cut there.
class LineSplitter {
 public:
  std::vector<std::string> Feed(const uint8_t* bytes, size_t count);

 private:
  std::string pending_;
};

// Interprets one text command line; a malformed one (a message number or
// period out of range) is Unknown.
Command ParseTextCommand(std::string_view line);

// Finds application-file packets (type 0x64) in the binary stream of a
// Trimble-type receiver's port. Each packet comes back with any unframed
// bytes that preceded it (the two count bytes the commands carry).
class PacketScanner {
 public:
  struct Packet {
    Bytes raw;   // leading bytes and the whole packet, as received
    Bytes data;  // the packet's data bytes
    uint8_t type = 0;
  };
  std::vector<Packet> Feed(const uint8_t* bytes, size_t count);

 private:
  Bytes pending_;
};

// The commands of one application-file packet: output records (type 7) and
// the reference position (type 3).
std::vector<Command> ParseApplicationFile(const Bytes& data);

// The correction capture cut into what a receiver sends at once: an RTCM 3
// capture into epochs (each ends with an observation message whose
// "more messages follow" flag is clear); bytes outside frames go with the
// frame that follows them. Empty when the capture has no such epochs.
std::vector<Bytes> SplitRtcm3Epochs(const Bytes& capture);

// Text of a command for the command log: printable lines as they stand,
// anything else as "hex" and the bytes.
std::string CommandLogLine(const Bytes& raw);

}  // namespace corvane::sim
