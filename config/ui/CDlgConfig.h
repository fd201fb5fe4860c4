// The Config dialog: receiver type, correction format and base coordinate,
// and the way to the Option dialog. Its Save is the one place where Settings
// reach the registry. This edition accepts only a Trimble-type receiver and
// RTCM 3.2; Save refuses anything else with a hint.
#pragma once

#include <QDialog>
#include <array>

#include "config/MessageBox.h"
#include "config/Settings.h"
#include "platform/EventLog.h"
#include "platform/RegistryStore.h"

class QComboBox;
class QLineEdit;
class QRadioButton;
class QWidget;

namespace corvane {

class CDlgConfig : public QDialog {
  Q_OBJECT

 public:
  enum ControlId {
    kIdType = 1019,
    kIdSetup = 1020,
    kIdAutonomous = 1021,
    kIdInputCoordinate = 1022,
    kIdLat = 1023,
    kIdLon = 1024,
    kIdNs = 1025,
    kIdEw = 1026,
    kIdHeight = 1027,
    kIdSave = 1028,
    kIdCancel = 1029,
    kIdFormat = 1030,
  };

  // Entries of the Type and Format lists that Save accepts.
  static constexpr int kTrimbleEntry = 0;
  static constexpr int kRtcm32Entry = 5;

  CDlgConfig(Settings& settings, RegistryStore& registry, EventLog& log, MessageBoxes& boxes,
             QWidget* parent = nullptr);

  // Save: the dialog closes only when the type and the format pass. A write
  // that fails is logged and shown; the values stay in effect, unstored.
  void accept() override;

 private:
  void ShowSettings();
  void SetCoordinateControlsEnabled(bool enabled);
  void OpenOptionDialog();

  Settings& settings_;
  RegistryStore& registry_;
  EventLog& log_;
  MessageBoxes& boxes_;
  QComboBox* type_;
  QComboBox* format_;
  QRadioButton* autonomous_;
  QRadioButton* inputCoordinate_;
  QLineEdit* lat_;
  QLineEdit* lon_;
  QLineEdit* height_;
  QComboBox* ns_;
  QComboBox* ew_;
  // Enabled and disabled together, in this order: Lat, Lon, H, NS, EW.
  std::array<QWidget*, 5> coordinateControls_{};
};

}  // namespace corvane
