// The window as the operator first sees it, at the fonts of Linux desktops: every text whole and
// nothing on top of anything else, the hidden service boxes included. And the log view.
#include "datatable.h"
#include "shownwindow.h"

#include <QtWidgets>

#include <memory>

namespace {
constexpr int kMillisecondsPerDay = 24 * 60 * 60 * 1000;
constexpr int kClockSlackMs = 2000;

// Faults of one shown widget: its text cut, or its place outside its parent or over a sibling.
void checkWidget(QWidget *widget, QDebug &faults)
{
    if (!widget->isVisible())
        return;
    QStyleOptionButton option;
    option.initFrom(widget);
    const auto element =
        widget->inherits("QCheckBox") ? QStyle::SE_CheckBoxContents : QStyle::SE_PushButtonContents;
    const QSize room = widget->inherits("QLabel")
                           ? widget->contentsRect().size()
                           : widget->style()->subElementRect(element, &option, widget).size();
    const QSize needed =
        widget->fontMetrics().size(Qt::TextExpandTabs, widget->property("text").toString());
    if ((widget->inherits("QLabel") || widget->inherits("QAbstractButton")) &&
        room.expandedTo(needed) != room)
        faults << widget << "needs" << needed << "has" << room << "\n";
    QWidget *parent = widget->parentWidget();
    if (!parent->rect().contains(widget->geometry()))
        faults << widget << "outside" << parent << "\n";
    for (QWidget *other : parent->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (other != widget && other->isVisible() &&
            other->geometry().intersects(widget->geometry()))
            faults << widget << "over" << other << "\n";
    }
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void everyTextFitsAndNothingOverlaps_data()
    {
        addColumns<QString, bool>({"fontText", "smallestWindow"});
        for (const char *font : {"DejaVu Sans,9", "DejaVu Sans,10", "DejaVu Sans,11",
                                 "DejaVu Sans,12", "Noto Sans,11", "Cantarell,11"})
            addRow(font, QString(font), false);
        addRow("DejaVu Sans 10, smallest window", "DejaVu Sans,10", true);
    }

    void everyTextFitsAndNothingOverlaps()
    {
        QFETCH(QString, fontText);
        QFont font;
        QVERIFY(font.fromString(fontText));
        QFETCH(bool, smallestWindow);
        // Its package is in scripts/lib.sh: a missing font must fail, not fall back.
        QVERIFY2(QFontInfo(font).family() == font.family(), qPrintable(font.family()));
        QApplication::setFont(font);
        // The smallest window is checked as the operator sees it, service boxes hidden.
        const auto window =
            showWindow(!smallestWindow, smallestWindow ? WindowSize::Smallest : WindowSize::Hint);
        QVERIFY(window);
        QString faults;
        QDebug out(&faults);
        for (QWidget *widget : window->findChildren<QWidget *>())
            checkWidget(widget, out);
        QVERIFY2(faults.isEmpty(), qPrintable(faults));
    }

    void startStateAndLog()
    {
        const auto window = showWindow(false);
        QVERIFY(window);
        QCOMPARE(window->windowTitle(),
                 QStringLiteral("Talvik RS485 OTA+tester - v" TALVIK_TITLE_VERSION));
        // The service boxes are built and wired but out of sight.
        QStringList shown;
        for (const QGroupBox *box : window->findChildren<QGroupBox *>())
            shown << (box->isVisible() ? box->objectName() : QString());
        shown.sort();
        QCOMPARE(shown.filter(QRegularExpression(".")).join(' '),
                 QStringLiteral("gbConnectionSettings gbDeviceCommands gbDeviceSettings"));
        auto *log = window->findChild<QTextEdit *>("teLogs");
        QVERIFY(log->toPlainText().isEmpty());

        // Each message a timestamped line of plain text.
        // Markup and entities shown as typed; an open tag does not swallow the lines after it.
        const QStringList messages{"<b>x</b>", "", "R&D &amp; more"};
        const QTime before = QTime::currentTime();
        for (const QString &msg : messages)
            QVERIFY(QMetaObject::invokeMethod(window.get(), "logd", Q_ARG(QString, msg)));
        const QStringList lines = log->toPlainText().split('\n');
        QCOMPARE(lines.size(), messages.size());
        for (int i = 0; i < lines.size(); ++i) {
            QCOMPARE(lines.at(i).mid(12), " - " + messages.at(i));
            // 24-hour local time of the moment of logging (the wrap keeps this valid at midnight).
            const QTime stamped = QTime::fromString(lines.at(i).left(12), "hh:mm:ss.zzz");
            const int lagMs = (before.msecsTo(stamped) + kMillisecondsPerDay) % kMillisecondsPerDay;
            QVERIFY2(stamped.isValid() && lagMs < kClockSlackMs, qPrintable(lines.at(i)));
        }
        QTest::mouseClick(window->findChild<QPushButton *>("btClearLogs"), Qt::LeftButton);
        QVERIFY(log->toPlainText().isEmpty());
        QVERIFY(QMetaObject::invokeMethod(window.get(), "logd", Q_ARG(QString, "fresh")));
        QCOMPARE(log->document()->blockCount(), 1);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
