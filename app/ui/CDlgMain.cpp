#include "app/ui/CDlgMain.h"

#include <QGuiApplication>
#include <QIcon>
#include <QResizeEvent>
#include <QScreen>
#include <QThread>

#include "app/Startup.h"
#include "config/ui/CDlgConfig.h"
#include "platform/CodePage.h"

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
                   MessageBoxes& boxes, QWidget* parent)
    : QDialog(parent),
      settings_(settings),
      registry_(registry),
      log_(log),
      boxes_(boxes),
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
      events_(new QListWidget(this)) {
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
  OnInitDialog();
}

CDlgMain::~CDlgMain() {
  log_.SetSink(nullptr);
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
  log_.SetSink(this);
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

void CDlgMain::ShowLogLine(const std::u16string& line) {
  const QString text = QString::fromUtf16(line.data(), static_cast<qsizetype>(line.size()));
  if (QThread::currentThread() == thread()) {
    OnLogLine(text);
    return;
  }
  QMetaObject::invokeMethod(
      this, [this, text] { OnLogLine(text); }, Qt::BlockingQueuedConnection);
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
  log_.SetSink(nullptr);
  QDialog::done(result);
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
