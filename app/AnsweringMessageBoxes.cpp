#include "app/AnsweringMessageBoxes.h"

#include <cstdio>
#include <string>

#include "platform/CodePage.h"

namespace corvane {

MessageResult AnsweringMessageBoxes::Show(std::u16string_view text, std::u16string_view caption,
                                          MessageButtons buttons, MessageIcon icon) {
  if (!atOnce_) return screen_.Show(text, caption, buttons, icon);
  const std::string line =
      "Message box \"" + WideToAnsi(caption) + "\": " + WideToAnsi(text) + " (answered OK)";
  std::fprintf(stderr, "corvane: %s\n", line.c_str());
  log_.LogEvent(line);
  return MessageResult::Ok;
}

}  // namespace corvane
