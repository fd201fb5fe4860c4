// Message boxes as the windows raise them. One small interface, so that the
// windows can be driven in tests with scripted answers instead of a modal box.
#pragma once

#include <string>
#include <string_view>

namespace corvane {

enum class MessageIcon { None, Question, Exclamation, Error };
enum class MessageButtons { Ok, OkCancel };
enum class MessageResult { Ok, Cancel };

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // Shows the box modally and returns the button that closed it.
  virtual MessageResult Show(std::u16string_view text, std::u16string_view caption,
                             MessageButtons buttons, MessageIcon icon) = 0;
};

}  // namespace corvane
