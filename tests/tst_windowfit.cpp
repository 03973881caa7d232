// The window at the fonts of Linux desktops: every text whole and nothing on top of anything
// else, the hidden service boxes included.
#include "mainwindow.h"

#include "datatable.h"

#include <QtTest>
#include <QtWidgets>

namespace {
QDebug newFault(QStringList *faults)
{
    faults->append(QString());
    return QDebug(&faults->last());
}

// A label's or button's text that is wider or taller than the room its style leaves for it.
void findCutText(QWidget *widget, QStringList *faults)
{
    auto *label = qobject_cast<QLabel *>(widget);
    auto *button = qobject_cast<QAbstractButton *>(widget);
    if ((!label && !button) || !widget->isVisible())
        return;
    QStyleOptionButton option;
    option.initFrom(widget);
    const auto element = qobject_cast<QCheckBox *>(widget) ? QStyle::SE_CheckBoxContents
                                                           : QStyle::SE_PushButtonContents;
    const QRect room =
        label ? label->contentsRect() : widget->style()->subElementRect(element, &option, widget);
    const QString text = label ? label->text() : button->text();
    const QSize needed = widget->fontMetrics().size(Qt::TextExpandTabs, text);
    if (needed.width() > room.width() || needed.height() > room.height())
        newFault(faults) << widget << "needs" << needed << "has" << room.size();
}

// Visible children of one container that overlap each other or stick out of it.
void findCrowding(QWidget *container, QStringList *faults)
{
    QList<QWidget *> shown;
    for (QWidget *child :
         container->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!child->isVisible())
            continue;
        if (!container->rect().contains(child->geometry()))
            newFault(faults) << child << "outside" << container;
        for (QWidget *other : shown) {
            if (other->geometry().intersects(child->geometry()))
                newFault(faults) << child << "over" << other;
        }
        shown << child;
    }
}
} // namespace

class TestWindowFit : public QObject
{
    Q_OBJECT

private slots:
    void everyTextFitsAndNothingOverlaps_data()
    {
        addColumns<QString, int, bool>({"family", "pointSize", "smallestWindow"});
        addRow("DejaVu Sans 9", "DejaVu Sans", 9, false);
        addRow("DejaVu Sans 10", "DejaVu Sans", 10, false);
        addRow("DejaVu Sans 11", "DejaVu Sans", 11, false);
        addRow("DejaVu Sans 12", "DejaVu Sans", 12, false);
        addRow("Noto Sans 11", "Noto Sans", 11, false);
        addRow("Cantarell 11", "Cantarell", 11, false);
        addRow("DejaVu Sans 10, smallest window", "DejaVu Sans", 10, true);
    }

    void everyTextFitsAndNothingOverlaps()
    {
        QFETCH(QString, family);
        QFETCH(int, pointSize);
        QFETCH(bool, smallestWindow);
        QApplication::setFont(QFont(family, pointSize));
        QVERIFY2(QFontInfo(QApplication::font()).family() == family,
                 qPrintable(family + " is not installed (its package is in scripts/lib.sh)"));

        MainWindow window;
        const QList<QGroupBox *> boxes = window.findChildren<QGroupBox *>();
        // The smallest window is checked as the operator sees it, service boxes hidden.
        for (QGroupBox *box : boxes) {
            if (!smallestWindow)
                box->show();
        }
        // Boxes shown in a window not shown yet leave the layouts' cached sizes behind.
        window.centralWidget()->layout()->activate();
        window.resize(smallestWindow ? window.minimumSize() : window.sizeHint());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QStringList faults;
        for (QWidget *widget : window.findChildren<QWidget *>())
            findCutText(widget, &faults);
        findCrowding(window.centralWidget(), &faults);
        for (QGroupBox *box : boxes)
            findCrowding(box, &faults);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
    }
};

QTEST_MAIN(TestWindowFit)
#include "tst_windowfit.moc"
