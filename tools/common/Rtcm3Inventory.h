// What an RTCM 3 correction stream holds, counted as it passes: per message
// type the frames, their bytes and the mean interval between them; frames
// whose CRC-24Q fails; bytes outside frames; and the reference station of
// the last 1005 or 1006. An operator checks with it what a base really
// sends. Pure: bytes in, in any chunking, counts out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace corvane::rtcm3 {

// CRC-24Q over `count` bytes, as the frame's last three bytes carry it.
uint32_t Crc24q(const uint8_t* bytes, size_t count);

// `count` (at most 64) bits from bit `offset`, bit 0 being the most
// significant bit of data[0]; the caller keeps them inside the data.
uint64_t Bits(const uint8_t* data, size_t offset, size_t count);

struct Geodetic {
  double Latitude = 0.0;   // degrees, north positive
  double Longitude = 0.0;  // degrees, east positive
  double Height = 0.0;     // metres above the WGS 84 ellipsoid
};

// Earth-centred, earth-fixed metres to WGS 84 latitude, longitude and
// ellipsoidal height.
Geodetic EcefToGeodetic(double x, double y, double z);

struct MessageStats {
  uint64_t Count = 0;
  uint64_t Bytes = 0;  // whole frames: header, message and CRC
  // Stream time (below) of the first and last frame that had one, and how
  // many frames had one.
  int64_t FirstMs = 0;
  int64_t LastMs = 0;
  uint64_t Timed = 0;
  // Seconds between frames of this type, while at least two had a time.
  std::optional<double> MeanInterval() const;
};

struct StationPosition {
  uint32_t Message = 0;  // 1005 or 1006
  uint32_t StationId = 0;
  double X = 0.0;  // ECEF, metres
  double Y = 0.0;
  double Z = 0.0;
  std::optional<double> AntennaHeight;  // metres, 1006 only
  Geodetic Position;
};

class Inventory {
 public:
  // Preamble, 6 reserved bits and a 10-bit length, at most 1023 message
  // bytes, then the CRC.
  static constexpr size_t kHeaderSize = 3;
  static constexpr size_t kCrcSize = 3;
  static constexpr size_t kMaxFrame = kHeaderSize + 1023 + kCrcSize;

  void Feed(const uint8_t* bytes, size_t count);
  // The end of the stream: bytes still waiting to complete a frame never
  // will, and count as skipped.
  void Finish();

  const std::map<uint32_t, MessageStats>& Messages() const { return messages_; }
  uint64_t BytesFed() const { return bytesFed_; }
  // Frames whose CRC held and whose message was long enough to be read.
  uint64_t Frames() const { return frames_; }
  uint64_t BadCrc() const { return badCrc_; }
  // Frames whose CRC held but whose message is shorter than the fields read
  // from it (its type, the station position, an observation's epoch).
  uint64_t TooShort() const { return tooShort_; }
  // Bytes outside good frames (noise, frames that failed, command replies).
  uint64_t SkippedBytes() const { return skipped_; }
  const std::optional<StationPosition>& Station() const { return station_; }

  // The message types of the frames since the last call, each once.
  std::set<uint32_t> TakeRecentTypes();

 private:
  // A frame whose CRC held: header, message and CRC.
  void TakeFrame(const uint8_t* frame, size_t size);

  std::vector<uint8_t> pending_;  // bytes not yet framed or skipped
  std::map<uint32_t, MessageStats> messages_;
  std::set<uint32_t> recent_;
  std::optional<StationPosition> station_;
  uint64_t bytesFed_ = 0;
  uint64_t frames_ = 0;
  uint64_t badCrc_ = 0;
  uint64_t tooShort_ = 0;
  uint64_t skipped_ = 0;
  // Stream time: GPS time of week of the last observation epoch, in ms,
  // unwrapped across weeks; none before the first observation message.
  std::optional<int64_t> streamMs_;
  int64_t lastTowMs_ = 0;
};

}  // namespace corvane::rtcm3
