// The main window: where the stream goes, the transfer line, Start/Stop,
// Option and Exit, and the event list with the newest line on top.
#pragma once

#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>

#include "app/EventLog.h"
#include "config/MessageBox.h"
#include "config/Settings.h"
#include "config/ui/DialogTemplate.h"
#include "platform/RegistryStore.h"

namespace corvane {

// Control ids of the main window's template.
enum MainControl : int {
  kIdcCasterLabel = 1009,
  kIdcMountLabel = 1010,
  kIdcPortLabel = 1011,
  kIdcSpeed = 1012,
  kIdcSent = 1013,
  kIdcProgress = 1014,
  kIdcStartStop = 1015,
  kIdcOption = 1016,
  kIdcExit = 1017,
  kIdcEventList = 1018,
};

class CDlgMain : public QDialog, public LogLineSink {
  Q_OBJECT

 public:
  // Runs the window's start-up (icon, settings load, labels, title and the
  // three start-up lines) as the window is created.
  CDlgMain(Settings& settings, RegistryStore& registry, StampedEventLog& log, MessageBoxes& boxes,
           QWidget* parent = nullptr);
  ~CDlgMain() override;

  // From any thread; returns once the line is on top of the event list.
  void ShowLogLine(const std::u16string& line) override;

  void SetRunningControls(bool running);
  void RefreshStatusLabels();

  // The OK command: asks before the window ends.
  void accept() override;
  void done(int result) override;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void OnInitDialog();
  void OnLogLine(const QString& line);
  void OnExit();
  void LayoutControls();

  Settings& settings_;
  RegistryStore& registry_;
  StampedEventLog& log_;
  MessageBoxes& boxes_;
  DialogBaseUnits units_;

  QGroupBox* frame_;
  QLabel* casterCaption_;
  QLabel* mountCaption_;
  QLabel* portCaption_;
  QLabel* casterLabel_;
  QLabel* mountLabel_;
  QLabel* portLabel_;
  QLabel* speedCaption_;
  QLabel* speedLabel_;
  QLabel* sentCaption_;
  QLabel* sentLabel_;
  QProgressBar* progress_;
  QPushButton* startStop_;
  QPushButton* option_;
  QPushButton* exit_;
  QListWidget* events_;
};

}  // namespace corvane
