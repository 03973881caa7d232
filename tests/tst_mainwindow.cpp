// The window as the operator first sees it, and the log view's behaviour.

#include "mainwindow.h"

#include <QtTest>
#include <QtWidgets>

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

private slots:
    void init()
    {
        window = std::make_unique<MainWindow>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanup() { window.reset(); }

    void startState()
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

        auto *statusBar = child<QStatusBar>("statusbar");
        const QList<QLabel *> labels = statusBar->findChildren<QLabel *>();
        QCOMPARE(labels.size(), 2);
        QVERIFY(labels.first()->text().isEmpty() && labels.last()->text().isEmpty());
        auto *progress = statusBar->findChild<QProgressBar *>();
        QVERIFY(progress);
        QCOMPARE(progress->value(), 0);
        QVERIFY(!progress->isTextVisible());
    }

    void baudRateLists_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("current");
        QTest::newRow("local port") << "cbConnectionSpeed" << 115200;
        QTest::newRow("device setting") << "cbDeviceComSpeed" << 4800;
    }

    void baudRateLists()
    {
        QFETCH(QString, name);
        QFETCH(int, current);
        auto *combo = child<QComboBox>(qPrintable(name));
        QStringList items;
        for (int i = 0; i < combo->count(); ++i)
            items << combo->itemText(i);
        QCOMPARE(items, kBaudRateItems);
        QCOMPARE(combo->currentText(), QString::number(current));
    }

    void groupBoxes_data()
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

    void groupBoxes()
    {
        QFETCH(QString, name);
        QFETCH(bool, hidden);
        QFETCH(bool, enabled);
        auto *box = child<QGroupBox>(qPrintable(name));
        QCOMPARE(box->isHidden(), hidden);
        QCOMPARE(box->isEnabled(), enabled);
    }

    void fieldsFilterTyping_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("inputMask");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("kept");

        const QString hexMask = QStringLiteral("HH;_");
        QTest::newRow("target address") << "leTargetAddress" << hexMask << "G1x"
                                        << "1";
        QTest::newRow("own address") << "leDeviceAddress" << hexMask << "zA-7f"
                                     << "A7";
        QTest::newRow("tag address") << "leTagDeviceAddress" << hexMask << "0FF"
                                     << "0F";
        QTest::newRow("eeprom address") << "lePnAddress" << hexMask << "G1x"
                                        << "1";
        QTest::newRow("eeprom value") << "lePnValue" << hexMask << "#c9"
                                      << "c9";
        QTest::newRow("device short name") << "leDeviceShortName"
                                           << ""
                                           << "g<x>7"
                                           << "g<x>";
        QTest::newRow("tag short name") << "leTagShortName"
                                        << ""
                                        << "g<x>7"
                                        << "g<x>";
    }

    void fieldsFilterTyping()
    {
        QFETCH(QString, name);
        QFETCH(QString, inputMask);
        QFETCH(QString, typed);
        QFETCH(QString, kept);
        auto *field = child<QLineEdit>(qPrintable(name));
        QCOMPARE(field->inputMask(), inputMask);
        QCOMPARE(field->maxLength(), inputMask.isEmpty() ? 4 : 2);

        // Typing needs an enabled box; the disabled ones would swallow the keys.
        field->parentWidget()->setEnabled(true);
        field->clear();
        QTest::keyClicks(field, typed);
        QCOMPARE(field->text(), kept);
    }

    void logLineIsTimestampedPlainText_data()
    {
        QTest::addColumn<QString>("msg");
        QTest::newRow("plain") << "Done.";
        QTest::newRow("markup") << "<b>x</b>";
        QTest::newRow("entity, no tag") << "R&D &amp; more";
    }

    void logLineIsTimestampedPlainText()
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

    void clearLogsEmptiesView()
    {
        // One paragraph per message; an open tag does not swallow the lines after it.
        for (const char *msg : {"first <i>", "", "third"})
            logd(msg);
        auto *logs = child<QTextEdit>("teLogs");
        QCOMPARE(logs->document()->blockCount(), 3);
        QVERIFY2(logLines().at(1).endsWith(" - ") && logLines().at(2).endsWith(" - third"),
                 qPrintable(logs->toPlainText()));

        QTest::mouseClick(child<QPushButton>("btClearLogs"), Qt::LeftButton);
        QVERIFY(logs->toPlainText().isEmpty());
        logd("fresh");
        QCOMPARE(logs->document()->blockCount(), 1);
        QVERIFY(
            QRegularExpression(kTimestampPattern + "fresh$").match(logs->toPlainText()).hasMatch());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
