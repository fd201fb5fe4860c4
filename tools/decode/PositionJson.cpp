#include "tools/decode/PositionJson.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace corvane {
namespace {

class JsonObject {
 public:
  explicit JsonObject(std::string& out) : out_(out) { out_ += '{'; }
  ~JsonObject() { out_ += '}'; }

  std::string& Key(std::string_view name) {
    if (!first_) out_ += ',';
    first_ = false;
    out_ += '"';
    out_ += name;
    out_ += "\":";
    return out_;
  }
  void Int(std::string_view name, long long value) { Key(name) += std::to_string(value); }
  void Double(std::string_view name, double value) {
    std::string& out = Key(name);
    if (!std::isfinite(value)) {
      out += "null";
      return;
    }
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
  }
  void Letter(std::string_view name, char letter) {
    std::string& out = Key(name);
    out += '"';
    const auto byte = static_cast<unsigned char>(letter);
    if (byte >= 0x20 && byte < 0x7f && letter != '"' && letter != '\\') {
      out += letter;
    } else if (byte != 0) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    }
    out += '"';
  }

 private:
  std::string& out_;
  bool first_ = true;
};

void AppendTable(JsonObject& object, std::string_view name, const SatelliteTable& table) {
  std::string& out = object.Key(name);
  out += '[';
  for (size_t i = 0; i < table.size(); ++i) {
    if (i > 0) out += ',';
    JsonObject sat(out);
    sat.Int("Prn", table[i].Prn);
    sat.Int("Elevation", table[i].Elevation);
    sat.Int("Azimuth", table[i].Azimuth);
    sat.Int("Snr", table[i].Snr);
    sat.Int("Snr2", table[i].Snr2);
    sat.Int("Used", table[i].Used);
  }
  out += ']';
}

}  // namespace

std::string PositionFixToJson(const PositionFix& fix) {
  std::string out;
  {
    JsonObject object(out);
    AppendTable(object, "GpsSats", fix.GpsSats);
    AppendTable(object, "BdsSats", fix.BdsSats);
    AppendTable(object, "GloSats", fix.GloSats);
    object.Int("Year", fix.Year);
    object.Int("Month", fix.Month);
    object.Int("Day", fix.Day);
    object.Int("Hour", fix.Hour);
    object.Int("Minute", fix.Minute);
    object.Int("Second", fix.Second);
    object.Int("FixQuality", fix.FixQuality);
    object.Double("Latitude", fix.Latitude);
    object.Double("Longitude", fix.Longitude);
    object.Letter("LatHemisphere", fix.LatHemisphere);
    object.Letter("LonHemisphere", fix.LonHemisphere);
    object.Double("Altitude", fix.Altitude);
    object.Double("GeoidSeparation", fix.GeoidSeparation);
    object.Double("Pdop", fix.Pdop);
    object.Double("Hdop", fix.Hdop);
    object.Double("Vdop", fix.Vdop);
    object.Double("Hrms", fix.Hrms);
    object.Double("Vrms", fix.Vrms);
    object.Int("SatsInView", fix.SatsInView);
    object.Int("GpsInView", fix.GpsInView);
    object.Int("GloInView", fix.GloInView);
    object.Int("BdsInView", fix.BdsInView);
  }
  return out;
}

}  // namespace corvane
