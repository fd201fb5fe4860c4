// The base-station command sets: what the receiver is told, on the relay port,
// so that it acts as a base at a known position and outputs one correction
// format. A NovAtel-type receiver gets text lines, a Trimble-type receiver two
// binary application-file packets. Nothing is read back from the receiver.
//
// The bytes are built by pure functions (golden-byte tests); the Init*
// functions write them through WriteRelayPort with their fixed pauses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "config/Settings.h"
#include "platform/SerialDevice.h"
#include "platform/TimeSource.h"
#include "receiver/Diagnostics.h"

namespace corvane {

// A base position: signed decimal degrees (south and west negative), metres.
struct BaseCoordinate {
  double Latitude = 0.0;
  double Longitude = 0.0;
  double Height = 0.0;
};

// The entered coordinate for Coordinate 0, otherwise the receiver's own
// position that run control took when the fix became valid.
BaseCoordinate SelectBaseCoordinate(const Settings& settings, const BaseCoordinate& basePosition);

// Text command lines are built in a buffer of this size, terminator included.
inline constexpr size_t kCommandLineCapacity = 128;

inline constexpr std::string_view kUnlogAllLine = "unlogall\r\n";

// "fix position <lat> <lon> <height>\r\n" with 7, 7 and 4 decimals; empty when
// the line would not fit kCommandLineCapacity (absurd magnitudes), so that it
// is refused rather than cut.
std::optional<std::string> FormatFixPositionLine(const BaseCoordinate& base);

// One line of a correction format's log list: the command without its CR LF,
// the pause after a successful write, and the console text printed then (if any).
struct DiffLogLine {
  std::string_view Command;
  Millis Pause;
  std::string_view Console;
};

// The log list of a DiffType; empty outside 0-5.
std::span<const DiffLogLine> DiffLogLines(int32_t diffType);

// The framing shared by both binary packets and the GSOF reports:
// STX 02 | status | packet type | data length n | n data bytes | checksum | ETX 03,
// where the checksum is the sum of status, type, length and data, modulo 256.
//
// The prelude: the stored packet length 23 as a little-endian 16-bit number
// (the receiver sees it ahead of the STX), then an application file
// (type 0x64) holding one output-record record (type 7) of zeros.
inline constexpr std::array<uint8_t, 25> PreludePacket = {
    0x17, 0x00,                                      // stored length 23
    0x02, 0x00, 0x64, 0x11,                          // STX, status, type 0x64, 17 data bytes
    0x00, 0x00, 0x00,                                // transmission number, page, last page
    0x03, 0x00, 0x01, 0x00,                          // application-file header
    0x07, 0x08,                                      // record 7, 8 bytes
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // all zero
    0x88, 0x03,                                      // checksum, ETX
};

// Offsets of the fields BuildBasePacket writes into BasePacketTemplate.
inline constexpr size_t kBasePacketSize = 136;
inline constexpr size_t kBaseLatitudeOffset = 33;
inline constexpr size_t kBaseLongitudeOffset = 41;
inline constexpr size_t kBaseHeightOffset = 49;
inline constexpr size_t kBaseChecksumOffset = 134;

// The base-position application file: STX, status 0, type 0x64, 130 data
// bytes, checksum, ETX. Data: transmission 00 00 00, header 03 00 01 00, then
// records (type, length, bytes):
//   11-20  record 7 (8):  03 00 03 00 24 00 00 00
//   21-59  record 3 (37): ten zeros, latitude 33-40, longitude 41-48,
//                         height 49-56 (binary64 big-endian), 02 02 02
//   60-69  record 1 (8):  0c 00 07 00 00 01 00 00
//   70-77  record 2 (6):  00 05 00 00 00 00
//   78-83  record 23 (4): 00 00 00 01
//   84-133 record 76 (48)
// The position and checksum slots are zero here.
inline constexpr std::array<uint8_t, kBasePacketSize> BasePacketTemplate = {
    0x02, 0x00, 0x64, 0x82, 0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00, 0x07, 0x08, 0x03, 0x00, 0x03,
    0x00, 0x24, 0x00, 0x00, 0x00, 0x03, 0x25, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x02, 0x02, 0x01, 0x08, 0x0c, 0x00,
    0x07, 0x00, 0x00, 0x01, 0x00, 0x00, 0x02, 0x06, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x17, 0x04,
    0x00, 0x00, 0x00, 0x01, 0x4c, 0x30, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x21, 0x00, 0x07,
    0x00, 0x06, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x06, 0x00, 0x06, 0x00, 0x06,
    0x00, 0x06, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x06,
    0x00, 0x06, 0x00, 0x00, 0x00, 0x06, 0x00, 0x03,
};

// Writes the IEEE-754 binary64 pattern of `value`, most significant byte
// first, into dest[0..7]. Both zeros are written as eight zero bytes.
void PutDoubleBigEndian(double value, uint8_t* dest);

// Fills dest[0..135] with the base packet for a position in degrees and
// metres. Returns 1, or 0 (nothing written) for a null destination or a
// capacity below 136.
int BuildBasePacket(uint8_t* dest, size_t capacity, double latitude, double longitude,
                    double height);

// The writers below return 1 when every write succeeded, 0 at the first write
// that failed (the rest of the set is not sent). A write fails when the port
// takes fewer bytes than the command holds. Pauses go through `time`.

// Writes the log list of `diffType` (nothing, and 1, outside 0-5).
int SendDiffLogs(SerialDevice* port, int32_t diffType, TimeSource& time, const TextSink& console);

// The NovAtel-type set: "unlogall" twice, "fix position", the log list.
int InitDiffDataAscii(SerialDevice* port, int32_t diffType, const BaseCoordinate& base,
                      TimeSource& time, const TextSink& console);

// The Trimble-type set: the prelude, then the base packet.
int InitDiffDataBinary(SerialDevice* port, const BaseCoordinate& base, TimeSource& time);

// The set for settings.GPSBoard (0 text, 4 binary, any other value nothing and
// 1), with the base coordinate chosen by SelectBaseCoordinate.
int InitDiffData(SerialDevice* port, const Settings& settings, const BaseCoordinate& basePosition,
                 TimeSource& time, const TextSink& console = ConsolePrint);

}  // namespace corvane
