// The main window: where the stream goes, the transfer line, Start/Stop,
// Option and Exit, and the event list with the newest line on top. The
// Start/Stop cycle runs in the RunController; the window forwards the
// presses, the timer ticks and the close to it.
//
// While the controller works (StartServer may take two minutes), the window
// keeps painting and showing log lines, but holds what the operator does and
// the controller's timer ticks: held presses are handled once the call
// returns, and at most one held tick of each timer fires then.
#pragma once

#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <map>
#include <set>

#include "app/EventLog.h"
#include "app/RunController.h"
#include "app/ui/UiTimeSource.h"
#include "config/MessageBox.h"
#include "config/Settings.h"
#include "config/ui/DialogTemplate.h"
#include "platform/Clock.h"
#include "platform/RegistryStore.h"
#include "platform/Routes.h"
#include "receiver/GpsReceiver.h"
#include "uplink/NetworkBearer.h"

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

class CDlgMain : public QDialog, public LogLineSink, public RunWindow {
  Q_OBJECT

 public:
  // Runs the window's start-up (icon, settings load, labels, title and the
  // three start-up lines) as the window is created.
  CDlgMain(Settings& settings, RegistryStore& registry, StampedEventLog& log, MessageBoxes& boxes,
           UiTimeSource& time, Clock& clock, RouteSource& routes, QWidget* parent = nullptr);
  ~CDlgMain() override;

  void ShowLogLine(const std::u16string& line) override;
  void WakeUi() override;

  void SetRunningControls(bool running) override;
  void DisableStartStop() override;
  void ShowTransfer(const TransferLine& line) override;
  void SetTimer(int id, Millis period) override;
  void KillTimer(int id) override;
  void RefreshStatusLabels();

  // Presses Start as the operator would, once the window is up.
  void PressStartWhenShown();
  // Ends the application at once, whatever runs: the controller stops, the
  // receiver and relay port close, and every event loop ends, a modal
  // dialog's or message box's included.
  void EndApplication();

  // The OK command: asks before the window ends.
  void accept() override;
  void done(int result) override;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void timerEvent(QTimerEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // The UI thread's side of WakeUi.
  Q_INVOKABLE void ShowHandedOverLines();
  void OnInitDialog();
  void OnLogLine(const QString& line);
  void OnExit();
  // Runs the Config dialog; the labels follow whatever it changed in memory.
  void OnOption();
  void OnStartStop();
  void OnTimer(int id);
  void LayoutControls();
  // Runs a controller call; presses and ticks that come meanwhile are held
  // and handled after it returns.
  template <typename Call>
  void Forward(Call call);
  void ReleaseHeld();

  Settings& settings_;
  RegistryStore& registry_;
  StampedEventLog& log_;
  MessageBoxes& boxes_;
  UiTimeSource& time_;
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

  // Declared after what they use, so that they go first: the controller ends
  // its relays before the receiver goes.
  GpsReceiver receiver_;
  NetworkBearer bearer_;
  RunController controller_;

  std::map<int, int> timers_;  // controller's timer id -> Qt timer id
  int busy_ = 0;               // depth of controller calls under way
  int heldPresses_ = 0;
  std::set<int> heldTicks_;
  bool heldClose_ = false;
  bool ending_ = false;
};

}  // namespace corvane
