#include "app/ui/CDlgMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QResizeEvent>
#include <QScreen>
#include <QTimer>
#include <QTimerEvent>

#include "app/Startup.h"
#include "config/ui/CDlgConfig.h"
#include "platform/CodePage.h"
#include "receiver/RelayPort.h"

namespace corvane {

namespace {

QString FromAnsi(const std::string& text) {
  const std::u16string wide = AnsiToWide(text);
  return QString::fromUtf16(wide.data(), static_cast<qsizetype>(wide.size()));
}

QLabel* MakeCaption(const char* text, QWidget* parent) {
  auto* label = new QLabel(QString::fromLatin1(text), parent);
  label->setAlignment(Qt::AlignRight | Qt::AlignTop);
  return label;
}

}  // namespace

CDlgMain::CDlgMain(Settings& settings, RegistryStore& registry, StampedEventLog& log,
                   MessageBoxes& boxes, UiTimeSource& time, Clock& clock, RouteSource& routes,
                   QWidget* parent)
    : QDialog(parent),
      settings_(settings),
      registry_(registry),
      log_(log),
      boxes_(boxes),
      time_(time),
      frame_(new QGroupBox(this)),
      casterCaption_(MakeCaption("Caster:", this)),
      mountCaption_(MakeCaption("Mount Point:", this)),
      portCaption_(MakeCaption("Port:", this)),
      casterLabel_(new QLabel(this)),
      mountLabel_(new QLabel(this)),
      portLabel_(new QLabel(this)),
      speedCaption_(MakeCaption("Speed:", this)),
      speedLabel_(new QLabel(this)),
      sentCaption_(MakeCaption("Send:", this)),
      sentLabel_(new QLabel(this)),
      progress_(new QProgressBar(this)),
      startStop_(new QPushButton(QStringLiteral("Start"), this)),
      option_(new QPushButton(QStringLiteral("Option"), this)),
      exit_(new QPushButton(QStringLiteral("Exit"), this)),
      events_(new QListWidget(this)),
      receiver_(std::make_unique<SerialChannel>(time), time, clock),
      bearer_(routes, time, settings),
      controller_(*this, settings, log, boxes, time, receiver_, bearer_,
                  [this](std::string_view serialPort, int32_t baudRate) {
                    std::unique_ptr<RelayLink> relay;
                    if (auto port = OpenRelayPort(serialPort, baudRate, log_)) {
                      relay = std::make_unique<Relay>(std::move(port), nullptr, log_, time_);
                    }
                    return relay;
                  }) {
  setFont(DialogFont());
  units_ = BaseUnitsOf(QFontMetrics(font()));
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(false);
  events_->setSortingEnabled(false);
  events_->setFrameShape(QFrame::Box);
  events_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  events_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  for (QPushButton* button : {startStop_, option_, exit_}) button->setAutoDefault(false);
  frame_->lower();
  LayoutControls();
  setFixedSize(DialogRect(units_, 0, 0, 134, 150).size());
  connect(exit_, &QPushButton::clicked, this, &CDlgMain::OnExit);
  connect(option_, &QPushButton::clicked, this, &CDlgMain::OnOption);
  connect(startStop_, &QPushButton::clicked, this, &CDlgMain::OnStartStop);
  OnInitDialog();
}

CDlgMain::~CDlgMain() {
  // First, so that no worker waits for this thread while the controller
  // below ends the relays and waits for their threads.
  log_.Detach();
}

void CDlgMain::LayoutControls() {
  PlaceControl(casterCaption_, units_, 0, 15, 9, 36, 8);
  PlaceControl(mountCaption_, units_, 0, 7, 21, 44, 8);
  PlaceControl(portCaption_, units_, 0, 15, 33, 36, 8);
  PlaceControl(casterLabel_, units_, kIdcCasterLabel, 54, 9, 76, 8);
  PlaceControl(mountLabel_, units_, kIdcMountLabel, 54, 21, 76, 8);
  PlaceControl(portLabel_, units_, kIdcPortLabel, 54, 33, 76, 8);
  PlaceControl(frame_, units_, 0, 3, 0, 131, 47);
  PlaceControl(speedCaption_, units_, 0, 6, 52, 24, 8);
  PlaceControl(speedLabel_, units_, kIdcSpeed, 33, 52, 40, 8);
  PlaceControl(sentCaption_, units_, 0, 76, 52, 18, 8);
  PlaceControl(sentLabel_, units_, kIdcSent, 96, 52, 36, 8);
  PlaceControl(progress_, units_, kIdcProgress, 3, 64, 129, 9);
  PlaceControl(startStop_, units_, kIdcStartStop, 6, 76, 28, 15);
  PlaceControl(option_, units_, kIdcOption, 38, 76, 28, 15);
  PlaceControl(exit_, units_, kIdcExit, 102, 76, 28, 15);
  PlaceControl(events_, units_, kIdcEventList, 3, 92, 129, 56);
}

void CDlgMain::OnInitDialog() {
  const QIcon icon(QStringLiteral(":/icon142.xpm"));
  setWindowIcon(icon);
  LoadSettings(settings_, registry_);
  RefreshStatusLabels();
  setWindowTitle(QString::fromLatin1(kAppTitle));
  log_.Attach(*this);
  log_.LogEvent(kAppTitle);
  log_.LogEvent(kAttributionLine);
  log_.LogEvent("System Init.");
}

void CDlgMain::RefreshStatusLabels() {
  const StatusLabels labels = FormatStatusLabels(settings_);
  ShowWholeText(mountLabel_, FromAnsi(labels.Mount));
  ShowWholeText(portLabel_, FromAnsi(labels.Port));
  ShowWholeText(casterLabel_, FromAnsi(labels.Caster));
}

void CDlgMain::SetRunningControls(bool running) {
  startStop_->setEnabled(true);
  startStop_->setText(running ? QStringLiteral("Stop") : QStringLiteral("Start"));
  option_->setEnabled(!running);
  exit_->setEnabled(!running);
}

void CDlgMain::DisableStartStop() {
  startStop_->setEnabled(false);
}

void CDlgMain::ShowTransfer(const TransferLine& line) {
  speedLabel_->setText(QString::fromLatin1(line.Speed));
  sentLabel_->setText(QString::fromLatin1(line.Sent));
  if (line.Progress) progress_->setValue(*line.Progress);
}

void CDlgMain::SetTimer(int id, Millis period) {
  KillTimer(id);
  timers_[id] = startTimer(time_.RealPeriod(period), Qt::PreciseTimer);
}

void CDlgMain::KillTimer(int id) {
  const auto timer = timers_.find(id);
  if (timer == timers_.end()) return;
  killTimer(timer->second);
  timers_.erase(timer);
  heldTicks_.erase(id);
}

void CDlgMain::ShowLogLine(const std::u16string& line) {
  OnLogLine(QString::fromUtf16(line.data(), static_cast<qsizetype>(line.size())));
}

void CDlgMain::WakeUi() {
  // Queued by name, so that Qt makes the call itself and nothing this thread
  // builds crosses to the UI thread but what the log's lock guards. A window
  // that is gone by then takes the call with it.
  QMetaObject::invokeMethod(this, "ShowHandedOverLines", Qt::QueuedConnection);
}

void CDlgMain::ShowHandedOverLines() {
  log_.ShowPendingLines();
}

void CDlgMain::OnLogLine(const QString& line) {
  events_->insertItem(0, line.left(255));
}

void CDlgMain::OnExit() {
  accept();
}

void CDlgMain::OnOption() {
  CDlgConfig config(settings_, registry_, log_, boxes_, this);
  config.exec();
  RefreshStatusLabels();
}

void CDlgMain::accept() {
  if (boxes_.Show(u"Do you want to exit", u"Prompt", MessageButtons::OkCancel,
                  MessageIcon::Question) == MessageResult::Ok) {
    QDialog::accept();
  }
}

void CDlgMain::done(int result) {
  // Once the window has ended nobody handles its lines: a worker that logs
  // then must not wait for it.
  log_.Detach();
  QDialog::done(result);
}

template <typename Call>
void CDlgMain::Forward(Call call) {
  ++busy_;
  call();
  if (--busy_ == 0) ReleaseHeld();
}

void CDlgMain::ReleaseHeld() {
  if (heldPresses_ == 0 && heldTicks_.empty() && !heldClose_) return;
  // After the call that held them has returned to the event loop.
  QTimer::singleShot(0, this, [this] {
    for (; heldPresses_ > 0 && busy_ == 0; --heldPresses_) OnStartStop();
    while (!heldTicks_.empty() && busy_ == 0) {
      const int id = *heldTicks_.begin();
      heldTicks_.erase(heldTicks_.begin());
      if (timers_.count(id) != 0) OnTimer(id);
    }
    if (heldClose_ && busy_ == 0) {
      heldClose_ = false;
      close();
    }
  });
}

void CDlgMain::OnStartStop() {
  if (busy_ > 0) {
    ++heldPresses_;
    return;
  }
  Forward([this] { controller_.OnStartStop(); });
}

void CDlgMain::OnTimer(int id) {
  if (busy_ > 0) {
    heldTicks_.insert(id);
    return;
  }
  Forward([this, id] { controller_.OnTimer(id); });
}

void CDlgMain::timerEvent(QTimerEvent* event) {
  for (const auto& [id, qtId] : timers_) {
    if (qtId == event->timerId()) {
      OnTimer(id);
      return;
    }
  }
  QDialog::timerEvent(event);
}

void CDlgMain::closeEvent(QCloseEvent* event) {
  if (busy_ > 0 && !ending_) {
    heldClose_ = true;
    event->ignore();
    return;
  }
  if (!ending_) Forward([this] { controller_.OnClose(); });
  QDialog::closeEvent(event);
}

void CDlgMain::PressStartWhenShown() {
  QTimer::singleShot(0, this, [this] { startStop_->click(); });
}

void CDlgMain::EndApplication() {
  if (ending_) return;
  ending_ = true;
  time_.EndSleeps();
  controller_.Terminate();
  // Every modal window ends, message boxes and the settings dialogs
  // included; each nested loop returns as the call stack unwinds to it.
  for (QWidget* window : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<QDialog*>(window);
    if (dialog != nullptr && dialog != this && dialog->isVisible()) dialog->reject();
  }
  reject();
}

void CDlgMain::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  // A portrait screen puts the controls back on their template positions; in
  // landscape they stay where they are.
  const QScreen* screen = this->screen();
  if (screen != nullptr && screen->geometry().height() > screen->geometry().width()) {
    LayoutControls();
  }
}

}  // namespace corvane
