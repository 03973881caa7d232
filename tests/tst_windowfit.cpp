// The window at the fonts of the desktops technicians use: every text whole, nothing on top of
// anything else, the service boxes included.
#include "mainwindow.h"

#include "datatable.h"

#include <QtTest>
#include <QtWidgets>

namespace {
// The part of a label, check box or push button that the style leaves for the text.
QRect textRoom(QWidget *widget)
{
    QStyleOptionButton option;
    option.initFrom(widget);
    if (qobject_cast<QCheckBox *>(widget))
        return widget->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, widget);
    if (qobject_cast<QPushButton *>(widget))
        return widget->style()->subElementRect(QStyle::SE_PushButtonContents, &option, widget);
    return widget->contentsRect();
}

QString shownText(QWidget *widget)
{
    if (auto *label = qobject_cast<QLabel *>(widget))
        return label->text();
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        return button->text();
    return QString();
}

QString describe(const QWidget *widget, const QRect &rect)
{
    return QStringLiteral("%1 %2x%3+%4+%5")
        .arg(widget->objectName())
        .arg(rect.width())
        .arg(rect.height())
        .arg(rect.x())
        .arg(rect.y());
}

// Texts wider or taller than their room.
QStringList cutTexts(const QWidget &window)
{
    QStringList faults;
    for (QWidget *widget : window.findChildren<QWidget *>()) {
        const QString text = shownText(widget);
        if (text.isEmpty() || !widget->isVisible())
            continue;
        const QSize needed = widget->fontMetrics().size(Qt::TextExpandTabs, text);
        const QRect room = textRoom(widget);
        if (needed.width() > room.width() || needed.height() > room.height())
            faults << QStringLiteral("%1 needs %2x%3")
                          .arg(describe(widget, room))
                          .arg(needed.width())
                          .arg(needed.height());
    }
    return faults;
}

// Visible children that overlap each other or stick out of their container.
QStringList crowdedChildren(QWidget *container)
{
    QStringList faults;
    QList<QWidget *> shown;
    for (QWidget *child :
         container->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!child->isVisible())
            continue;
        if (!container->rect().contains(child->geometry()))
            faults << describe(child, child->geometry()) + " outside " +
                          describe(container, container->rect());
        for (const QWidget *other : shown) {
            if (other->geometry().intersects(child->geometry()))
                faults << describe(child, child->geometry()) + " over " +
                              describe(other, other->geometry());
        }
        shown << child;
    }
    return faults;
}
} // namespace

class TestWindowFit : public QObject
{
    Q_OBJECT

private slots:
    void everyTextFitsAndNothingOverlaps_data()
    {
        addColumns<QString, int, bool>({"family", "pointSize", "atMinimumSize"});
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
        QFETCH(bool, atMinimumSize);
        QApplication::setFont(QFont(family, pointSize));
        QVERIFY2(QFontInfo(QApplication::font()).family() == family,
                 qPrintable(family + " is not installed (scripts/lib.sh lists its package)"));

        MainWindow window;
        QList<QWidget *> containers{window.centralWidget()};
        for (QGroupBox *box : window.findChildren<QGroupBox *>()) {
            // The service boxes are hidden at start; the smallest window is checked as it opens.
            if (!atMinimumSize)
                box->show();
            containers << box;
        }
        // Boxes shown in a window not shown yet leave the layouts' cached sizes behind.
        window.centralWidget()->layout()->activate();
        window.resize(atMinimumSize ? window.minimumSize() : window.sizeHint());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QStringList faults = cutTexts(window);
        for (QWidget *container : containers)
            faults << crowdedChildren(container);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join("\n")));
    }
};

QTEST_MAIN(TestWindowFit)
#include "tst_windowfit.moc"
