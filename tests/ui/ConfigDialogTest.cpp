// The Config dialog on real widgets: its template, its opening, the enabling
// of the coordinate controls, and the Save steps with their refusals and the
// one registry write, answered through scripted message boxes.
#include <gtest/gtest.h>

#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>

#include "DialogDriver.h"
#include "config/ui/CDlgConfig.h"
#include "config/ui/CDlgOption.h"

namespace corvane {
namespace {

using testing::Click;
using testing::Control;
using testing::DialogBench;

QString Text(const QWidget* dialog, int id) {
  if (auto* list = qobject_cast<QComboBox*>(Control<QWidget>(dialog, id))) {
    return list->currentText();
  }
  return Control<QLineEdit>(dialog, id)->text();
}
void Select(const QWidget* dialog, int id, int index) {
  Control<QComboBox>(dialog, id)->setCurrentIndex(index);
}
bool Checked(const QWidget* dialog, int id) {
  return Control<QRadioButton>(dialog, id)->isChecked();
}

// Lat, Lon, H, NS, EW: the order in which they are switched.
constexpr int kCoordinateIds[] = {1023, 1024, 1027, 1025, 1026};

std::vector<bool> CoordinateControlsEnabled(const QWidget* dialog) {
  std::vector<bool> enabled;
  for (int id : kCoordinateIds) enabled.push_back(Control<QWidget>(dialog, id)->isEnabled());
  return enabled;
}

// Records the ids of the controls whose enabled state changes, in order.
class EnableRecorder final : public QObject {
 public:
  explicit EnableRecorder(const QWidget* dialog) {
    for (int id : kCoordinateIds) Control<QWidget>(dialog, id)->installEventFilter(this);
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
  EXPECT_EQ(dialog.windowTitle(), "Config");
  EXPECT_EQ(dialog.size(),
            DialogRect(BaseUnitsOf(QFontMetrics(dialog.font())), 0, 0, 137, 150).size());
  testing::ExpectPlaced(&dialog, {{1019, 45, 12, 40, 37},
                                  {1030, 88, 12, 43, 106},
                                  {1021, 15, 43, 51, 8},
                                  {1022, 15, 54, 64, 8},
                                  {1023, 41, 64, 62, 12},
                                  {1025, 104, 64, 20, 30},
                                  {1024, 41, 77, 62, 12},
                                  {1026, 104, 77, 20, 30},
                                  {1027, 41, 90, 62, 12},
                                  {1020, 43, 112, 51, 13},
                                  {1028, 20, 134, 47, 12},
                                  {1029, 70, 134, 47, 12}});
  EXPECT_EQ(testing::Entries(Control<QComboBox>(&dialog, 1019)),
            QStringList({"Trimble", "NovAtel"}));
  EXPECT_EQ(testing::Entries(Control<QComboBox>(&dialog, 1030)),
            QStringList({"CMR", "CMR+", "RTD", "RTCM2.3", "RTCM3.0", "RTCM3.2"}));
  EXPECT_EQ(testing::Entries(Control<QComboBox>(&dialog, 1025)), QStringList({"N", "S"}));
  EXPECT_EQ(testing::Entries(Control<QComboBox>(&dialog, 1026)), QStringList({"E", "W"}));
  for (const QComboBox* list : dialog.findChildren<QComboBox*>()) {
    EXPECT_FALSE(list->isEditable());
  }
  EXPECT_EQ(testing::TextsOf<QAbstractButton>(&dialog, &QAbstractButton::text),
            QStringList({"Autonomous", "Input Coordinate", "Setup", "Save", "Cancel"}));
  EXPECT_EQ(testing::TextsOf<QLabel>(&dialog, &QLabel::text),
            QStringList({"Type:", "Lat:", "Lon:", "H:", "Server:"}));
  EXPECT_EQ(testing::TextsOf<QGroupBox>(&dialog, &QGroupBox::title),
            QStringList({"Message Type", "BaseCoordinate", "Caster"}));

  // One radio group: checking one unchecks the other.
  dialog.show();
  Click(&dialog, CDlgConfig::kIdAutonomous);
  EXPECT_FALSE(Checked(&dialog, CDlgConfig::kIdInputCoordinate));
  Click(&dialog, CDlgConfig::kIdInputCoordinate);
  EXPECT_FALSE(Checked(&dialog, CDlgConfig::kIdAutonomous));
}

TEST(ConfigDialog, FirstRunOpeningShowsZerosAndInputCoordinate) {
  DialogBench bench;
  CDlgConfig dialog(bench.settings, bench.registry, bench.boxes);
  QStringList shown;
  for (int id : {1019, 1030, 1023, 1024, 1027, 1025, 1026}) shown << Text(&dialog, id);
  EXPECT_EQ(shown,
            QStringList({"Trimble", "RTCM3.2", "0.000000000", "0.000000000", "0.000", "N", "E"}));
  EXPECT_TRUE(Checked(&dialog, CDlgConfig::kIdInputCoordinate));
  EXPECT_FALSE(Checked(&dialog, CDlgConfig::kIdAutonomous));
  EXPECT_EQ(CoordinateControlsEnabled(&dialog), std::vector<bool>(5, true));
}

TEST(ConfigDialog, OpeningShowsStoredCoordinateButNotStoredTypeOrFormat) {
  DialogBench bench;
  bench.settings.DiffType = kDiffRtd;
  bench.settings.Coordinate = kCoordinateAutonomous;
  bench.settings.BaseLat = -31.123456789123;
  bench.settings.BaseLon = 121.5;
  bench.settings.BaseH = 12.3456;
  bench.settings.NS = 'S';
  bench.settings.EW = 'W';
  // Numbers never take a locale's decimal comma.
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  CDlgConfig dialog(bench.settings, bench.registry, bench.boxes);
  QLocale::setDefault(QLocale::c());
  QStringList shown;
  for (int id : {1019, 1030, 1023, 1024, 1027, 1025, 1026}) shown << Text(&dialog, id);
  EXPECT_EQ(shown, QStringList({"Trimble", "RTCM3.2", "-31.123456789", "121.500000000", "12.346",
                                "S", "W"}));
  EXPECT_TRUE(Checked(&dialog, CDlgConfig::kIdAutonomous));
  EXPECT_FALSE(Checked(&dialog, CDlgConfig::kIdInputCoordinate));
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
  EXPECT_EQ(recorder.order,
            std::vector<int>({1023, 1024, 1027, 1025, 1026, 1023, 1024, 1027, 1025, 1026}));
}

TEST(ConfigDialog, RefusesTypeBeforeFormatAndKeepsTheBoardAfterAFormatRefusal) {
  DialogBench bench;
  bench.settings.BaseLat = 7.0;
  CDlgConfig dialog(bench.settings, bench.registry, bench.boxes);
  dialog.show();
  Select(&dialog, CDlgConfig::kIdType, 1);
  Select(&dialog, CDlgConfig::kIdFormat, 0);
  Control<QLineEdit>(&dialog, CDlgConfig::kIdLat)->setText("45.0");

  Click(&dialog, CDlgConfig::kIdSave);  // only the type hint; the format waits
  ASSERT_EQ(bench.boxes.shown.size(), 1u);
  EXPECT_EQ(bench.boxes.shown[0].Text, u"This version only supports Trimble board!");
  EXPECT_EQ(bench.boxes.shown[0].Caption, u"Hint");
  EXPECT_EQ(bench.boxes.shown[0].Buttons, MessageButtons::Ok);
  EXPECT_EQ(bench.boxes.shown[0].Icon, MessageIcon::Exclamation);
  EXPECT_EQ(Text(&dialog, CDlgConfig::kIdType), "Trimble");
  EXPECT_EQ(Text(&dialog, CDlgConfig::kIdFormat), "CMR");
  EXPECT_EQ(bench.settings.GPSBoard, kBoardNovAtel);

  Click(&dialog, CDlgConfig::kIdSave);
  ASSERT_EQ(bench.boxes.shown.size(), 2u);
  EXPECT_EQ(bench.boxes.shown[1].Text, u"This version only supports RTCM32!");
  EXPECT_EQ(bench.boxes.shown[1].Caption, u"Hint");
  EXPECT_EQ(bench.boxes.shown[1].Icon, MessageIcon::Exclamation);
  EXPECT_EQ(Text(&dialog, CDlgConfig::kIdFormat), "RTCM3.2");
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(bench.settings.GPSBoard, kBoardTrimble);
  EXPECT_EQ(bench.settings.DiffType, kDiffCmr);
  EXPECT_EQ(bench.settings.BaseLat, 7.0);
  EXPECT_FALSE(std::filesystem::exists(bench.registryFile));

  Click(&dialog, CDlgConfig::kIdSave);
  EXPECT_EQ(bench.boxes.shown.size(), 2u);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_FALSE(dialog.isVisible());
  const Settings reloaded = bench.Reloaded();
  EXPECT_EQ(reloaded.GPSBoard, kBoardTrimble);
  EXPECT_EQ(reloaded.DiffType, kDiffRtcm32);
  EXPECT_EQ(reloaded.BaseLat, 45.0);
}

TEST(ConfigDialog, SavesInputCoordinateAsShownAndReadBack) {
  DialogBench bench;
  bench.settings.BaseH = 12.3456;
  bench.settings.BaseLon = 3.25;
  CDlgConfig dialog(bench.settings, bench.registry, bench.boxes);
  dialog.show();
  Control<QLineEdit>(&dialog, CDlgConfig::kIdLat)->setText(" -31.5abc");
  Select(&dialog, CDlgConfig::kIdNs, 1);
  Click(&dialog, CDlgConfig::kIdSave);

  ASSERT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(bench.settings.Coordinate, kCoordinateInput);
  EXPECT_EQ(bench.settings.BaseLat, -31.5);
  EXPECT_EQ(bench.settings.BaseLon, 3.25);
  EXPECT_EQ(bench.settings.BaseH, 12.346);
  EXPECT_EQ(bench.settings.NS, 'S');
  EXPECT_EQ(bench.settings.EW, 'E');
  const auto stored = bench.registry.ReadValue(kSettingsKey, "BaseH");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->Bytes,
            std::vector<uint8_t>({'1', 0, '2', 0, '.', 0, '3', 0, '4', 0, '6', 0, '0', 0}));
  EXPECT_EQ(bench.Reloaded().BaseH, 12.346);

  CDlgConfig again(bench.settings, bench.registry, bench.boxes);
  again.show();
  Control<QLineEdit>(&again, CDlgConfig::kIdLat)->setText("north");
  Click(&again, CDlgConfig::kIdSave);
  EXPECT_EQ(bench.settings.BaseLat, 0.0);
}

TEST(ConfigDialog, AutonomousKeepsTheOldCoordinates) {
  DialogBench bench;
  bench.settings.BaseLat = 1.5;
  bench.settings.BaseLon = 2.5;
  bench.settings.BaseH = 3.5;
  CDlgConfig dialog(bench.settings, bench.registry, bench.boxes);
  dialog.show();
  for (int id : {CDlgConfig::kIdLat, CDlgConfig::kIdLon, CDlgConfig::kIdHeight}) {
    Control<QLineEdit>(&dialog, id)->setText("10");
  }
  Select(&dialog, CDlgConfig::kIdNs, 1);
  Click(&dialog, CDlgConfig::kIdAutonomous);
  Click(&dialog, CDlgConfig::kIdSave);

  ASSERT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(bench.settings.Coordinate, kCoordinateAutonomous);
  EXPECT_EQ(bench.settings.BaseLat, 1.5);
  EXPECT_EQ(bench.settings.BaseLon, 2.5);
  EXPECT_EQ(bench.settings.BaseH, 3.5);
  EXPECT_EQ(bench.settings.NS, '\0');
  EXPECT_EQ(bench.Reloaded().Coordinate, kCoordinateAutonomous);
}

TEST(ConfigDialog, OptionSaveReachesTheRegistryOnlyThroughConfigSave) {
  DialogBench bench;
  bench.settings.Mount = "OLD";
  ASSERT_TRUE(SaveSettings(bench.settings, bench.registry));
  auto setup = [&](const char* mount) {
    auto ran = testing::WhenModal<CDlgOption>([mount](CDlgOption* option) {
      Control<QLineEdit>(option, CDlgOption::kIdMount)->setText(mount);
      Control<QComboBox>(option, CDlgOption::kIdBaudRate)->setCurrentIndex(3);
      Click(option, CDlgOption::kIdSave);
    });
    return ran;
  };

  CDlgConfig cancelled(bench.settings, bench.registry, bench.boxes);
  cancelled.show();
  auto ran = setup("NEW");
  Click(&cancelled, CDlgConfig::kIdSetup);
  EXPECT_TRUE(*ran);
  EXPECT_TRUE(cancelled.isVisible());
  Click(&cancelled, CDlgConfig::kIdCancel);
  EXPECT_EQ(bench.settings.Mount.view(), "NEW");
  EXPECT_EQ(bench.settings.SerialPortRate, 38400);
  EXPECT_EQ(bench.Reloaded().Mount.view(), "OLD");

  CDlgConfig saved(bench.settings, bench.registry, bench.boxes);
  saved.show();
  ran = setup("NEWER");
  Click(&saved, CDlgConfig::kIdSetup);
  EXPECT_TRUE(*ran);
  Click(&saved, CDlgConfig::kIdSave);
  const Settings reloaded = bench.Reloaded();
  EXPECT_EQ(reloaded.Mount.view(), "NEWER");
  EXPECT_EQ(reloaded.SerialPortRate, 38400);
  EXPECT_EQ(reloaded.CasterAddress.view(), "0.0.0.0");
}

}  // namespace
}  // namespace corvane
