// The window on a network bus: it stays responsive while a server is reached, the operator may
// cancel, and every reason a port fails reaches the log view.
#include "e2efixture.h"
#include "ser2net.h"

#include <QTcpServer>

namespace {
// The longest the test's own timer may wait for the event loop, and Cancel for the open's end.
constexpr int kLongestGapMs = 100;
constexpr int kDialogDelayMs = 300;
// The machine is shared: the dialog and the open's end may come this much late.
constexpr int kLateMs = 500;
} // namespace

class TestE2eNetwork : public QObject
{
    Q_OBJECT

    std::unique_ptr<E2eBench> bench;
    std::unique_ptr<Ser2net> server;

private slots:
    void initTestCase()
    {
        bench = std::make_unique<E2eBench>(E2e::fastBus());
        server = std::make_unique<Ser2net>(bench->bus().portPath(), Ser2net::Tls);
        QVERIFY(bench->isReady() && server->start().isEmpty());
    }

    // $SILENT: a server that takes the connection and never answers (no TLS hello, no
    // confirmations); $T: ser2net's rfc2217+tls port, $C the allowed certificate, $PIN its
    // fingerprint, $BAD that with another last digit, @ the folder of its files. log: its start.
    void openFailsOrIsCancelled_data()
    {
        // endMs: when the open ends, before the dialog (0), at Cancel or Escape (-1), at its limit
        addColumns<QString, QString, int, QString>({"url", "button", "endMs", "log"});
        const QString cancelled = "Connection to $URL cancelled";
        addRow("TLS hello unanswered, Cancel", "rfc2217+tls://$SILENT", "Cancel", -1, cancelled);
        addRow("settings unconfirmed, Escape", "rfc2217://$SILENT", "Escape", -1, cancelled);
        addRow("TLS hello unanswered", "rfc2217+tls://$SILENT", "", 3000,
               "Cannot open $URL: no TLS handshake within 3 s");
        addRow("settings unconfirmed", "rfc2217://$SILENT", "", 2000,
               "Cannot open $URL: the server did not confirm the line settings within 2 s");
        addRow("pin off in its last digit", "rfc2217+tls://$T?fingerprint=$BAD&$C", "", 0,
               "Cannot open $URL: WARNING: the server's certificate has the SHA-256 fingerprint "
               "$PIN,|not the pinned $BAD:|the server may have been replaced");
        addRow("not trusted, on a scan", "rfc2217+tls://$T?$C", "btScanRs485", 0,
               "Searching for devices. Please wait...|Cannot open $URL: the server's certificate "
               "is not trusted");
        addRow("client certificate refused",
               "rfc2217+tls://$T?fingerprint=$PIN&cert=@other.crt&key=@other.key", "", 0,
               "Cannot open $URL: the server refused the client certificate @other.crt");
    }
    void openFailsOrIsCancelled()
    {
        QFETCH(QString, url);
        QFETCH(QString, button);
        QFETCH(int, endMs);
        QFETCH(QString, log);
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        const QString pin = server->serverFingerprint();
        const auto expand = [&](QString text) {
            return text.replace("$SILENT", "127.0.0.1:" + QString::number(silent.serverPort()))
                .replace("$T", server->tlsUrl("", false).mid(3))
                .replace("$C", "cert=@client.crt&key=@client.key")
                .replace("$BAD", pin.chopped(1) + (pin.endsWith('0') ? '1' : '0'))
                .replace("$PIN", pin)
                .replace('@', QFileInfo(server->file("server.crt")).path() + '/');
        };
        ToolDriver &tool = bench->tool();
        tool.selectPort(url = expand(url));
        tool.clearLog();
        bench->bus().clearTrace();

        // Ticks of the test's own timer: what the status shows, whether a scan starts, the dialog.
        QElapsedTimer clock;
        qint64 lastTick = 0, longestGap = 0, shownAt = -1;
        QStringList seen;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] {
            longestGap = qMax(longestGap, clock.elapsed() - lastTick);
            lastTick = clock.elapsed();
            seen << tool.statusBarText() + (tool.click("btScanRs485") ? " scan" : "");
            auto *dialog = qobject_cast<QProgressDialog *>(QApplication::activeModalWidget());
            if (!dialog || shownAt >= 0)
                return;
            shownAt = clock.elapsed();
            seen << QStringLiteral("dialog, maximum %1").arg(dialog->maximum());
            if (button == "Cancel")
                dialog->findChild<QPushButton *>()->click();
            else if (button == "Escape")
                QTest::keyClick(dialog, Qt::Key_Escape);
        });
        ticker.start(kLongestGapMs / 10);
        clock.start();
        QVERIFY(tool.click(button.startsWith("bt") ? button : "btSerialConnect"));
        const qint64 endedAt = clock.elapsed();
        ticker.stop();
        const QByteArray times =
            QStringLiteral("longest gap %1 ms, dialog at %2 ms, ended at %3 ms")
                .arg(longestGap)
                .arg(shownAt)
                .arg(endedAt)
                .toUtf8();
        QVERIFY2(longestGap <= kLongestGapMs, times);
        const qint64 endsAt = endMs < 0 ? shownAt : endMs;
        QVERIFY2(endedAt >= endsAt && endedAt < endsAt + (endMs < 0 ? kLongestGapMs : kLateMs),
                 times);
        seen.removeDuplicates();
        if (endMs != 0) {
            QVERIFY2(shownAt >= kDialogDelayMs && shownAt < kDialogDelayMs + kLateMs, times);
            QCOMPARE(seen, QStringList({"Connecting to " + url.section('/', 2) + "...|",
                                        "dialog, maximum 0"}));
        }
        // No request and no response timer: nothing follows, and the window is as before.
        QVERIFY(tool.logStaysQuiet(ExchangeTiming::kConnectTimeoutMs + kLateMs));
        const QString logged = tool.logLines().join('|');
        QVERIFY2(logged.startsWith(expand(log.replace("$URL", url))), qPrintable(logged));
        QCOMPARE(logged.count('|'), log.count('|'));
        QVERIFY(!QApplication::activeModalWidget());
        QCOMPARE(E2e::wire(bench->bus()), QStringList());
        QVERIFY(tool.widget("btSerialConnect")->isEnabled());
        QCOMPARE(tool.statusBarText() + tool.text("btScanRs485"), QStringLiteral("|Scan"));
        QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kDisconnectedLook));
    }
};

QTEST_MAIN(TestE2eNetwork)
#include "tst_e2e_network.moc"
