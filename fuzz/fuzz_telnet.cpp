// The telnet filter on whatever a network serial server, or anyone posing as one, may send: in
// arbitrary splits it must neither crash nor grow without bound, answer only with well-formed
// negotiation, and hand over exactly the data a client escaped for it.

#include "telnetfilter.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "violated: %s\n", what);
        std::abort();
    }
}

constexpr int kMaxSubnegotiationData = 1024;
constexpr int kCommandSize = 3; // IAC, verb, option

// The first byte picks the split points; the rest is the stream.
QVector<QByteArray> split(const uint8_t *data, size_t size)
{
    QVector<QByteArray> reads;
    const uint8_t step = size > 0 ? data[0] : 1;
    const QByteArray stream(reinterpret_cast<const char *>(data) + (size > 0 ? 1 : 0),
                            static_cast<int>(size > 0 ? size - 1 : 0));
    for (int at = 0, length = 1; at < stream.size(); at += length)
        reads << stream.mid(at, length = 1 + (step * (at + 7)) % 13);
    return reads;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QVector<QByteArray> reads = split(data, size);

    TelnetFilter filter;
    filter.openingOffers();
    QByteArray received;
    QByteArray replies;
    QVector<TelnetFilter::Subnegotiation> subnegotiations;
    int streamBytes = 0;
    for (const QByteArray &read : reads) {
        received += filter.receive(read, &replies, &subnegotiations);
        streamBytes += read.size();
    }
    require(received.size() <= streamBytes, "no more data out than bytes in");
    require(replies.size() % kCommandSize == 0, "replies are whole commands");
    for (int i = 0; i < replies.size(); i += kCommandSize) {
        const auto verb = uint8_t(replies.at(i + 1));
        require(uint8_t(replies.at(i)) == TelnetFilter::kIac &&
                    (verb == TelnetFilter::kWill || verb == TelnetFilter::kWont ||
                     verb == TelnetFilter::kDo || verb == TelnetFilter::kDont),
                "a reply is IAC and a negotiation verb");
    }
    for (const TelnetFilter::Subnegotiation &sub : subnegotiations)
        require(sub.data.size() <= kMaxSubnegotiationData, "subnegotiations are capped");

    // Data escaped for the wire comes out as it went in, however it is split.
    QByteArray stream;
    for (const QByteArray &read : reads)
        stream += read;
    const QByteArray escaped = TelnetFilter::escape(stream);
    TelnetFilter peer;
    QByteArray back;
    QByteArray noReplies;
    for (int at = 0, length = 1; at < escaped.size(); at += length)
        back += peer.receive(escaped.mid(at, length = 1 + at % 5), &noReplies, nullptr);
    require(back == stream && noReplies.isEmpty(), "escaped data comes back whole");
    return 0;
}
