#include "config/ui/CDlgConfig.h"

#include "config/ui/CDlgOption.h"
#include "config/ui/DialogControls.h"
#include "config/ui/DialogText.h"

namespace corvane {

namespace {

constexpr int kDialogWidth = 137;
constexpr int kDialogHeight = 150;

QString CoordinateText(double value, int decimals) {
  return QString::fromStdString(FormatFixed(value, decimals));
}

}  // namespace

CDlgConfig::CDlgConfig(Settings& settings, RegistryStore& registry, EventLog& log,
                       MessageBoxes& boxes, QWidget* parent)
    : QDialog(parent), settings_(settings), registry_(registry), log_(log), boxes_(boxes) {
  setWindowTitle(QStringLiteral("Config"));
  DialogControls controls(this, kDialogWidth, kDialogHeight);

  controls.AddGroupFrame(QStringLiteral("Message Type"), 3, 2, 132, 28);
  controls.AddLabel(QStringLiteral("Type:"), 6, 14, 37, 8);
  type_ = controls.AddDropDownList(kIdType, {QStringLiteral("Trimble"), QStringLiteral("NovAtel")},
                                   45, 12, 40, 37);
  format_ = controls.AddDropDownList(
      kIdFormat,
      {QStringLiteral("CMR"), QStringLiteral("CMR+"), QStringLiteral("RTD"),
       QStringLiteral("RTCM2.3"), QStringLiteral("RTCM3.0"), QStringLiteral("RTCM3.2")},
      88, 12, 43, 106);

  controls.AddGroupFrame(QStringLiteral("BaseCoordinate"), 2, 32, 132, 74);
  autonomous_ = controls.AddRadioButton(kIdAutonomous, QStringLiteral("Autonomous"), 15, 43, 51, 8);
  inputCoordinate_ = controls.AddRadioButton(kIdInputCoordinate, QStringLiteral("Input Coordinate"),
                                             15, 54, 64, 8);
  controls.AddLabel(QStringLiteral("Lat:"), 8, 66, 31, 8);
  lat_ = controls.AddEdit(kIdLat, 41, 64, 62, 12);
  ns_ =
      controls.AddDropDownList(kIdNs, {QStringLiteral("N"), QStringLiteral("S")}, 104, 64, 20, 30);
  controls.AddLabel(QStringLiteral("Lon:"), 8, 79, 31, 8);
  lon_ = controls.AddEdit(kIdLon, 41, 77, 62, 12);
  ew_ =
      controls.AddDropDownList(kIdEw, {QStringLiteral("E"), QStringLiteral("W")}, 104, 77, 20, 30);
  controls.AddLabel(QStringLiteral("H:"), 8, 92, 31, 8);
  height_ = controls.AddEdit(kIdHeight, 41, 90, 62, 12);

  controls.AddGroupFrame(QStringLiteral("Caster"), 2, 105, 132, 24);
  controls.AddLabel(QStringLiteral("Server:"), 6, 114, 35, 8);
  auto* setup = controls.AddButton(kIdSetup, QStringLiteral("Setup"), 43, 112, 51, 13);

  auto* save = controls.AddButton(kIdSave, QStringLiteral("Save"), 20, 134, 47, 12);
  auto* cancel = controls.AddButton(kIdCancel, QStringLiteral("Cancel"), 70, 134, 47, 12);
  save->setDefault(true);

  coordinateControls_ = {lat_, lon_, height_, ns_, ew_};
  connect(autonomous_, &QRadioButton::clicked, this,
          [this] { SetCoordinateControlsEnabled(false); });
  connect(inputCoordinate_, &QRadioButton::clicked, this,
          [this] { SetCoordinateControlsEnabled(true); });
  connect(setup, &QPushButton::clicked, this, &CDlgConfig::OpenOptionDialog);
  connect(save, &QPushButton::clicked, this, &CDlgConfig::accept);
  connect(cancel, &QPushButton::clicked, this, &CDlgConfig::reject);

  ShowSettings();
}

void CDlgConfig::ShowSettings() {
  // The stored type and format are not consulted: this edition knows one of each.
  type_->setCurrentIndex(kTrimbleEntry);
  format_->setCurrentIndex(kRtcm32Entry);
  lat_->setText(CoordinateText(settings_.BaseLat, 9));
  lon_->setText(CoordinateText(settings_.BaseLon, 9));
  height_->setText(CoordinateText(settings_.BaseH, 3));
  ew_->setCurrentIndex(settings_.EW == 'W' ? 1 : 0);
  ns_->setCurrentIndex(settings_.NS == 'S' ? 1 : 0);
  const bool autonomous = settings_.Coordinate == kCoordinateAutonomous;
  autonomous_->setChecked(autonomous);
  inputCoordinate_->setChecked(!autonomous);
  SetCoordinateControlsEnabled(!autonomous);
}

void CDlgConfig::SetCoordinateControlsEnabled(bool enabled) {
  for (QWidget* control : coordinateControls_) control->setEnabled(enabled);
}

void CDlgConfig::OpenOptionDialog() {
  CDlgOption option(settings_, boxes_, this);
  option.exec();
}

void CDlgConfig::accept() {
  if (type_->currentIndex() != kTrimbleEntry) {
    type_->setCurrentIndex(kTrimbleEntry);
    boxes_.Show(u"This version only supports Trimble board!", u"Hint", MessageButtons::Ok,
                MessageIcon::Exclamation);
    return;
  }
  settings_.GPSBoard = kBoardTrimble;
  if (format_->currentIndex() != kRtcm32Entry) {
    format_->setCurrentIndex(kRtcm32Entry);
    boxes_.Show(u"This version only supports RTCM32!", u"Hint", MessageButtons::Ok,
                MessageIcon::Exclamation);
    return;
  }
  settings_.DiffType = kDiffRtcm32;
  if (autonomous_->isChecked()) {
    settings_.Coordinate = kCoordinateAutonomous;
  } else {
    settings_.Coordinate = kCoordinateInput;
    settings_.BaseLat = ParseLeadingDouble(QStringToAnsi(lat_->text()));
    settings_.BaseLon = ParseLeadingDouble(QStringToAnsi(lon_->text()));
    settings_.BaseH = ParseLeadingDouble(QStringToAnsi(height_->text()));
    settings_.NS = ns_->currentIndex() != 0 ? 'S' : 'N';
    settings_.EW = ew_->currentIndex() != 0 ? 'W' : 'E';
  }
  // The values are in effect whether or not they reach the file; a failure
  // is told, so that nobody takes them for stored.
  if (!SaveSettings(settings_, registry_)) {
    log_.LogEvent("Settings not saved: " + registry_.FlushError());
    boxes_.Show(u"The settings were not saved.", u"Error", MessageButtons::Ok, MessageIcon::Error);
  }
  QDialog::accept();
}

}  // namespace corvane
