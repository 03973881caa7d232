#include "rfc2217link.h"

#include <QDeadlineTimer>
#include <QtEndian>

namespace {
// A server on the same network confirms at once; one that never does is no RFC 2217 server.
constexpr int kSettingsTimeoutMs = 2000;
constexpr uint8_t kDataBits = 8;
constexpr uint8_t kNoParity = 1;
constexpr uint8_t kOneStopBit = 1;
constexpr uint8_t kNoFlowControl = 1;
constexpr uint8_t kDtrOff = 9;
constexpr uint8_t kPurgeBothBuffers = 3;
constexpr int kBaudValueBytes = 4;

// Rate, data size, parity and stop size must be confirmed; a server with a pseudo-terminal
// behind it never confirms the modem lines or a purge.
constexpr uint8_t kConfirmedSettings[] = {TelnetFilter::SetBaudRate, TelnetFilter::SetDataSize,
                                          TelnetFilter::SetParity, TelnetFilter::SetStopSize};

QByteArray oneByte(uint8_t value)
{
    return QByteArray(1, static_cast<char>(value));
}
} // namespace

bool Rfc2217Link::startLine(int baudRate)
{
    filter = TelnetFilter();
    confirmed.clear();
    // In this order: rate, format, no flow control, DTR off; then stale bytes in the server go.
    QByteArray words = filter.openingOffers();
    words += TelnetFilter::comPortCommand(TelnetFilter::SetBaudRate,
                                          TelnetFilter::baudRateValue(quint32(baudRate)));
    words += TelnetFilter::comPortCommand(TelnetFilter::SetDataSize, oneByte(kDataBits));
    words += TelnetFilter::comPortCommand(TelnetFilter::SetParity, oneByte(kNoParity));
    words += TelnetFilter::comPortCommand(TelnetFilter::SetStopSize, oneByte(kOneStopBit));
    words += TelnetFilter::comPortCommand(TelnetFilter::SetControl, oneByte(kNoFlowControl));
    words += TelnetFilter::comPortCommand(TelnetFilter::SetControl, oneByte(kDtrOff));
    words += TelnetFilter::comPortCommand(TelnetFilter::PurgeData, oneByte(kPurgeBothBuffers));
    socket.write(words);
    socket.flush();

    const QDeadlineTimer deadline(kSettingsTimeoutMs, Qt::PreciseTimer);
    while (!allConfirmed()) {
        if (socket.state() != QAbstractSocket::ConnectedState)
            return fail(closedReason());
        if (deadline.hasExpired())
            return fail(tr("the server did not confirm the line settings within %1 s (no RFC 2217 "
                           "server?)")
                            .arg(kSettingsTimeoutMs / 1000));
        socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
    }
    const QByteArray rate = confirmed.value(TelnetFilter::SetBaudRate);
    const quint32 inUse =
        rate.size() == kBaudValueBytes ? qFromBigEndian<quint32>(rate.constData()) : 0;
    if (inUse != quint32(baudRate))
        return fail(tr("the server runs the line at %1 baud, not %2").arg(inUse).arg(baudRate));
    return true;
}

QByteArray Rfc2217Link::takeData(const QByteArray &received)
{
    QByteArray replies;
    QVector<TelnetFilter::Subnegotiation> subnegotiations;
    const QByteArray data = filter.receive(received, &replies, &subnegotiations);
    if (!replies.isEmpty()) {
        socket.write(replies);
        socket.flush();
    }
    for (const TelnetFilter::Subnegotiation &sub : subnegotiations) {
        if (sub.option != TelnetFilter::kOptionComPort || sub.data.isEmpty())
            continue;
        const auto code = static_cast<uint8_t>(sub.data.at(0));
        if (code > TelnetFilter::kServerCommandOffset)
            confirmed.insert(uint8_t(code - TelnetFilter::kServerCommandOffset), sub.data.mid(1));
    }
    return data;
}

bool Rfc2217Link::allConfirmed() const
{
    for (uint8_t command : kConfirmedSettings) {
        if (!confirmed.contains(command))
            return false;
    }
    return true;
}
