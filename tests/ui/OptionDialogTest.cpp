// The Option dialog on real widgets: its template, its opening and the Save
// steps with the address check, answered through scripted message boxes.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "DialogDriver.h"
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

void ClickSave(CDlgOption& dialog) {
  QTest::mouseClick(FindControl<QPushButton>(&dialog, CDlgOption::kIdSave), Qt::LeftButton);
}

// Every field Save may write, for "nothing changed" checks.
void ExpectSameSettings(const Settings& a, const Settings& b) {
  EXPECT_EQ(a.CasterAddress.view(), b.CasterAddress.view());
  EXPECT_EQ(a.CasterOctets, b.CasterOctets);
  EXPECT_EQ(a.Port, b.Port);
  EXPECT_EQ(a.Mount.view(), b.Mount.view());
  EXPECT_EQ(a.PassWord.view(), b.PassWord.view());
  EXPECT_EQ(a.ReConnect_Times, b.ReConnect_Times);
  EXPECT_EQ(a.Interval, b.Interval);
  EXPECT_EQ(a.SerialPort.view(), b.SerialPort.view());
  EXPECT_EQ(a.SerialPortRate, b.SerialPortRate);
}

TEST(OptionDialog, BuildsItsTemplate) {
  DialogBench bench;
  CDlgOption dialog(bench.settings, bench.boxes);
  const DialogBaseUnits units = BaseUnitsOf(QFontMetrics(dialog.font()));
  EXPECT_EQ(dialog.windowTitle(), "Option");
  EXPECT_EQ(dialog.size(), DialogRect(units, 0, 0, 137, 154).size());

  EXPECT_EQ(Entries(List(&dialog, CDlgOption::kIdSerialPort)),
            QStringList({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9"}));
  EXPECT_EQ(Entries(List(&dialog, CDlgOption::kIdBaudRate)),
            QStringList({"4800", "9600", "19200", "38400", "57600", "115200"}));
  for (int id : {CDlgOption::kIdSerialPort, CDlgOption::kIdBaudRate}) {
    EXPECT_FALSE(List(&dialog, id)->isEditable());
  }

  struct Placed {
    int id, x, y, width, height;
  };
  for (const Placed& edit : {Placed{1002, 65, 50, 59, 14}, Placed{1003, 65, 65, 26, 14},
                             Placed{1004, 65, 80, 59, 14}, Placed{1005, 65, 95, 59, 14},
                             Placed{1006, 65, 109, 59, 14}, Placed{1007, 65, 124, 26, 14}}) {
    EXPECT_EQ(Edit(&dialog, edit.id)->geometry(),
              DialogRect(units, edit.x, edit.y, edit.width, edit.height))
        << edit.id;
    EXPECT_EQ(Edit(&dialog, edit.id)->echoMode(), QLineEdit::Normal) << edit.id;
  }
  const QRect serialPort = DialogRect(units, 65, 12, 59, 60);
  EXPECT_EQ(List(&dialog, CDlgOption::kIdSerialPort)->geometry().topLeft(), serialPort.topLeft());
  EXPECT_EQ(List(&dialog, CDlgOption::kIdSerialPort)->width(), serialPort.width());

  auto* save = FindControl<QPushButton>(&dialog, CDlgOption::kIdSave);
  auto* cancel = FindControl<QPushButton>(&dialog, CDlgOption::kIdCancel);
  ASSERT_NE(save, nullptr);
  ASSERT_NE(cancel, nullptr);
  EXPECT_EQ(save->text(), "Save");
  EXPECT_EQ(cancel->text(), "Cancel");
  EXPECT_EQ(save->geometry(), DialogRect(units, 15, 141, 45, 12));
  EXPECT_EQ(cancel->geometry(), DialogRect(units, 79, 141, 45, 12));

  QStringList labels;
  for (const QLabel* label : dialog.findChildren<QLabel*>()) labels << label->text();
  EXPECT_EQ(labels, QStringList({"Serial Port:", "Baud Rate:", "Caster Address:", "Port:",
                                 "Password:", "Mount Point:", "Retry:", "Interval:", "S"}));
  QStringList frames;
  for (const QGroupBox* frame : dialog.findChildren<QGroupBox*>()) frames << frame->title();
  EXPECT_EQ(frames, QStringList({" Serial Port ", "Caster"}));
}

TEST(OptionDialog, FirstOpeningShowsDefaultsAndSavesEmptyPortAndRate) {
  DialogBench bench;
  CDlgOption dialog(bench.settings, bench.boxes);
  EXPECT_EQ(List(&dialog, CDlgOption::kIdSerialPort)->currentIndex(), -1);
  EXPECT_EQ(List(&dialog, CDlgOption::kIdBaudRate)->currentIndex(), -1);
  EXPECT_EQ(Edit(&dialog, CDlgOption::kIdCasterAddress)->text(), "0.0.0.0");
  EXPECT_EQ(Edit(&dialog, CDlgOption::kIdPort)->text(), "0");
  EXPECT_EQ(Edit(&dialog, CDlgOption::kIdRetry)->text(), "4");
  EXPECT_EQ(Edit(&dialog, CDlgOption::kIdInterval)->text(), "0");
  EXPECT_EQ(Edit(&dialog, CDlgOption::kIdPassword)->text(), "");
  EXPECT_EQ(Edit(&dialog, CDlgOption::kIdMount)->text(), "");

  bench.settings.SerialPort = "COM3";  // stands for a value that must be overwritten
  bench.settings.SerialPortRate = 9600;
  dialog.show();
  ClickSave(dialog);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(bench.settings.SerialPort.view(), "");
  EXPECT_EQ(bench.settings.SerialPortRate, 0);
  EXPECT_EQ(bench.settings.CasterAddress.view(), "0.0.0.0");
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
    ClickSave(dialog);
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
       {"1.2.3", "256.1.1.1", "-1.0.0.0", "1.2.3.300", "", "1.2.3.99999999999"}) {
    SCOPED_TRACE(typed);
    DialogBench bench;
    bench.settings.CasterAddress = "9.8.7.6";
    ParseCasterAddress(bench.settings.CasterAddress.view(), bench.settings.CasterOctets);
    bench.settings.SerialPort = "COM2";
    bench.settings.SerialPortRate = 9600;
    const Settings before = bench.settings;
    CDlgOption dialog(bench.settings, bench.boxes);
    dialog.show();
    Edit(&dialog, CDlgOption::kIdCasterAddress)->setText(QString::fromLatin1(typed));
    Edit(&dialog, CDlgOption::kIdMount)->setText("changed");
    Edit(&dialog, CDlgOption::kIdPort)->setText("2101");
    List(&dialog, CDlgOption::kIdSerialPort)->setCurrentIndex(5);
    auto* save = FindControl<QPushButton>(&dialog, CDlgOption::kIdSave);
    save->setFocus();
    ClickSave(dialog);

    ASSERT_EQ(bench.boxes.shown.size(), 1u);
    EXPECT_EQ(bench.boxes.shown[0].Text, u"Invalid IP Address!");
    EXPECT_EQ(bench.boxes.shown[0].Caption, u"Corvane");
    EXPECT_EQ(bench.boxes.shown[0].Buttons, MessageButtons::Ok);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.focusWidget(), Edit(&dialog, CDlgOption::kIdCasterAddress));
    ExpectSameSettings(bench.settings, before);
  }
}

TEST(OptionDialog, ReturnKeySavesAndEscapeCancels) {
  DialogBench bench;
  CDlgOption refused(bench.settings, bench.boxes);
  refused.show();
  auto* address = Edit(&refused, CDlgOption::kIdCasterAddress);
  address->setText("1.2.3");
  address->setFocus();
  QTest::keyClick(address, Qt::Key_Return);
  EXPECT_EQ(bench.boxes.shown.size(), 1u);
  EXPECT_TRUE(refused.isVisible());

  CDlgOption cancelled(bench.settings, bench.boxes);
  cancelled.show();
  Edit(&cancelled, CDlgOption::kIdMount)->setText("lost");
  QTest::keyClick(&cancelled, Qt::Key_Escape);
  EXPECT_EQ(cancelled.result(), QDialog::Rejected);
  EXPECT_FALSE(cancelled.isVisible());
  EXPECT_EQ(bench.settings.Mount.view(), "");
}

TEST(OptionDialog, SelectsPortAndBaudFromSettings) {
  struct Case {
    int32_t rate;
    int baudIndex;
  };
  // The prefix search starts at the second entry and wraps to the first.
  for (const Case& c : {Case{4800, 0}, Case{9600, 1}, Case{115200, 5}, Case{2400, -1}, Case{0, -1},
                        Case{1, 2}, Case{4, 0}, Case{-9600, -1}}) {
    DialogBench bench;
    bench.settings.SerialPortRate = c.rate;
    CDlgOption dialog(bench.settings, bench.boxes);
    EXPECT_EQ(List(&dialog, CDlgOption::kIdBaudRate)->currentIndex(), c.baudIndex) << c.rate;
  }
  struct PortCase {
    const char* port;
    int index;
  };
  for (const PortCase& c : {PortCase{"COM1", 0}, PortCase{"COM9", 8}, PortCase{"", -1},
                            PortCase{"COM", -1}, PortCase{"COM0", -1}, PortCase{"COMX", -1}}) {
    DialogBench bench;
    bench.settings.SerialPort = c.port;
    CDlgOption dialog(bench.settings, bench.boxes);
    EXPECT_EQ(List(&dialog, CDlgOption::kIdSerialPort)->currentIndex(), c.index) << c.port;
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
  ClickSave(dialog);

  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(bench.settings.CasterAddress.view(), "192.168.1.20");
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
  const QString longText(40, QLatin1Char('m'));
  QTest::keyClicks(Edit(&dialog, CDlgOption::kIdMount), longText);
  Edit(&dialog, CDlgOption::kIdPassword)->setText(QString(40, QChar(0x20AC)));
  Edit(&dialog, CDlgOption::kIdCasterAddress)->setText("1.2.3.4." + QString(30, QLatin1Char('5')));
  EXPECT_EQ(Edit(&dialog, CDlgOption::kIdCasterAddress)->text().size(), 16);
  ClickSave(dialog);
  ASSERT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(bench.settings.Mount.view(), std::string(32, 'm'));
  EXPECT_EQ(bench.settings.PassWord.view(), std::string(32, '\x80'));  // the euro sign in 1252
  EXPECT_EQ(bench.settings.CasterAddress.size(), 16u);

  ASSERT_TRUE(SaveSettings(bench.settings, bench.registry));
  const Settings reloaded = bench.Reloaded();
  EXPECT_EQ(reloaded.Mount.view(), bench.settings.Mount.view());
  EXPECT_EQ(reloaded.PassWord.view(), bench.settings.PassWord.view());
  EXPECT_EQ(reloaded.CasterAddress.view(), bench.settings.CasterAddress.view());
  EXPECT_EQ(reloaded.CasterOctets, (std::array<int32_t, 4>{1, 2, 3, 4}));
}

}  // namespace
}  // namespace corvane
