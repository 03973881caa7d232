#include "telnetfilter.h"

#include <QtEndian>

#include <cstring>

namespace {

struct Offer
{
    uint8_t verb;
    uint8_t option;
};

constexpr Offer kOpeningOffers[] = {
    {TelnetFilter::kWill, TelnetFilter::kOptionBinary},
    {TelnetFilter::kDo, TelnetFilter::kOptionBinary},
    {TelnetFilter::kWill, TelnetFilter::kOptionSuppressGoAhead},
    {TelnetFilter::kDo, TelnetFilter::kOptionSuppressGoAhead},
    {TelnetFilter::kWill, TelnetFilter::kOptionComPort},
};

void appendCommand(QByteArray *out, uint8_t verb, uint8_t option)
{
    if (!out)
        return;
    out->append(char(TelnetFilter::kIac));
    out->append(char(verb));
    out->append(char(option));
}

} // namespace

QByteArray TelnetFilter::openingOffers()
{
    QByteArray offers;
    for (const Offer &offer : kOpeningOffers) {
        OptionState &state =
            offer.verb == kWill ? localOptions[offer.option] : remoteOptions[offer.option];
        // Asking again what is pending or agreed would be answered again: a loop in the making.
        if (state != OptionState::No)
            continue;
        state = OptionState::Asked;
        appendCommand(&offers, offer.verb, offer.option);
    }
    return offers;
}

QByteArray TelnetFilter::receive(const QByteArray &bytes, QByteArray *replies,
                                 QVector<Subnegotiation> *subnegotiations)
{
    QByteArray data;
    data.reserve(bytes.size());
    const char *next = bytes.constData();
    const char *const end = next + bytes.size();
    while (next < end) {
        // Runs without IAC pass whole, as data or as the body of a subnegotiation.
        if (parseState == ParseState::Data || parseState == ParseState::SubnegotiationData) {
            const auto *iac =
                static_cast<const char *>(std::memchr(next, kIac, size_t(end - next)));
            const char *runEnd = iac ? iac : end;
            if (parseState == ParseState::Data)
                data.append(next, int(runEnd - next));
            else
                appendToSubnegotiation(next, int(runEnd - next));
            if (!iac)
                break;
            parseState = parseState == ParseState::Data ? ParseState::Command
                                                        : ParseState::SubnegotiationIac;
            next = iac + 1;
            continue;
        }
        const auto byte = uint8_t(*next++);
        switch (parseState) {
        case ParseState::Command:
            handleCommand(byte, &data);
            break;
        case ParseState::Option:
            negotiate(pendingVerb, byte, replies);
            parseState = ParseState::Data;
            break;
        case ParseState::SubnegotiationOption:
            subnegotiation = Subnegotiation{byte, QByteArray()};
            parseState = ParseState::SubnegotiationData;
            break;
        case ParseState::SubnegotiationIac:
            if (byte == kIac) {
                appendToSubnegotiation(next - 1, 1);
                parseState = ParseState::SubnegotiationData;
                break;
            }
            // Anything but IAC SE ends it too, so a lost SE cannot swallow the stream.
            if (subnegotiations)
                subnegotiations->append(subnegotiation);
            subnegotiation = Subnegotiation();
            parseState = ParseState::Data;
            if (byte != kSe)
                handleCommand(byte, &data);
            break;
        case ParseState::Data:
        case ParseState::SubnegotiationData:
            break;
        }
    }
    return data;
}

QByteArray TelnetFilter::escape(const QByteArray &data)
{
    QByteArray escaped;
    escaped.reserve(data.size());
    for (const char c : data) {
        escaped.append(c);
        if (uint8_t(c) == kIac)
            escaped.append(c);
    }
    return escaped;
}

QByteArray TelnetFilter::comPortCommand(uint8_t command, const QByteArray &value)
{
    QByteArray bytes;
    bytes.append(char(kIac));
    bytes.append(char(kSb));
    bytes.append(char(kOptionComPort));
    bytes.append(escape(char(command) + value));
    bytes.append(char(kIac));
    bytes.append(char(kSe));
    return bytes;
}

QByteArray TelnetFilter::baudRateValue(quint32 baudRate)
{
    QByteArray value(sizeof(baudRate), Qt::Uninitialized);
    qToBigEndian(baudRate, value.data());
    return value;
}

bool TelnetFilter::comPortAgreed() const
{
    return localOptions[kOptionComPort] == OptionState::Yes;
}

bool TelnetFilter::acceptsLocally(uint8_t option)
{
    return option == kOptionBinary || option == kOptionSuppressGoAhead || option == kOptionComPort;
}

bool TelnetFilter::acceptsRemotely(uint8_t option)
{
    return option == kOptionBinary || option == kOptionSuppressGoAhead;
}

void TelnetFilter::handleCommand(uint8_t command, QByteArray *data)
{
    switch (command) {
    case kIac:
        data->append(char(kIac));
        parseState = ParseState::Data;
        break;
    case kSb:
        parseState = ParseState::SubnegotiationOption;
        break;
    case kWill:
    case kWont:
    case kDo:
    case kDont:
        pendingVerb = command;
        parseState = ParseState::Option;
        break;
    default:
        // NOP, GA, DM, AYT and unknown codes carry nothing for the decoder.
        parseState = ParseState::Data;
        break;
    }
}

void TelnetFilter::negotiate(uint8_t verb, uint8_t option, QByteArray *replies)
{
    const bool aboutClient = verb == kDo || verb == kDont;
    const bool enable = verb == kDo || verb == kWill;
    OptionState &state = aboutClient ? localOptions[option] : remoteOptions[option];
    const uint8_t agree = aboutClient ? kWill : kDo;
    const uint8_t refuse = aboutClient ? kWont : kDont;

    if (!enable) {
        if (state == OptionState::Yes)
            appendCommand(replies, refuse, option);
        state = OptionState::No;
        return;
    }
    // A refused option stays No and each request gets its refusal: a server that asked takes the
    // refusal as the end of it, so this cannot loop, and a server that never got one is not stuck.
    if (!(aboutClient ? acceptsLocally(option) : acceptsRemotely(option))) {
        appendCommand(replies, refuse, option);
        return;
    }
    if (state == OptionState::No)
        appendCommand(replies, agree, option);
    state = OptionState::Yes;
}

void TelnetFilter::appendToSubnegotiation(const char *bytes, int count)
{
    subnegotiation.data.append(bytes,
                               qMin(count, kMaxSubnegotiationData - subnegotiation.data.size()));
}
