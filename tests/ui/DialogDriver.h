// Helpers for driving the windows in tests: the settings, registry file and
// scripted message boxes a dialog is built on, and a way to act on a modal
// dialog once its exec() runs.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>
#include <memory>

#include "config/Settings.h"
#include "fixtures/ScriptedMessageBoxes.h"
#include "fixtures/TempDir.h"
#include "platform/RegistryStore.h"

namespace corvane::testing {

struct DialogBench {
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
