#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QRect>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTime>
#include <QTimer>

namespace {
constexpr int kVersionMajor = TALVIK_VERSION_MAJOR;
constexpr int kVersionMinor = TALVIK_VERSION_MINOR;

constexpr int kStatusWidgetWidth = 160;
constexpr int kStatusWidgetHeight = 20;
constexpr int kStatusWidgetStretch = 1;

// The form's minimum sizes were drawn for a smaller font than Linux desktops use. They stay as
// floors and grow to what the layouts need at the font in use, so a small window cuts no text.
void raiseMinimumSizesToContents(QMainWindow *window)
{
    for (QGroupBox *box : window->findChildren<QGroupBox *>())
        box->setMinimumSize(box->minimumSize().expandedTo(box->minimumSizeHint()));
    window->setMinimumSize(window->minimumSize().expandedTo(window->minimumSizeHint()));
}
} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);

    statusLabel = new QLabel(this);
    infoLabel = new QLabel(this);
    progressBar = new QProgressBar(this);
    const QRect statusWidgetGeometry(0, 0, kStatusWidgetWidth, kStatusWidgetHeight);
    statusLabel->setGeometry(statusWidgetGeometry);
    infoLabel->setGeometry(statusWidgetGeometry);
    progressBar->setGeometry(statusWidgetGeometry);
    progressBar->setTextVisible(false);
    ui->statusbar->addPermanentWidget(statusLabel, kStatusWidgetStretch);
    ui->statusbar->addPermanentWidget(infoLabel, kStatusWidgetStretch);
    ui->statusbar->addPermanentWidget(progressBar, kStatusWidgetStretch);
    progressBar->setValue(0);

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    connect(ui->cbDetectedDevices, &QComboBox::currentIndexChanged, this, [this] {
        on_cbDetectedDevices_currentIndexChanged(ui->cbDetectedDevices->currentText());
    });
#endif
    connect(&binaryProtocol, &BinaryProtocol::frameError, this,
            &MainWindow::binaryProtocolFrameError);
    connect(&binaryProtocol, &BinaryProtocol::frameComplete, this,
            &MainWindow::binaryProtocolFrameComplete);
    connect(&binaryProtocol, &BinaryProtocol::protocolWrite, this,
            &MainWindow::binaryProtocolWrite);

    on_btRefresComPorts_clicked();

    oneShotTimer = new QTimer(this);
    connect(oneShotTimer, SIGNAL(timeout()), this, SLOT(oneShotTimeout()));
    oneShotTimer->setSingleShot(true);

    pendingOperation = OpIdle;
    statNotFound = 0;
    statFound = 0;
    statRetry = 0;
    statErrors = 0;
    updateStats();

    setWindowTitle(tr("Talvik RS485 OTA+tester - v%1.%2").arg(kVersionMajor).arg(kVersionMinor));

    // Service functions stay wired but out of the operator's sight.
    ui->groupBox->hide();
    ui->gbTests->hide();
    ui->gbAddressTag->hide();
    ui->gbLed->hide();

    raiseMinimumSizesToContents(this);
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::logd(QString msg)
{
    const QString line = QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz - ")) + msg;

    // Inserted as plain text: device names and file paths must never be read as markup.
    QScrollBar *scrollBar = ui->teLogs->verticalScrollBar();
    const bool followTail = scrollBar->value() >= scrollBar->maximum();
    QTextCursor cursor(ui->teLogs->document());
    cursor.movePosition(QTextCursor::End);
    if (!ui->teLogs->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(line);
    if (followTail)
        scrollBar->setValue(scrollBar->maximum());
}

void MainWindow::updateStats()
{
    ui->labStatistic->setText(tr("Not found: %1\tFound:%2\nRetry: %3   \tErrors:%4")
                                  .arg(statNotFound)
                                  .arg(statFound)
                                  .arg(statRetry)
                                  .arg(statErrors));
}

void MainWindow::on_btClearLogs_clicked()
{
    ui->teLogs->clear();
}
