// The simulator's text commands: a malformed one is Unknown (logged and
// ignored by the program), never an exception that ends it.
#include <gtest/gtest.h>

#include "SimProtocol.h"

namespace corvane::sim {
namespace {

TEST(SimCommandTest, MalformedCommandsAreUnknown) {
  using Kind = Command::Kind;
  const std::pair<const char*, Kind> rows[] = {
      {"log rtcm1033b ontime 10", Kind::LogCorrection},
      {"log gpgga ontime 0.5", Kind::LogPosition},
      {"log rtcm99999999999999999999b ontime 1", Kind::Unknown},
      {"log rtcm4096 ontime 1", Kind::Unknown},
      {"log gpgga ontime 1e999", Kind::Unknown},
      {"log gpgga ontime nan", Kind::Unknown},
      {"log gpgga ontime -1", Kind::Unknown},
      {"log gpgga ontime x", Kind::Unknown},
  };
  for (const auto& [line, kind] : rows) EXPECT_EQ(ParseTextCommand(line).kind, kind) << line;
  EXPECT_EQ(ParseTextCommand("log gpgga ontime 0.5").periodSeconds, 1);
}

}  // namespace
}  // namespace corvane::sim
