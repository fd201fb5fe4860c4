// Message boxes on screen, owned by a window.
#pragma once

#include <QWidget>

#include "config/MessageBox.h"

namespace corvane {

class QtMessageBoxes final : public MessageBoxes {
 public:
  // `owner` may be null: the box then has no owner window.
  explicit QtMessageBoxes(QWidget* owner = nullptr) : owner_(owner) {}
  MessageResult Show(std::u16string_view text, std::u16string_view caption, MessageButtons buttons,
                     MessageIcon icon) override;

 private:
  QWidget* owner_;
};

}  // namespace corvane
