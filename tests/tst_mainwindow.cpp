// The window as the operator first sees it, and the log view.
#include "mainwindow.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>

namespace {
constexpr int kMillisecondsPerDay = 24 * 60 * 60 * 1000;
constexpr int kClockSlackMs = 2000;
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> window;

    QTextEdit *log() { return window->findChild<QTextEdit *>("teLogs"); }
    void logd(const QString &msg)
    {
        QVERIFY(QMetaObject::invokeMethod(window.get(), "logd", Q_ARG(QString, msg)));
    }

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
        // The service boxes are built and wired but out of sight.
        QStringList shown;
        for (const QGroupBox *box : window->findChildren<QGroupBox *>()) {
            if (box->isVisible())
                shown << box->objectName();
        }
        shown.sort();
        QCOMPARE(shown,
                 QStringList({"gbConnectionSettings", "gbDeviceCommands", "gbDeviceSettings"}));
        QVERIFY(log()->toPlainText().isEmpty());
    }

    void logShowsEachMessageAsTimestampedPlainText()
    {
        // Markup and entities shown as typed; an open tag does not swallow the lines after it.
        const QStringList messages{"<b>x</b>", "", "R&D &amp; more"};
        const QTime before = QTime::currentTime();
        for (const QString &msg : messages)
            logd(msg);
        const QStringList lines = log()->toPlainText().split('\n');
        QCOMPARE(lines.size(), messages.size());
        for (int i = 0; i < lines.size(); ++i) {
            const QRegularExpressionMatch match =
                QRegularExpression("^(\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d) - " +
                                   QRegularExpression::escape(messages.at(i)) + "$")
                    .match(lines.at(i));
            QVERIFY2(match.hasMatch(), qPrintable(lines.at(i)));
            // 24-hour local time of the moment of logging (the wrap keeps this valid at midnight).
            const QTime stamped = QTime::fromString(match.captured(1), "hh:mm:ss.zzz");
            const int lagMs = (before.msecsTo(stamped) + kMillisecondsPerDay) % kMillisecondsPerDay;
            QVERIFY2(stamped.isValid() && lagMs < kClockSlackMs, qPrintable(match.captured(1)));
        }
        QTest::mouseClick(window->findChild<QPushButton *>("btClearLogs"), Qt::LeftButton);
        QVERIFY(log()->toPlainText().isEmpty());
        logd("fresh");
        QCOMPARE(log()->document()->blockCount(), 1);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
