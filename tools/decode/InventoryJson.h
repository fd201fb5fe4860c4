// An RTCM 3 stream inventory as one line of JSON: what the base sends, per
// message type, and where it says it stands.
#pragma once

#include <string>

#include "tools/common/Rtcm3Inventory.h"

namespace corvane {

// Counts, then "Messages" in ascending type order (a mean interval of null:
// fewer than two frames of the type had a stream time), then "Station" (null
// before any 1005 or 1006).
std::string InventoryToJson(const rtcm3::Inventory& inventory);

}  // namespace corvane
