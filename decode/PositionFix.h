// The receiver's decoded position, time, quality and satellites, and the
// published copy that other threads read while the decoder writes.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

namespace corvane {

struct SatelliteInfo {
  int32_t Prn = 0;        // satellite number as reported
  int32_t Elevation = 0;  // degrees
  int32_t Azimuth = 0;    // degrees
  int32_t Snr = 0;        // dB-Hz (L1 for GSOF)
  int32_t Snr2 = 0;       // dB-Hz, L2 (GSOF only)
  uint8_t Used = 0;       // 1 = used in the position solution

  friend bool operator==(const SatelliteInfo&, const SatelliteInfo&) = default;
};

inline constexpr int kSatelliteTableSize = 20;
using SatelliteTable = std::array<SatelliteInfo, kSatelliteTableSize>;

struct PositionFix {
  SatelliteTable GpsSats{};  // GPS (and SBAS from GSOF)
  SatelliteTable BdsSats{};
  SatelliteTable GloSats{};
  int32_t Year = 0;
  int32_t Month = 0;  // 1-12
  int32_t Day = 0;
  int32_t Hour = 0;  // 0-23
  int32_t Minute = 0;
  int32_t Second = 0;
  int32_t FixQuality = 0;        // 0 no usable position; 1 and above valid
  double Latitude = 0.0;         // degrees, north positive
  double Longitude = 0.0;        // degrees, east positive
  char LatHemisphere = 0;        // as received (NMEA only)
  char LonHemisphere = 0;        // as received (NMEA only)
  double Altitude = 0.0;         // metres
  double GeoidSeparation = 0.0;  // metres (NMEA only)
  double Pdop = 0.0;
  double Hdop = 0.0;
  double Vdop = 0.0;
  double Hrms = 0.0;  // metres
  double Vrms = 0.0;  // metres
  // Counts as reported; an NMEA count may exceed the 20 table entries, so
  // readers bound their loops by kSatelliteTableSize as well.
  int32_t SatsInView = 0;
  int32_t GpsInView = 0;
  int32_t GloInView = 0;
  int32_t BdsInView = 0;

  friend bool operator==(const PositionFix&, const PositionFix&) = default;
};

// The record shared between the decoding thread and its readers: the decoder
// updates under the lock, readers take whole copies under it.
class SharedPositionFix {
 public:
  PositionFix Snapshot() const {
    std::lock_guard lock(mutex_);
    return fix_;
  }
  int32_t FixQuality() const {
    std::lock_guard lock(mutex_);
    return fix_.FixQuality;
  }
  // Runs `update` on the record under the lock.
  template <typename Update>
  void Modify(Update&& update) {
    std::lock_guard lock(mutex_);
    update(fix_);
  }

 private:
  mutable std::mutex mutex_;
  PositionFix fix_;
};

}  // namespace corvane
