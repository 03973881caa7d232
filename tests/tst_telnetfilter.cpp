// Telnet with the COM-PORT-OPTION as byte vectors: what the server sends, what the decoder gets
// and what goes back.
#include "datatable.h"
#include "telnetfilter.h"

using Filter = TelnetFilter;

namespace {
// Server bytes ('|' splits the reads), data out, replies, subnegotiations (option and data) and
// whether COM-PORT-OPTION is agreed.
void row(const char *name, const QByteArray &server, const char *data, const char *replies,
         const QByteArrayList &subnegotiations = {}, bool comPortAgreed = false)
{
    QTest::newRow(name) << server << hex(data) << hex(replies) << subnegotiations << comPortAgreed;
}
} // namespace

class TestTelnetFilter : public QObject
{
    Q_OBJECT

private slots:
    void receive_data()
    {
        addColumns<QByteArray, QByteArray, QByteArray, QByteArrayList, bool>(
            {"server", "data", "replies", "subnegotiations", "comPortAgreed"});
        const QByteArray tooLong(1100, 'A'); // the filter keeps the first 1024 bytes
        row("plain data", "7E 01 02 7E", "7E 01 02 7E", "");
        row("IAC IAC", "7E FF FF 01 7E", "7E FF 01 7E", "");
        row("commands in a frame", "7E 01 FF F1 02 FF FB 01 03 7E", "7E 01 02 03 7E", "FF FE 01");
        row("opening exchange", "FFFB03 FFFD03 FFFB01 FFFE01 FFFD00 FFFB00 FFFD2C", "", "FFFE01",
            {}, true);
        row("refused option", "FF FD 18", "", "FF FC 18");
        row("offers refused", "FF FE 2C FF FC 00 FF FE 00", "", "");
        row("agreed option dropped once", "FFFD00 FFFB00 | FFFE00 FFFE00 FFFC00 FFFC00 | FFFD00",
            "", "FFFC00 FFFE00 FFFB00");
        row("COM-PORT-OPTION dropped", "FFFD2C FFFE2C", "", "FFFC2C");
        row("subnegotiation in three reads", "01 FF FA 2C | 65 00 00 | E1 00 FF F0 02", "01 02", "",
            {hex("2C 65 00 00 E1 00")});
        row("FF in a rate", "FF FA 2C 65 00 00 FF FF FF FF FF F0", "", "",
            {hex("2C 65 00 00 FF FF")});
        row("split after IAC", "7E FF | FF 02 FF | FB 01 FF FA 2C 65 FF | FF FF | F0 7E",
            "7E FF 02 7E", "FF FE 01", {hex("2C 65 FF")});
        row("subnegotiation ended by a command", "FF FA 2C 65 01 FF FB 01 02 FF FA 2C | 66 FF F0",
            "02", "FF FE 01", {hex("2C 65 01"), hex("2C 66")});
        row("subnegotiation capped", "FFFA2C" + tooLong.toHex() + "FFF0 02", "02", "",
            {char(Filter::kOptionComPort) + tooLong.left(1024)});
    }

    void receive()
    {
        QFETCH(QByteArray, server);
        Filter filter;
        filter.openingOffers();
        QByteArray data, replies;
        QVector<Filter::Subnegotiation> subs;
        for (const QByteArray &read : server.split('|'))
            data += filter.receive(QByteArray::fromHex(read), &replies, &subs);
        QByteArrayList received;
        for (const Filter::Subnegotiation &sub : subs)
            received << char(sub.option) + sub.data;
        QTEST(data, "data");
        QTEST(replies, "replies");
        QTEST(received, "subnegotiations");
        QTEST(filter.comPortAgreed(), "comPortAgreed");
    }

    void sent_data()
    {
        addColumns<QByteArray, QByteArray>({"bytes", "expected"});
        addRow("rate", Filter::comPortCommand(Filter::SetBaudRate, Filter::baudRateValue(115200)),
               hex("FF FA 2C 01 00 01 C2 00 FF F0"));
        addRow("offers", Filter().openingOffers(), hex("FFFB00 FFFD00 FFFB03 FFFD03 FFFB2C"));
    }

    void sent()
    {
        QFETCH(QByteArray, bytes);
        QTEST(bytes, "expected");
    }
};

QTEST_GUILESS_MAIN(TestTelnetFilter)
#include "tst_telnetfilter.moc"
