#ifndef TELNETFILTER_H
#define TELNETFILTER_H

#include <QByteArray>
#include <QVector>

#include <array>
#include <cstdint>

// Client side of telnet with the COM-PORT-OPTION, as a filter between a socket and a decoder.
class TelnetFilter
{
public:
    // Telnet commands and options used here.
    static constexpr uint8_t kIac = 0xFF, kDont = 0xFE, kDo = 0xFD, kWont = 0xFC, kWill = 0xFB,
                             kSb = 0xFA, kSe = 0xF0;
    static constexpr uint8_t kOptionBinary = 0, kOptionSuppressGoAhead = 3, kOptionComPort = 44;
    // COM-PORT-OPTION commands of a client; a server's answer carries the code plus 100.
    enum ComPortCommand : uint8_t {
        SetBaudRate = 1,
        SetDataSize = 2,
        SetParity = 3,
        SetStopSize = 4,
        SetControl = 5,
        PurgeData = 12,
    };
    static constexpr uint8_t kServerCommandOffset = 100;

    // A subnegotiation the server sent: its option and the bytes between the option and IAC SE,
    // with IAC IAC already made one 0xFF.
    struct Subnegotiation
    {
        uint8_t option = 0;
        QByteArray data;
    };

    // The client's first words: WILL BINARY, DO BINARY, WILL SUPPRESS-GO-AHEAD,
    // DO SUPPRESS-GO-AHEAD, WILL COM-PORT-OPTION, in that order. Marks them as asked; one already
    // asked or agreed is not offered again.
    QByteArray openingOffers();

    // Bytes from the server, in any split: returns the data bytes among them. Answers to the
    // server's option negotiation go to *replies, completed subnegotiations to *subnegotiations.
    QByteArray receive(const QByteArray &bytes, QByteArray *replies,
                       QVector<Subnegotiation> *subnegotiations);

    // Data for the server: every 0xFF doubled.
    static QByteArray escape(const QByteArray &data);
    // IAC SB COM-PORT-OPTION command value IAC SE, every 0xFF of the value doubled.
    static QByteArray comPortCommand(uint8_t command, const QByteArray &value);
    // Values of the commands: baud rate as 4 bytes in network order; one byte for the others.
    static QByteArray baudRateValue(quint32 baudRate);

    // Whether the server has agreed that this client speaks COM-PORT-OPTION (it sent DO 44).
    bool comPortAgreed() const;

private:
    enum class OptionState : uint8_t { No, Asked, Yes };
    enum class ParseState : uint8_t {
        Data,
        Command,
        Option,
        SubnegotiationOption,
        SubnegotiationData,
        SubnegotiationIac,
    };
    static constexpr int kOptionCount = 256;
    // A server that never ends a subnegotiation must not make the buffer grow without bound.
    static constexpr int kMaxSubnegotiationData = 1024;

    static bool acceptsLocally(uint8_t option);
    static bool acceptsRemotely(uint8_t option);
    void handleCommand(uint8_t command, QByteArray *data);
    void negotiate(uint8_t verb, uint8_t option, QByteArray *replies);
    // Up to the cap; the rest of a subnegotiation too long is dropped.
    void appendToSubnegotiation(const char *bytes, int count);

    std::array<OptionState, kOptionCount> localOptions{};
    std::array<OptionState, kOptionCount> remoteOptions{};
    ParseState parseState = ParseState::Data;
    uint8_t pendingVerb = 0;
    Subnegotiation subnegotiation;
};

#endif // TELNETFILTER_H
