#include "tools/decode/InventoryJson.h"

#include <nlohmann/json.hpp>

namespace corvane {

std::string InventoryToJson(const rtcm3::Inventory& inventory) {
  using Json = nlohmann::ordered_json;
  Json messages = Json::array();
  for (const auto& [type, stats] : inventory.Messages()) {
    const std::optional<double> interval = stats.MeanInterval();
    messages.push_back({{"Type", type},
                        {"Count", stats.Count},
                        {"Bytes", stats.Bytes},
                        {"MeanInterval", interval ? Json(*interval) : Json()}});
  }
  Json station;
  if (const auto& at = inventory.Station()) {
    station = {{"Message", at->Message},
               {"StationId", at->StationId},
               {"X", at->X},
               {"Y", at->Y},
               {"Z", at->Z},
               {"Latitude", at->Position.Latitude},
               {"Longitude", at->Position.Longitude},
               {"Height", at->Position.Height},
               {"AntennaHeight", at->AntennaHeight ? Json(*at->AntennaHeight) : Json()}};
  }
  const Json object = {{"Bytes", inventory.BytesFed()},
                       {"Frames", inventory.Frames()},
                       {"BadCrc", inventory.BadCrc()},
                       {"TooShort", inventory.TooShort()},
                       {"SkippedBytes", inventory.SkippedBytes()},
                       {"Messages", messages},
                       {"Station", station}};
  return object.dump();
}

}  // namespace corvane
