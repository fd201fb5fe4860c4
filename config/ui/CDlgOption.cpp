#include "config/ui/CDlgOption.h"

#include "config/ui/DialogControls.h"
#include "config/ui/DialogText.h"

namespace corvane {

namespace {

constexpr int kDialogWidth = 137;
constexpr int kDialogHeight = 154;

// The list's prefix search: the first entry that begins with `prefix`
// (ignoring case), looking from the second entry to the end, then the first.
int FindEntryByPrefix(const QComboBox* list, const QString& prefix) {
  const int count = list->count();
  for (int step = 1; step <= count; ++step) {
    const int index = step % count;
    if (list->itemText(index).startsWith(prefix, Qt::CaseInsensitive)) return index;
  }
  return -1;
}

// The entry for "COMn" is n - 1, n being the fourth character as a digit.
int SerialPortIndex(std::string_view port, int count) {
  if (port.size() < 4 || port[3] < '1' || port[3] > '9') return -1;
  const int index = port[3] - '1';
  return index < count ? index : -1;
}

QString ShownText(const QComboBox* list) {
  return list->currentIndex() < 0 ? QString() : list->currentText();
}

}  // namespace

bool IsValidCasterAddress(std::string_view text) {
  std::string_view rest = text;
  for (int part = 0; part < 4; ++part) {
    std::string_view number = rest;
    if (part < 3) {
      const size_t dot = rest.find('.');
      if (dot == std::string_view::npos) return false;
      number = rest.substr(0, dot);
      rest = rest.substr(dot + 1);
    }
    const int32_t value = ParseLeadingInt(number);
    if (value < 0 || value > 255) return false;
  }
  return true;
}

CDlgOption::CDlgOption(Settings& settings, MessageBoxes& boxes, QWidget* parent)
    : QDialog(parent), settings_(settings), boxes_(boxes) {
  setWindowTitle(QStringLiteral("Option"));
  DialogControls controls(this, kDialogWidth, kDialogHeight);

  controls.AddGroupFrame(QStringLiteral(" Serial Port "), 3, 3, 129, 39);
  controls.AddLabel(QStringLiteral("Serial Port:"), 6, 14, 57, 8);
  serialPort_ = controls.AddDropDownList(
      kIdSerialPort,
      {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"),
       QStringLiteral("COM4"), QStringLiteral("COM5"), QStringLiteral("COM6"),
       QStringLiteral("COM7"), QStringLiteral("COM8"), QStringLiteral("COM9")},
      65, 12, 59, 60);
  controls.AddLabel(QStringLiteral("Baud Rate:"), 6, 30, 57, 8);
  baudRate_ = controls.AddDropDownList(
      kIdBaudRate,
      {QStringLiteral("4800"), QStringLiteral("9600"), QStringLiteral("19200"),
       QStringLiteral("38400"), QStringLiteral("57600"), QStringLiteral("115200")},
      65, 28, 59, 74);

  controls.AddGroupFrame(QStringLiteral("Caster"), 3, 42, 129, 99);
  controls.AddLabel(QStringLiteral("Caster Address:"), 5, 53, 58, 8);
  casterAddress_ = controls.AddEdit(kIdCasterAddress, 65, 50, 59, 14);
  controls.AddLabel(QStringLiteral("Port:"), 6, 68, 57, 8);
  port_ = controls.AddEdit(kIdPort, 65, 65, 26, 14);
  controls.AddLabel(QStringLiteral("Password:"), 6, 83, 57, 8);
  password_ = controls.AddEdit(kIdPassword, 65, 80, 59, 14);
  controls.AddLabel(QStringLiteral("Mount Point:"), 6, 98, 57, 8);
  mount_ = controls.AddEdit(kIdMount, 65, 95, 59, 14);
  controls.AddLabel(QStringLiteral("Retry:"), 6, 112, 57, 8);
  retry_ = controls.AddEdit(kIdRetry, 65, 109, 59, 14);
  controls.AddLabel(QStringLiteral("Interval:"), 6, 127, 57, 8);
  interval_ = controls.AddEdit(kIdInterval, 65, 124, 26, 14);
  controls.AddLabel(QStringLiteral("S"), 93, 127, 6, 8)
      ->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

  auto* save = controls.AddButton(kIdSave, QStringLiteral("Save"), 15, 141, 45, 12);
  auto* cancel = controls.AddButton(kIdCancel, QStringLiteral("Cancel"), 79, 141, 45, 12);
  save->setDefault(true);
  connect(save, &QPushButton::clicked, this, &CDlgOption::accept);
  connect(cancel, &QPushButton::clicked, this, &CDlgOption::reject);

  casterAddress_->setMaxLength(kMaxAddressLength);
  password_->setMaxLength(kMaxPasswordLength);
  mount_->setMaxLength(kMaxMountLength);

  ShowSettings();
}

void CDlgOption::ShowSettings() {
  interval_->setText(QString::number(settings_.Interval));
  retry_->setText(QString::number(settings_.ReConnect_Times));
  port_->setText(QString::number(settings_.Port));
  password_->setText(AnsiToQString(settings_.PassWord.view()));
  mount_->setText(AnsiToQString(settings_.Mount.view()));
  baudRate_->setCurrentIndex(
      FindEntryByPrefix(baudRate_, QString::number(settings_.SerialPortRate)));
  serialPort_->setCurrentIndex(SerialPortIndex(settings_.SerialPort.view(), serialPort_->count()));
  const auto& octets = settings_.CasterOctets;
  casterAddress_->setText(
      QStringLiteral("%1.%2.%3.%4").arg(octets[0]).arg(octets[1]).arg(octets[2]).arg(octets[3]));
}

void CDlgOption::accept() {
  const std::string address = QStringToAnsi(casterAddress_->text());
  if (!IsValidCasterAddress(address)) {
    boxes_.Show(u"Invalid IP Address!", kApplicationName, MessageButtons::Ok, MessageIcon::None);
    casterAddress_->setFocus();
    return;
  }
  settings_.CasterAddress = address;
  ParseCasterAddress(settings_.CasterAddress.view(), settings_.CasterOctets);
  settings_.Interval = ParseWholeNumber(QStringToAnsi(interval_->text()));
  settings_.ReConnect_Times = ParseWholeNumber(QStringToAnsi(retry_->text()));
  settings_.Port = ParseWholeNumber(QStringToAnsi(port_->text()));
  settings_.PassWord = QStringToAnsi(password_->text());
  settings_.Mount = QStringToAnsi(mount_->text());
  settings_.SerialPortRate = ParseLeadingInt(QStringToAnsi(ShownText(baudRate_)));
  settings_.SerialPort = QStringToAnsi(ShownText(serialPort_));
  QDialog::accept();
}

}  // namespace corvane
