#include "rfc2217link.h"

#include <QtEndian>

#include <iterator>

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

// Rate, data size, parity and stop size must be confirmed, each in a value of its size; a
// server with a pseudo-terminal behind it never confirms the modem lines or a purge.
struct ConfirmedSetting
{
    uint8_t command;
    int valueBytes;
    const char *name;
};
constexpr ConfirmedSetting kConfirmedSettings[] = {
    {TelnetFilter::SetBaudRate, kBaudValueBytes, QT_TRANSLATE_NOOP("Rfc2217Link", "rate")},
    {TelnetFilter::SetDataSize, 1, QT_TRANSLATE_NOOP("Rfc2217Link", "data size")},
    {TelnetFilter::SetParity, 1, QT_TRANSLATE_NOOP("Rfc2217Link", "parity")},
    {TelnetFilter::SetStopSize, 1, QT_TRANSLATE_NOOP("Rfc2217Link", "stop size")},
};
// Parity values 1 to 5 and stop sizes 1 to 3 as a line's format is written: 8N1, 7E1, 8N1.5.
const char kParityLetters[] = "?NOEMS";
const char *const kStopSizes[] = {"?", "1", "2", "1.5"};

QByteArray oneByte(uint8_t value)
{
    return QByteArray(1, static_cast<char>(value));
}

QString formatText(uint8_t dataBits, uint8_t parity, uint8_t stopSize)
{
    return QString::number(dataBits) +
           QLatin1Char(kParityLetters[parity < sizeof kParityLetters - 1 ? parity : 0]) +
           QLatin1String(kStopSizes[stopSize < std::size(kStopSizes) ? stopSize : 0]);
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
    sendToServer(words);

    const QDeadlineTimer deadline(kSettingsTimeoutMs, Qt::PreciseTimer);
    waitUntil([this] { return allConfirmed() || serverRefused(); }, deadline);
    if (!allConfirmed()) {
        if (serverRefused())
            return fail(closedReason());
        return fail(tr("the server did not confirm the line settings within %1 s (no RFC 2217 "
                       "server?)")
                        .arg(kSettingsTimeoutMs / 1000));
    }
    const QString problem = settingsProblem(quint32(baudRate));
    return problem.isEmpty() || fail(problem);
}

QString Rfc2217Link::settingsProblem(quint32 baudRate) const
{
    for (const ConfirmedSetting &setting : kConfirmedSettings) {
        const int size = confirmed.value(setting.command).size();
        if (size != setting.valueBytes)
            return tr("malformed confirmation of the line's %1 (%2 bytes, not %3)")
                .arg(tr(setting.name))
                .arg(size)
                .arg(setting.valueBytes);
    }
    const quint32 inUse =
        qFromBigEndian<quint32>(confirmed.value(TelnetFilter::SetBaudRate).constData());
    if (inUse != baudRate)
        return tr("the server runs the line at %1 baud, not %2").arg(inUse).arg(baudRate);
    const auto value = [this](uint8_t command) { return uint8_t(confirmed.value(command).at(0)); };
    const QString format =
        formatText(value(TelnetFilter::SetDataSize), value(TelnetFilter::SetParity),
                   value(TelnetFilter::SetStopSize));
    const QString asked = formatText(kDataBits, kNoParity, kOneStopBit);
    return format == asked ? QString()
                           : tr("the server runs the line at %1, not %2").arg(format, asked);
}

QByteArray Rfc2217Link::takeData(const QByteArray &received)
{
    QByteArray replies;
    QVector<TelnetFilter::Subnegotiation> subnegotiations;
    const QByteArray data = filter.receive(received, &replies, &subnegotiations);
    if (!replies.isEmpty()) {
        sendToServer(replies);
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
    for (const ConfirmedSetting &setting : kConfirmedSettings) {
        if (!confirmed.contains(setting.command))
            return false;
    }
    return true;
}
