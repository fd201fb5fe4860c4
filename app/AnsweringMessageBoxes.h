// Message boxes that must not wait for anybody: when nobody can answer (an
// unattended run, no screen) or the application is ending, a box is answered
// at once with its default button, OK, and what it said goes to the event log
// and stderr instead of a screen.
#pragma once

#include <atomic>

#include "config/MessageBox.h"
#include "platform/EventLog.h"

namespace corvane {

class AnsweringMessageBoxes final : public MessageBoxes {
 public:
  AnsweringMessageBoxes(MessageBoxes& screen, EventLog& log) : screen_(screen), log_(log) {}

  // From now on every box is answered at once.
  void AnswerAtOnce() { atOnce_ = true; }

  MessageResult Show(std::u16string_view text, std::u16string_view caption, MessageButtons buttons,
                     MessageIcon icon) override;

 private:
  MessageBoxes& screen_;
  EventLog& log_;
  std::atomic<bool> atOnce_{false};
};

}  // namespace corvane
