// The window as the operator first sees it, and the log view's behaviour.

#include "mainwindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTest>
#include <QTextEdit>
#include <QTime>

#include <memory>

namespace {
const QStringList kBaudRateItems = {"4800", "9600", "19200", "38400", "57600", "115200"};
const QString kTimestampPattern = QStringLiteral("^(\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d) - ");
constexpr int kMillisecondsPerDay = 24 * 60 * 60 * 1000;
constexpr int kClockSlackMs = 2000;
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startState();
    void statusBarAtStart();
    void baudRateLists_data();
    void baudRateLists();
    void groupBoxes_data();
    void groupBoxes();
    void hexFieldsTakeTwoHexDigits_data();
    void hexFieldsTakeTwoHexDigits();
    void shortNameFieldsTakeFourCharacters_data();
    void shortNameFieldsTakeFourCharacters();
    void logLineIsTimestampedPlainText_data();
    void logLineIsTimestampedPlainText();
    void eachMessageIsOneParagraph();
    void clearLogsEmptiesView();

private:
    template <typename T> T *child(const char *name)
    {
        T *widget = window->findChild<T *>(QLatin1String(name));
        if (!widget)
            qFatal("no %s in the window", name);
        return widget;
    }
    void logd(const QString &msg)
    {
        QVERIFY(QMetaObject::invokeMethod(window.get(), "logd", Q_ARG(QString, msg)));
    }
    QStringList logLines() { return child<QTextEdit>("teLogs")->toPlainText().split('\n'); }

    std::unique_ptr<MainWindow> window;
};

void TestMainWindow::init()
{
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

void TestMainWindow::cleanup()
{
    window.reset();
}

void TestMainWindow::startState()
{
    QCOMPARE(window->windowTitle(), QStringLiteral("Talvik RS485 OTA+tester - v1.6"));
    QCOMPARE(window->minimumSize(), QSize(640, 480));
    QCOMPARE(child<QLineEdit>("leTargetAddress")->text(), QStringLiteral("80"));
    QCOMPARE(child<QLabel>("labStatistic")->text(),
             QStringLiteral("Not found: 0\tFound:0\nRetry: 0   \tErrors:0"));
    QVERIFY(child<QTextEdit>("teLogs")->isReadOnly());
    QVERIFY(child<QTextEdit>("teLogs")->toPlainText().isEmpty());
    QVERIFY(!child<QCheckBox>("cbTerminated")->isChecked());

    auto *ports = child<QComboBox>("cbSerialPort");
    QVERIFY(ports->isEditable());
    QCOMPARE(ports->insertPolicy(), QComboBox::NoInsert);
    QVERIFY(ports->isEnabled());
    QCOMPARE(child<QPushButton>("btSerialConnect")->text(), QStringLiteral("Connect"));
}

void TestMainWindow::statusBarAtStart()
{
    auto *statusBar = child<QStatusBar>("statusbar");
    const QList<QLabel *> labels = statusBar->findChildren<QLabel *>();
    QCOMPARE(labels.size(), 2);
    for (const QLabel *label : labels)
        QVERIFY(label->text().isEmpty());

    auto *progress = statusBar->findChild<QProgressBar *>();
    QVERIFY(progress);
    QCOMPARE(progress->value(), 0);
    QVERIFY(!progress->isTextVisible());
}

void TestMainWindow::baudRateLists_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("current");
    QTest::newRow("local port") << "cbConnectionSpeed"
                                << "115200";
    QTest::newRow("device setting") << "cbDeviceComSpeed"
                                    << "4800";
}

void TestMainWindow::baudRateLists()
{
    QFETCH(QString, name);
    QFETCH(QString, current);
    auto *combo = child<QComboBox>(qPrintable(name));
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    QCOMPARE(items, kBaudRateItems);
    QCOMPARE(combo->currentText(), current);
}

void TestMainWindow::groupBoxes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("hidden");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("connection") << "gbConnectionSettings" << false << true;
    QTest::newRow("commands") << "gbDeviceCommands" << false << false;
    QTest::newRow("settings") << "gbDeviceSettings" << false << false;
    QTest::newRow("address tag") << "gbAddressTag" << true << false;
    QTest::newRow("tests") << "gbTests" << true << true;
    QTest::newRow("led") << "gbLed" << true << false;
    QTest::newRow("pn eeprom") << "groupBox" << true << true;
}

void TestMainWindow::groupBoxes()
{
    QFETCH(QString, name);
    QFETCH(bool, hidden);
    QFETCH(bool, enabled);
    auto *box = child<QGroupBox>(qPrintable(name));
    QCOMPARE(box->isHidden(), hidden);
    QCOMPARE(box->isEnabled(), enabled);
}

void TestMainWindow::hexFieldsTakeTwoHexDigits_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("kept");
    QTest::newRow("target address") << "leTargetAddress"
                                    << "G1x"
                                    << "1";
    QTest::newRow("own address") << "leDeviceAddress"
                                 << "zA-7f"
                                 << "A7";
    QTest::newRow("tag address") << "leTagDeviceAddress"
                                 << "0FF"
                                 << "0F";
    QTest::newRow("eeprom address") << "lePnAddress"
                                    << "G1x"
                                    << "1";
    QTest::newRow("eeprom value") << "lePnValue"
                                  << "#c9"
                                  << "c9";
}

void TestMainWindow::hexFieldsTakeTwoHexDigits()
{
    QFETCH(QString, name);
    QFETCH(QString, typed);
    QFETCH(QString, kept);
    auto *field = child<QLineEdit>(qPrintable(name));
    QCOMPARE(field->inputMask(), QStringLiteral("HH;_"));
    QCOMPARE(field->maxLength(), 2);

    // Typing needs an enabled box; the disabled ones would swallow the keys.
    field->parentWidget()->setEnabled(true);
    field->clear();
    QTest::keyClicks(field, typed);
    QCOMPARE(field->text(), kept);
}

void TestMainWindow::shortNameFieldsTakeFourCharacters_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("device") << "leDeviceShortName";
    QTest::newRow("tag") << "leTagShortName";
}

void TestMainWindow::shortNameFieldsTakeFourCharacters()
{
    QFETCH(QString, name);
    auto *field = child<QLineEdit>(qPrintable(name));
    QVERIFY(field->inputMask().isEmpty());
    field->parentWidget()->setEnabled(true);
    QTest::keyClicks(field, QStringLiteral("g<x>7"));
    QCOMPARE(field->text(), QStringLiteral("g<x>"));
}

void TestMainWindow::logLineIsTimestampedPlainText_data()
{
    QTest::addColumn<QString>("msg");
    QTest::newRow("plain") << "Done.";
    QTest::newRow("empty") << "";
    QTest::newRow("markup") << "<b>x</b>";
    QTest::newRow("path with markup") << "/dev/serial/by-id/usb-A&B<1>";
    QTest::newRow("entity, no tag") << "R&D &amp; more";
}

void TestMainWindow::logLineIsTimestampedPlainText()
{
    QFETCH(QString, msg);
    const QTime before = QTime::currentTime();
    logd(msg);

    const QStringList lines = logLines();
    QCOMPARE(lines.size(), 1);
    const QRegularExpressionMatch match =
        QRegularExpression(kTimestampPattern + QRegularExpression::escape(msg) + "$")
            .match(lines.first());
    QVERIFY2(match.hasMatch(), qPrintable(lines.first()));

    // 24-hour local time of the moment of logging (the wrap keeps this valid at midnight).
    const QTime stamped = QTime::fromString(match.captured(1), QStringLiteral("hh:mm:ss.zzz"));
    QVERIFY(stamped.isValid());
    const int lagMs = (before.msecsTo(stamped) + kMillisecondsPerDay) % kMillisecondsPerDay;
    QVERIFY2(lagMs < kClockSlackMs, qPrintable(match.captured(1)));
}

void TestMainWindow::eachMessageIsOneParagraph()
{
    const QStringList messages = {"first <i>", "", "third"};
    for (const QString &msg : messages)
        logd(msg);

    const QStringList lines = logLines();
    QCOMPARE(lines.size(), messages.size());
    QCOMPARE(child<QTextEdit>("teLogs")->document()->blockCount(), messages.size());
    for (int i = 0; i < messages.size(); ++i) {
        QVERIFY2(lines.at(i).endsWith(" - " + messages.at(i)), qPrintable(lines.at(i)));
        QVERIFY(QRegularExpression(kTimestampPattern).match(lines.at(i)).hasMatch());
    }
}

void TestMainWindow::clearLogsEmptiesView()
{
    logd("old line 1");
    logd("old line 2");

    QTest::mouseClick(child<QPushButton>("btClearLogs"), Qt::LeftButton);
    auto *logs = child<QTextEdit>("teLogs");
    QVERIFY(logs->toPlainText().isEmpty());

    logd("fresh");
    QCOMPARE(logs->document()->blockCount(), 1);
    QVERIFY(QRegularExpression(kTimestampPattern + "fresh$").match(logs->toPlainText()).hasMatch());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
