// Helpers for driving the windows in tests: the settings, registry file and
// scripted message boxes a dialog is built on, and a way to act on a modal
// dialog once its exec() runs.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "config/Settings.h"
#include "config/ui/DialogTemplate.h"
#include "fixtures/QtApp.h"
#include "fixtures/ScriptedMessageBoxes.h"
#include "fixtures/TempDir.h"
#include "platform/RegistryStore.h"

namespace corvane::testing {

struct DialogBench {
  DialogBench() { EnsureQtApp(); }

  TempDir dir;
  std::filesystem::path registryFile = dir.path() / "registry.reg";
  RegistryStore registry{registryFile};
  Settings settings;
  ScriptedMessageBoxes boxes;

  // The settings as the next start would load them from the file.
  Settings Reloaded() const {
    RegistryStore fresh(registryFile);
    Settings loaded;
    LoadSettings(loaded, fresh);
    return loaded;
  }
};

template <typename T>
T* Control(const QWidget* dialog, int id) {
  T* control = FindControl<T>(dialog, id);
  EXPECT_NE(control, nullptr) << id;
  return control;
}

inline void Click(const QWidget* dialog, int id) {
  QTest::mouseClick(Control<QAbstractButton>(dialog, id), Qt::LeftButton);
}

inline QStringList Entries(const QComboBox* list) {
  QStringList entries;
  for (int i = 0; i < list->count(); ++i) entries << list->itemText(i);
  return entries;
}

// The texts of a dialog's children of type T, in creation order.
template <typename T, typename Text>
QStringList TextsOf(const QWidget* dialog, Text text) {
  QStringList texts;
  for (const T* child : dialog->findChildren<T*>()) texts << (child->*text)();
  return texts;
}

// A control's template rectangle, in dialog units. Drop-down lists keep the
// template's left, top and width; their height is that of the closed list.
struct Placed {
  int Id, X, Y, Width, Height;
};
inline void ExpectPlaced(const QWidget* dialog, std::initializer_list<Placed> controls) {
  const DialogBaseUnits units = BaseUnitsOf(QFontMetrics(dialog->font()));
  for (const Placed& c : controls) {
    const QWidget* control = Control<QWidget>(dialog, c.Id);
    const QRect rect = DialogRect(units, c.X, c.Y, c.Width, c.Height);
    if (qobject_cast<const QComboBox*>(control) != nullptr) {
      EXPECT_EQ(control->geometry().topLeft(), rect.topLeft()) << c.Id;
      EXPECT_EQ(control->width(), rect.width()) << c.Id;
    } else {
      EXPECT_EQ(control->geometry(), rect) << c.Id;
    }
  }
}

// Runs `action` on the modal dialog of type T as soon as it is the active
// modal window, polling from the event loop for at most five seconds. The
// returned flag turns true once the action ran.
template <typename T>
std::shared_ptr<bool> WhenModal(std::function<void(T*)> action) {
  auto ran = std::make_shared<bool>(false);
  auto* poll = new QTimer;
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  QObject::connect(poll, &QTimer::timeout, [poll, action, ran, clock] {
    auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
    if (dialog != nullptr) {
      poll->stop();
      poll->deleteLater();
      *ran = true;
      action(dialog);
    } else if (clock->elapsed() > 5000) {
      poll->stop();
      poll->deleteLater();
      // Nothing may stay modal for ever: close whatever blocks the test.
      if (QWidget* other = QApplication::activeModalWidget()) other->close();
    }
  });
  poll->start(10);
  return ran;
}

}  // namespace corvane::testing
