// The position record as one line of JSON, fields named and ordered as in the
// record, for checking a receiver's output by eye or by script.
#pragma once

#include <string>

#include "decode/PositionFix.h"

namespace corvane {

// Doubles in their shortest exact form (null when not finite); the hemisphere
// letters as one-character strings, "" when none was received.
std::string PositionFixToJson(const PositionFix& fix);

}  // namespace corvane
