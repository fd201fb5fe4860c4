// The Option dialog: the receiver's serial port and baud rate and the caster
// connection (address, port, password, mount point, retry count, interval).
// Save copies the fields into Settings in memory only; the registry is written
// when the Config dialog that opened this one is saved.
#pragma once

#include <QDialog>
#include <string_view>

#include "config/MessageBox.h"
#include "config/Settings.h"

class QComboBox;
class QLineEdit;

namespace corvane {

// The caption of the dialogs' own message boxes.
inline constexpr std::u16string_view kApplicationName = u"Corvane";

// True when the text holds at least three dots and each of the four parts
// (the fourth is everything after the third dot) converts as atoi does to a
// value from 0 to 255.
bool IsValidCasterAddress(std::string_view text);

class CDlgOption : public QDialog {
  Q_OBJECT

 public:
  enum ControlId {
    kIdSerialPort = 1000,
    kIdBaudRate = 1001,
    kIdCasterAddress = 1002,
    kIdPort = 1003,
    kIdPassword = 1004,
    kIdMount = 1005,
    kIdRetry = 1006,
    kIdInterval = 1007,
    kIdSave = 1008,
    kIdCancel = 1009,
  };

  // Longest texts the edits take: what survives a save and a reload of the
  // registry (16 characters of address, 32 of password and of mount point).
  static constexpr int kMaxAddressLength = 16;
  static constexpr int kMaxPasswordLength = 32;
  static constexpr int kMaxMountLength = 32;

  CDlgOption(Settings& settings, MessageBoxes& boxes, QWidget* parent = nullptr);

  // Save: the dialog closes only when the address passes the check.
  void accept() override;

 private:
  void ShowSettings();

  Settings& settings_;
  MessageBoxes& boxes_;
  QComboBox* serialPort_;
  QComboBox* baudRate_;
  QLineEdit* casterAddress_;
  QLineEdit* port_;
  QLineEdit* password_;
  QLineEdit* mount_;
  QLineEdit* retry_;
  QLineEdit* interval_;
};

}  // namespace corvane
