#include "tools/decode/PositionJson.h"

#include <nlohmann/json.hpp>

namespace corvane {
namespace {

using Json = nlohmann::ordered_json;

Json TableJson(const SatelliteTable& table) {
  Json entries = Json::array();
  for (const SatelliteInfo& sat : table) {
    entries.push_back({{"Prn", sat.Prn},
                       {"Elevation", sat.Elevation},
                       {"Azimuth", sat.Azimuth},
                       {"Snr", sat.Snr},
                       {"Snr2", sat.Snr2},
                       {"Used", sat.Used}});
  }
  return entries;
}

// The letter as received; a byte outside ASCII is taken as Latin-1, so that
// the line stays valid UTF-8.
Json LetterJson(char letter) {
  const auto byte = static_cast<unsigned char>(letter);
  if (byte == 0) return "";
  if (byte < 0x80) return std::string(1, letter);
  return std::string{static_cast<char>(0xC0 | byte >> 6), static_cast<char>(0x80 | (byte & 0x3F))};
}

}  // namespace

std::string PositionFixToJson(const PositionFix& fix) {
  const Json object = {{"GpsSats", TableJson(fix.GpsSats)},
                       {"BdsSats", TableJson(fix.BdsSats)},
                       {"GloSats", TableJson(fix.GloSats)},
                       {"Year", fix.Year},
                       {"Month", fix.Month},
                       {"Day", fix.Day},
                       {"Hour", fix.Hour},
                       {"Minute", fix.Minute},
                       {"Second", fix.Second},
                       {"FixQuality", fix.FixQuality},
                       {"Latitude", fix.Latitude},
                       {"Longitude", fix.Longitude},
                       {"LatHemisphere", LetterJson(fix.LatHemisphere)},
                       {"LonHemisphere", LetterJson(fix.LonHemisphere)},
                       {"Altitude", fix.Altitude},
                       {"GeoidSeparation", fix.GeoidSeparation},
                       {"Pdop", fix.Pdop},
                       {"Hdop", fix.Hdop},
                       {"Vdop", fix.Vdop},
                       {"Hrms", fix.Hrms},
                       {"Vrms", fix.Vrms},
                       {"SatsInView", fix.SatsInView},
                       {"GpsInView", fix.GpsInView},
                       {"GloInView", fix.GloInView},
                       {"BdsInView", fix.BdsInView}};
  // ASCII only: control characters and Latin-1 letters come out escaped.
  return object.dump(-1, ' ', true);
}

}  // namespace corvane
