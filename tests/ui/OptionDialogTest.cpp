// The Option dialog on real widgets: its template, its opening and the Save
// steps with the address check, answered through scripted message boxes.
#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "DialogDriver.h"
#include "config/ui/CDlgOption.h"

namespace corvane {
namespace {

using testing::Click;
using testing::Control;
using testing::DialogBench;

QLineEdit* Edit(const QWidget* dialog, int id) {
  return Control<QLineEdit>(dialog, id);
}
QComboBox* List(const QWidget* dialog, int id) {
  return Control<QComboBox>(dialog, id);
}

TEST(OptionDialog, BuildsItsTemplate) {
  DialogBench bench;
  CDlgOption dialog(bench.settings, bench.boxes);
  EXPECT_EQ(dialog.windowTitle(), "Option");
  EXPECT_EQ(dialog.size(),
            DialogRect(BaseUnitsOf(QFontMetrics(dialog.font())), 0, 0, 137, 154).size());
  testing::ExpectPlaced(&dialog, {{1000, 65, 12, 59, 60},
                                  {1001, 65, 28, 59, 74},
                                  {1002, 65, 50, 59, 14},
                                  {1003, 65, 65, 26, 14},
                                  {1004, 65, 80, 59, 14},
                                  {1005, 65, 95, 59, 14},
                                  {1006, 65, 109, 59, 14},
                                  {1007, 65, 124, 26, 14},
                                  {1008, 15, 141, 45, 12},
                                  {1009, 79, 141, 45, 12}});
  EXPECT_EQ(testing::Entries(List(&dialog, CDlgOption::kIdSerialPort)),
            QStringList({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9"}));
  EXPECT_EQ(testing::Entries(List(&dialog, CDlgOption::kIdBaudRate)),
            QStringList({"4800", "9600", "19200", "38400", "57600", "115200"}));
  EXPECT_FALSE(List(&dialog, CDlgOption::kIdSerialPort)->isEditable());
  EXPECT_EQ(Edit(&dialog, CDlgOption::kIdPassword)->echoMode(), QLineEdit::Normal);
  EXPECT_EQ(testing::TextsOf<QPushButton>(&dialog, &QPushButton::text),
            QStringList({"Save", "Cancel"}));
  EXPECT_EQ(testing::TextsOf<QLabel>(&dialog, &QLabel::text),
            QStringList({"Serial Port:", "Baud Rate:", "Caster Address:", "Port:", "Password:",
                         "Mount Point:", "Retry:", "Interval:", "S"}));
  EXPECT_EQ(testing::TextsOf<QGroupBox>(&dialog, &QGroupBox::title),
            QStringList({" Serial Port ", "Caster"}));
}

TEST(OptionDialog, FirstOpeningShowsDefaultsAndSavesEmptyPortAndRate) {
  DialogBench bench;
  CDlgOption dialog(bench.settings, bench.boxes);
  EXPECT_EQ(List(&dialog, CDlgOption::kIdSerialPort)->currentIndex(), -1);
  EXPECT_EQ(List(&dialog, CDlgOption::kIdBaudRate)->currentIndex(), -1);
  QStringList shown;
  for (int id = CDlgOption::kIdCasterAddress; id <= CDlgOption::kIdInterval; ++id) {
    shown << Edit(&dialog, id)->text();
  }
  EXPECT_EQ(shown, QStringList({"0.0.0.0", "0", "", "", "4", "0"}));

  bench.settings.SerialPort = "COM3";  // must be overwritten by the empty list
  bench.settings.SerialPortRate = 9600;
  dialog.show();
  Click(&dialog, CDlgOption::kIdSave);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(bench.settings.SerialPort.view(), "");
  EXPECT_EQ(bench.settings.SerialPortRate, 0);
  EXPECT_TRUE(bench.boxes.shown.empty());
  EXPECT_FALSE(std::filesystem::exists(bench.registryFile));
}

TEST(OptionDialog, AcceptsAddressesAsTypedAndReshowsTheirNumbers) {
  struct Case {
    const char* typed;
    std::array<int32_t, 4> octets;
    const char* reshown;
  };
  for (const Case& c :
       {Case{"...", {0, 0, 0, 0}, "0.0.0.0"}, Case{"1.2.3.4.5", {1, 2, 3, 4}, "1.2.3.4"},
        Case{" 1.2.3.4", {1, 2, 3, 4}, "1.2.3.4"}, Case{"1.2.3.", {1, 2, 3, 0}, "1.2.3.0"},
        Case{"10.0.0.1x", {10, 0, 0, 1}, "10.0.0.1"},
        Case{"255.255.255.255", {255, 255, 255, 255}, "255.255.255.255"}}) {
    SCOPED_TRACE(c.typed);
    DialogBench bench;
    CDlgOption dialog(bench.settings, bench.boxes);
    dialog.show();
    Edit(&dialog, CDlgOption::kIdCasterAddress)->setText(QString::fromLatin1(c.typed));
    Click(&dialog, CDlgOption::kIdSave);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(bench.boxes.shown.empty());
    EXPECT_EQ(bench.settings.CasterAddress.view(), c.typed);
    EXPECT_EQ(bench.settings.CasterOctets, c.octets);
    CDlgOption reopened(bench.settings, bench.boxes);
    EXPECT_EQ(Edit(&reopened, CDlgOption::kIdCasterAddress)->text(), c.reshown);
  }
}

TEST(OptionDialog, RefusesBadAddressesAndChangesNothing) {
  for (const char* typed :
       {"1.2.3", "256.1.1.1", "-1.0.0.0", "1.2.3.300", "", "1.2.3.9999999999"}) {
    SCOPED_TRACE(typed);
    DialogBench bench;
    bench.settings.CasterAddress = "9.8.7.6";
    bench.settings.SerialPort = "COM2";
    CDlgOption dialog(bench.settings, bench.boxes);
    dialog.show();
    Edit(&dialog, CDlgOption::kIdCasterAddress)->setText(QString::fromLatin1(typed));
    Edit(&dialog, CDlgOption::kIdMount)->setText("changed");
    Edit(&dialog, CDlgOption::kIdPort)->setText("2101");
    List(&dialog, CDlgOption::kIdSerialPort)->setCurrentIndex(5);
    Control<QPushButton>(&dialog, CDlgOption::kIdSave)->setFocus();
    Click(&dialog, CDlgOption::kIdSave);

    ASSERT_EQ(bench.boxes.shown.size(), 1u);
    EXPECT_EQ(bench.boxes.shown[0].Text, u"Invalid IP Address!");
    EXPECT_EQ(bench.boxes.shown[0].Caption, u"Corvane");
    EXPECT_EQ(bench.boxes.shown[0].Buttons, MessageButtons::Ok);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.focusWidget(), Edit(&dialog, CDlgOption::kIdCasterAddress));
    EXPECT_EQ(bench.settings.CasterAddress.view(), "9.8.7.6");
    EXPECT_EQ(bench.settings.CasterOctets, (std::array<int32_t, 4>{}));
    EXPECT_EQ(bench.settings.Mount.view(), "");
    EXPECT_EQ(bench.settings.Port, 0);
    EXPECT_EQ(bench.settings.SerialPort.view(), "COM2");
  }
}

TEST(OptionDialog, ReturnKeySavesAndEscapeCancels) {
  DialogBench bench;
  CDlgOption refused(bench.settings, bench.boxes);
  refused.show();
  auto* address = Edit(&refused, CDlgOption::kIdCasterAddress);
  address->setText("1.2.3");
  QTest::keyClick(address, Qt::Key_Return);
  EXPECT_EQ(bench.boxes.shown.size(), 1u);
  EXPECT_TRUE(refused.isVisible());

  CDlgOption cancelled(bench.settings, bench.boxes);
  cancelled.show();
  Edit(&cancelled, CDlgOption::kIdMount)->setText("lost");
  QTest::keyClick(&cancelled, Qt::Key_Escape);
  EXPECT_EQ(cancelled.result(), QDialog::Rejected);
  EXPECT_EQ(bench.settings.Mount.view(), "");
}

TEST(OptionDialog, SelectsPortAndBaudFromSettings) {
  // The prefix search starts at the second entry and wraps to the first.
  for (const auto& [rate, index] : std::initializer_list<std::pair<int32_t, int>>{
           {4800, 0}, {9600, 1}, {115200, 5}, {2400, -1}, {0, -1}, {1, 2}, {4, 0}, {-9600, -1}}) {
    DialogBench bench;
    bench.settings.SerialPortRate = rate;
    CDlgOption dialog(bench.settings, bench.boxes);
    EXPECT_EQ(List(&dialog, CDlgOption::kIdBaudRate)->currentIndex(), index) << rate;
  }
  for (const auto& [port, index] : std::initializer_list<std::pair<const char*, int>>{
           {"COM1", 0}, {"COM9", 8}, {"", -1}, {"COM", -1}, {"COM0", -1}, {"COMX", -1}}) {
    DialogBench bench;
    bench.settings.SerialPort = port;
    CDlgOption dialog(bench.settings, bench.boxes);
    EXPECT_EQ(List(&dialog, CDlgOption::kIdSerialPort)->currentIndex(), index) << port;
  }
}

TEST(OptionDialog, SavesEveryFieldAsTyped) {
  DialogBench bench;
  bench.settings.PassWord = "secret";
  bench.settings.Mount = "MOUNT1";
  CDlgOption dialog(bench.settings, bench.boxes);
  EXPECT_EQ(Edit(&dialog, CDlgOption::kIdPassword)->text(), "secret");
  EXPECT_EQ(Edit(&dialog, CDlgOption::kIdMount)->text(), "MOUNT1");
  dialog.show();
  Edit(&dialog, CDlgOption::kIdCasterAddress)->setText("192.168.1.20");
  Edit(&dialog, CDlgOption::kIdPort)->setText("70000");
  Edit(&dialog, CDlgOption::kIdRetry)->setText(" -3 ");
  Edit(&dialog, CDlgOption::kIdInterval)->setText("5s");
  Edit(&dialog, CDlgOption::kIdPassword)->clear();
  Edit(&dialog, CDlgOption::kIdMount)->clear();
  List(&dialog, CDlgOption::kIdSerialPort)->setCurrentIndex(3);
  List(&dialog, CDlgOption::kIdBaudRate)->setCurrentIndex(5);
  Click(&dialog, CDlgOption::kIdSave);

  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(bench.settings.CasterOctets, (std::array<int32_t, 4>{192, 168, 1, 20}));
  EXPECT_EQ(bench.settings.Port, 70000);
  EXPECT_EQ(bench.settings.ReConnect_Times, -3);
  EXPECT_EQ(bench.settings.Interval, 0);  // not a whole number
  EXPECT_EQ(bench.settings.PassWord.view(), "");
  EXPECT_EQ(bench.settings.Mount.view(), "");
  EXPECT_EQ(bench.settings.SerialPort.view(), "COM4");
  EXPECT_EQ(bench.settings.SerialPortRate, 115200);
}

TEST(OptionDialog, LimitsTextsToWhatSurvivesAReload) {
  DialogBench bench;
  CDlgOption dialog(bench.settings, bench.boxes);
  dialog.show();
  QTest::keyClicks(Edit(&dialog, CDlgOption::kIdMount), QString(40, QLatin1Char('m')));
  Edit(&dialog, CDlgOption::kIdPassword)->setText(QString(40, QChar(0x20AC)));
  Edit(&dialog, CDlgOption::kIdCasterAddress)->setText("1.2.3.4." + QString(30, QLatin1Char('5')));
  Click(&dialog, CDlgOption::kIdSave);
  ASSERT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(bench.settings.Mount.view(), std::string(32, 'm'));
  EXPECT_EQ(bench.settings.PassWord.view(), std::string(32, '\x80'));  // the euro sign in 1252
  EXPECT_EQ(bench.settings.CasterAddress.view(), "1.2.3.4.55555555");

  ASSERT_TRUE(SaveSettings(bench.settings, bench.registry));
  const Settings reloaded = bench.Reloaded();
  EXPECT_EQ(reloaded.Mount.view(), bench.settings.Mount.view());
  EXPECT_EQ(reloaded.PassWord.view(), bench.settings.PassWord.view());
  EXPECT_EQ(reloaded.CasterAddress.view(), bench.settings.CasterAddress.view());
}

}  // namespace
}  // namespace corvane
