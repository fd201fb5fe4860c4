// The Config dialog on real widgets: its template, its opening, the enabling
// of the coordinate controls, and the Save steps with their refusals and the
// one registry write, answered through scripted message boxes.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "DialogDriver.h"
#include "config/ui/CDlgConfig.h"
#include "config/ui/CDlgOption.h"
#include "config/ui/DialogTemplate.h"

namespace corvane {
namespace {

using testing::DialogBench;

QStringList Entries(const QComboBox* list) {
  QStringList entries;
  for (int i = 0; i < list->count(); ++i) entries << list->itemText(i);
  return entries;
}

QLineEdit* Edit(const QWidget* dialog, int id) {
  auto* edit = FindControl<QLineEdit>(dialog, id);
  EXPECT_NE(edit, nullptr) << id;
  return edit;
}

QComboBox* List(const QWidget* dialog, int id) {
  auto* list = FindControl<QComboBox>(dialog, id);
  EXPECT_NE(list, nullptr) << id;
  return list;
}

QRadioButton* Radio(const QWidget* dialog, int id) {
  auto* radio = FindControl<QRadioButton>(dialog, id);
  EXPECT_NE(radio, nullptr) << id;
  return radio;
}

void Click(const QWidget* dialog, int id) {
  auto* control = FindControl<QAbstractButton>(dialog, id);
  ASSERT_NE(control, nullptr) << id;
  QTest::mouseClick(control, Qt::LeftButton);
}

constexpr int kCoordinateIds[] = {CDlgConfig::kIdLat, CDlgConfig::kIdLon, CDlgConfig::kIdHeight,
                                  CDlgConfig::kIdNs, CDlgConfig::kIdEw};

std::vector<bool> CoordinateControlsEnabled(const QWidget* dialog) {
  std::vector<bool> enabled;
  for (int id : kCoordinateIds) enabled.push_back(FindControl<QWidget>(dialog, id)->isEnabled());
  return enabled;
}

// Records the ids of the controls whose enabled state changes, in order.
class EnableRecorder final : public QObject {
 public:
  explicit EnableRecorder(const QWidget* dialog) {
    for (int id : kCoordinateIds) FindControl<QWidget>(dialog, id)->installEventFilter(this);
  }
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::EnabledChange) order.push_back(watched->objectName().toInt());
    return false;
  }
  std::vector<int> order;
};

TEST(ConfigDialog, BuildsItsTemplate) {
  DialogBench bench;
  CDlgConfig dialog(bench.settings, bench.registry, bench.boxes);
  const DialogBaseUnits units = BaseUnitsOf(QFontMetrics(dialog.font()));
  EXPECT_EQ(dialog.windowTitle(), "Config");
  EXPECT_EQ(dialog.size(), DialogRect(units, 0, 0, 137, 150).size());

  EXPECT_EQ(Entries(List(&dialog, CDlgConfig::kIdType)), QStringList({"Trimble", "NovAtel"}));
  EXPECT_EQ(Entries(List(&dialog, CDlgConfig::kIdFormat)),
            QStringList({"CMR", "CMR+", "RTD", "RTCM2.3", "RTCM3.0", "RTCM3.2"}));
  EXPECT_EQ(Entries(List(&dialog, CDlgConfig::kIdNs)), QStringList({"N", "S"}));
  EXPECT_EQ(Entries(List(&dialog, CDlgConfig::kIdEw)), QStringList({"E", "W"}));
  for (int id :
       {CDlgConfig::kIdType, CDlgConfig::kIdFormat, CDlgConfig::kIdNs, CDlgConfig::kIdEw}) {
    EXPECT_FALSE(List(&dialog, id)->isEditable()) << id;
  }

  struct Placed {
    int id, x, y, width, height;
  };
  for (const Placed& edit :
       {Placed{1023, 41, 64, 62, 12}, Placed{1024, 41, 77, 62, 12}, Placed{1027, 41, 90, 62, 12}}) {
    EXPECT_EQ(Edit(&dialog, edit.id)->geometry(),
              DialogRect(units, edit.x, edit.y, edit.width, edit.height))
        << edit.id;
  }
  for (const Placed& button :
       {Placed{1020, 43, 112, 51, 13}, Placed{1021, 15, 43, 51, 8}, Placed{1022, 15, 54, 64, 8},
        Placed{1028, 20, 134, 47, 12}, Placed{1029, 70, 134, 47, 12}}) {
    auto* control = FindControl<QAbstractButton>(&dialog, button.id);
    ASSERT_NE(control, nullptr) << button.id;
    EXPECT_EQ(control->geometry(),
              DialogRect(units, button.x, button.y, button.width, button.height))
        << button.id;
  }
  for (const Placed& list : {Placed{1019, 45, 12, 40, 37}, Placed{1030, 88, 12, 43, 106},
                             Placed{1025, 104, 64, 20, 30}, Placed{1026, 104, 77, 20, 30}}) {
    const QRect rect = DialogRect(units, list.x, list.y, list.width, list.height);
    EXPECT_EQ(List(&dialog, list.id)->geometry().topLeft(), rect.topLeft()) << list.id;
    EXPECT_EQ(List(&dialog, list.id)->width(), rect.width()) << list.id;
  }
  EXPECT_EQ(FindControl<QPushButton>(&dialog, CDlgConfig::kIdSetup)->text(), "Setup");
  EXPECT_EQ(FindControl<QPushButton>(&dialog, CDlgConfig::kIdSave)->text(), "Save");
  EXPECT_EQ(FindControl<QPushButton>(&dialog, CDlgConfig::kIdCancel)->text(), "Cancel");
  EXPECT_EQ(Radio(&dialog, CDlgConfig::kIdAutonomous)->text(), "Autonomous");
  EXPECT_EQ(Radio(&dialog, CDlgConfig::kIdInputCoordinate)->text(), "Input Coordinate");

  QStringList labels;
  for (const QLabel* label : dialog.findChildren<QLabel*>()) labels << label->text();
  EXPECT_EQ(labels, QStringList({"Type:", "Lat:", "Lon:", "H:", "Server:"}));
  QStringList frames;
  for (const QGroupBox* frame : dialog.findChildren<QGroupBox*>()) frames << frame->title();
  EXPECT_EQ(frames, QStringList({"Message Type", "BaseCoordinate", "Caster"}));

  // One radio group: checking one unchecks the other.
  dialog.show();
  Click(&dialog, CDlgConfig::kIdAutonomous);
  EXPECT_TRUE(Radio(&dialog, CDlgConfig::kIdAutonomous)->isChecked());
  EXPECT_FALSE(Radio(&dialog, CDlgConfig::kIdInputCoordinate)->isChecked());
  Click(&dialog, CDlgConfig::kIdInputCoordinate);
  EXPECT_FALSE(Radio(&dialog, CDlgConfig::kIdAutonomous)->isChecked());
}

TEST(ConfigDialog, FirstRunOpeningShowsZerosAndInputCoordinate) {
  DialogBench bench;
  CDlgConfig dialog(bench.settings, bench.registry, bench.boxes);
  EXPECT_EQ(List(&dialog, CDlgConfig::kIdType)->currentText(), "Trimble");
  EXPECT_EQ(List(&dialog, CDlgConfig::kIdFormat)->currentText(), "RTCM3.2");
  EXPECT_EQ(Edit(&dialog, CDlgConfig::kIdLat)->text(), "0.000000000");
  EXPECT_EQ(Edit(&dialog, CDlgConfig::kIdLon)->text(), "0.000000000");
  EXPECT_EQ(Edit(&dialog, CDlgConfig::kIdHeight)->text(), "0.000");
  EXPECT_EQ(List(&dialog, CDlgConfig::kIdNs)->currentText(), "N");
  EXPECT_EQ(List(&dialog, CDlgConfig::kIdEw)->currentText(), "E");
  EXPECT_TRUE(Radio(&dialog, CDlgConfig::kIdInputCoordinate)->isChecked());
  EXPECT_FALSE(Radio(&dialog, CDlgConfig::kIdAutonomous)->isChecked());
  EXPECT_EQ(CoordinateControlsEnabled(&dialog), std::vector<bool>(5, true));
}

TEST(ConfigDialog, OpeningShowsStoredCoordinateButNotStoredTypeOrFormat) {
  DialogBench bench;
  bench.settings.GPSBoard = kBoardNovAtel;
  bench.settings.DiffType = kDiffRtd;
  bench.settings.Coordinate = kCoordinateAutonomous;
  bench.settings.BaseLat = -31.123456789123;
  bench.settings.BaseLon = 121.5;
  bench.settings.BaseH = 12.3456;
  bench.settings.NS = 'S';
  bench.settings.EW = 'W';
  // Numbers never take the process's decimal comma.
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  CDlgConfig dialog(bench.settings, bench.registry, bench.boxes);
  QLocale::setDefault(QLocale::c());
  EXPECT_EQ(List(&dialog, CDlgConfig::kIdType)->currentIndex(), CDlgConfig::kTrimbleEntry);
  EXPECT_EQ(List(&dialog, CDlgConfig::kIdFormat)->currentIndex(), CDlgConfig::kRtcm32Entry);
  EXPECT_EQ(Edit(&dialog, CDlgConfig::kIdLat)->text(), "-31.123456789");
  EXPECT_EQ(Edit(&dialog, CDlgConfig::kIdLon)->text(), "121.500000000");
  EXPECT_EQ(Edit(&dialog, CDlgConfig::kIdHeight)->text(), "12.346");
  EXPECT_EQ(List(&dialog, CDlgConfig::kIdNs)->currentText(), "S");
  EXPECT_EQ(List(&dialog, CDlgConfig::kIdEw)->currentText(), "W");
  EXPECT_TRUE(Radio(&dialog, CDlgConfig::kIdAutonomous)->isChecked());
  EXPECT_FALSE(Radio(&dialog, CDlgConfig::kIdInputCoordinate)->isChecked());
  EXPECT_EQ(CoordinateControlsEnabled(&dialog), std::vector<bool>(5, false));
}

TEST(ConfigDialog, RadioButtonsSwitchCoordinateControlsInOrder) {
  DialogBench bench;
  CDlgConfig dialog(bench.settings, bench.registry, bench.boxes);
  dialog.show();
  EnableRecorder recorder(&dialog);
  Click(&dialog, CDlgConfig::kIdAutonomous);
  EXPECT_EQ(CoordinateControlsEnabled(&dialog), std::vector<bool>(5, false));
  Click(&dialog, CDlgConfig::kIdInputCoordinate);
  EXPECT_EQ(CoordinateControlsEnabled(&dialog), std::vector<bool>(5, true));
  const std::vector<int> once = {1023, 1024, 1027, 1025, 1026};
  std::vector<int> twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(recorder.order, twice);
}

TEST(ConfigDialog, RefusesNovAtelThenAcceptsOnTheNextSave) {
  DialogBench bench;
  CDlgConfig dialog(bench.settings, bench.registry, bench.boxes);
  dialog.show();
  List(&dialog, CDlgConfig::kIdType)->setCurrentIndex(1);
  Click(&dialog, CDlgConfig::kIdSave);
  ASSERT_EQ(bench.boxes.shown.size(), 1u);
  EXPECT_EQ(bench.boxes.shown[0].Text, u"This version only supports Trimble board!");
  EXPECT_EQ(bench.boxes.shown[0].Caption, u"Hint");
  EXPECT_EQ(bench.boxes.shown[0].Buttons, MessageButtons::Ok);
  EXPECT_EQ(bench.boxes.shown[0].Icon, MessageIcon::Exclamation);
  EXPECT_EQ(List(&dialog, CDlgConfig::kIdType)->currentText(), "Trimble");
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(bench.settings.GPSBoard, kBoardNovAtel);
  EXPECT_FALSE(std::filesystem::exists(bench.registryFile));

  Click(&dialog, CDlgConfig::kIdSave);
  EXPECT_EQ(bench.boxes.shown.size(), 1u);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(bench.settings.GPSBoard, kBoardTrimble);
  EXPECT_EQ(bench.settings.DiffType, kDiffRtcm32);
  EXPECT_EQ(bench.Reloaded().GPSBoard, kBoardTrimble);
}

TEST(ConfigDialog, RefusesCmrButKeepsTheTrimbleBoard) {
  DialogBench bench;
  bench.settings.BaseLat = 7.0;
  CDlgConfig dialog(bench.settings, bench.registry, bench.boxes);
  dialog.show();
  List(&dialog, CDlgConfig::kIdFormat)->setCurrentIndex(0);
  Edit(&dialog, CDlgConfig::kIdLat)->setText("45.0");
  Click(&dialog, CDlgConfig::kIdSave);
  ASSERT_EQ(bench.boxes.shown.size(), 1u);
  EXPECT_EQ(bench.boxes.shown[0].Text, u"This version only supports RTCM32!");
  EXPECT_EQ(bench.boxes.shown[0].Caption, u"Hint");
  EXPECT_EQ(bench.boxes.shown[0].Icon, MessageIcon::Exclamation);
  EXPECT_EQ(List(&dialog, CDlgConfig::kIdFormat)->currentText(), "RTCM3.2");
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(bench.settings.GPSBoard, kBoardTrimble);
  EXPECT_EQ(bench.settings.DiffType, kDiffCmr);
  EXPECT_EQ(bench.settings.BaseLat, 7.0);
  EXPECT_FALSE(std::filesystem::exists(bench.registryFile));

  // Cancel now: the board set before the refusal stays in memory only.
  Click(&dialog, CDlgConfig::kIdCancel);
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_EQ(bench.settings.GPSBoard, kBoardTrimble);
  EXPECT_FALSE(std::filesystem::exists(bench.registryFile));
}

TEST(ConfigDialog, BothWrongGivesOnlyTheTypeHintFirst) {
  DialogBench bench;
  CDlgConfig dialog(bench.settings, bench.registry, bench.boxes);
  dialog.show();
  List(&dialog, CDlgConfig::kIdType)->setCurrentIndex(1);
  List(&dialog, CDlgConfig::kIdFormat)->setCurrentIndex(2);
  Click(&dialog, CDlgConfig::kIdSave);
  ASSERT_EQ(bench.boxes.shown.size(), 1u);
  EXPECT_EQ(bench.boxes.shown[0].Text, u"This version only supports Trimble board!");
  EXPECT_EQ(List(&dialog, CDlgConfig::kIdFormat)->currentText(), "RTD");
  EXPECT_EQ(bench.settings.GPSBoard, kBoardNovAtel);

  Click(&dialog, CDlgConfig::kIdSave);
  ASSERT_EQ(bench.boxes.shown.size(), 2u);
  EXPECT_EQ(bench.boxes.shown[1].Text, u"This version only supports RTCM32!");
  EXPECT_TRUE(dialog.isVisible());
}

TEST(ConfigDialog, SavesInputCoordinateAsShownAndReadBack) {
  DialogBench bench;
  bench.settings.BaseH = 12.3456;
  bench.settings.BaseLon = 3.25;
  CDlgConfig dialog(bench.settings, bench.registry, bench.boxes);
  dialog.show();
  Edit(&dialog, CDlgConfig::kIdLat)->setText(" -31.5abc");
  List(&dialog, CDlgConfig::kIdNs)->setCurrentIndex(1);
  Click(&dialog, CDlgConfig::kIdSave);

  ASSERT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_TRUE(bench.boxes.shown.empty());
  EXPECT_EQ(bench.settings.Coordinate, kCoordinateInput);
  EXPECT_EQ(bench.settings.BaseLat, -31.5);
  EXPECT_EQ(bench.settings.BaseLon, 3.25);
  EXPECT_EQ(bench.settings.BaseH, 12.346);
  EXPECT_EQ(bench.settings.NS, 'S');
  EXPECT_EQ(bench.settings.EW, 'E');
  const auto stored = bench.registry.ReadValue(kSettingsKey, "BaseH");
  ASSERT_TRUE(stored.has_value());
  const std::vector<uint8_t> expected = {'1', 0, '2', 0, '.', 0, '3', 0, '4', 0, '6', 0, '0', 0};
  EXPECT_EQ(stored->Bytes, expected);
  const Settings reloaded = bench.Reloaded();
  EXPECT_EQ(reloaded.BaseH, 12.346);
  EXPECT_EQ(reloaded.BaseLat, -31.5);
  EXPECT_EQ(reloaded.NS, 'S');

  DialogBench garbage;
  garbage.settings.BaseLat = 5.0;
  CDlgConfig second(garbage.settings, garbage.registry, garbage.boxes);
  second.show();
  Edit(&second, CDlgConfig::kIdLat)->setText("north");
  Click(&second, CDlgConfig::kIdSave);
  EXPECT_EQ(garbage.settings.BaseLat, 0.0);
}

TEST(ConfigDialog, AutonomousKeepsTheOldCoordinates) {
  DialogBench bench;
  bench.settings.BaseLat = 1.5;
  bench.settings.BaseLon = 2.5;
  bench.settings.BaseH = 3.5;
  CDlgConfig dialog(bench.settings, bench.registry, bench.boxes);
  dialog.show();
  Edit(&dialog, CDlgConfig::kIdLat)->setText("10");
  Edit(&dialog, CDlgConfig::kIdLon)->setText("20");
  Edit(&dialog, CDlgConfig::kIdHeight)->setText("30");
  List(&dialog, CDlgConfig::kIdNs)->setCurrentIndex(1);
  Click(&dialog, CDlgConfig::kIdAutonomous);
  Click(&dialog, CDlgConfig::kIdSave);

  ASSERT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(bench.settings.Coordinate, kCoordinateAutonomous);
  EXPECT_EQ(bench.settings.BaseLat, 1.5);
  EXPECT_EQ(bench.settings.BaseLon, 2.5);
  EXPECT_EQ(bench.settings.BaseH, 3.5);
  EXPECT_EQ(bench.settings.NS, '\0');
  EXPECT_EQ(bench.settings.EW, '\0');
  EXPECT_EQ(bench.Reloaded().Coordinate, kCoordinateAutonomous);
}

TEST(ConfigDialog, OptionSaveThenConfigCancelKeepsValuesInMemoryOnly) {
  DialogBench bench;
  bench.settings.Mount = "OLD";
  ASSERT_TRUE(SaveSettings(bench.settings, bench.registry));

  CDlgConfig dialog(bench.settings, bench.registry, bench.boxes);
  dialog.show();
  auto ran = testing::WhenModal<CDlgOption>([](CDlgOption* option) {
    FindControl<QLineEdit>(option, CDlgOption::kIdMount)->setText("NEW");
    FindControl<QLineEdit>(option, CDlgOption::kIdCasterAddress)->setText("10.1.2.3");
    FindControl<QPushButton>(option, CDlgOption::kIdSave)->click();
  });
  Click(&dialog, CDlgConfig::kIdSetup);
  EXPECT_TRUE(*ran);
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(bench.settings.Mount.view(), "NEW");
  EXPECT_EQ(bench.settings.CasterAddress.view(), "10.1.2.3");

  Click(&dialog, CDlgConfig::kIdCancel);
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_EQ(bench.settings.Mount.view(), "NEW");
  const Settings reloaded = bench.Reloaded();
  EXPECT_EQ(reloaded.Mount.view(), "OLD");
  EXPECT_EQ(reloaded.CasterAddress.view(), "");
}

TEST(ConfigDialog, SaveStoresWhatTheOptionDialogChanged) {
  DialogBench bench;
  CDlgConfig dialog(bench.settings, bench.registry, bench.boxes);
  dialog.show();
  auto ran = testing::WhenModal<CDlgOption>([](CDlgOption* option) {
    FindControl<QLineEdit>(option, CDlgOption::kIdPassword)->setText("pw");
    FindControl<QComboBox>(option, CDlgOption::kIdSerialPort)->setCurrentIndex(1);
    FindControl<QComboBox>(option, CDlgOption::kIdBaudRate)->setCurrentIndex(3);
    FindControl<QPushButton>(option, CDlgOption::kIdSave)->click();
  });
  Click(&dialog, CDlgConfig::kIdSetup);
  EXPECT_TRUE(*ran);
  Click(&dialog, CDlgConfig::kIdSave);
  const Settings reloaded = bench.Reloaded();
  EXPECT_EQ(reloaded.PassWord.view(), "pw");
  EXPECT_EQ(reloaded.SerialPort.view(), "COM2");
  EXPECT_EQ(reloaded.SerialPortRate, 38400);
  EXPECT_EQ(reloaded.CasterAddress.view(), "0.0.0.0");
  EXPECT_EQ(reloaded.GPSBoard, kBoardTrimble);
  EXPECT_EQ(reloaded.DiffType, kDiffRtcm32);
}

}  // namespace
}  // namespace corvane
