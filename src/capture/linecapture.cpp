#include "linecapture.h"

#include <QCoreApplication>

#include <chrono>

namespace {
int64_t wallClockUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}
} // namespace

LineCapture::LineCapture()
    : inbound([this](const QByteArray &bytes, const QString &problem, int64_t timeUs) {
          write(PcapngWriter::Direction::Inbound, bytes, problem, timeUs);
      }),
      outbound([this](const QByteArray &bytes, const QString &problem, int64_t timeUs) {
          write(PcapngWriter::Direction::Outbound, bytes, problem, timeUs);
      }),
      startUs(wallClockUs())
{
    clock.start();
}

bool LineCapture::open(const QString &path, const QString &application, QString *error)
{
    writeFailure.clear();
    if (writer.open(path, application))
        return true;
    if (error)
        *error = QCoreApplication::translate("LineCapture", "cannot write the capture %1: %2")
                     .arg(path, writer.errorString());
    return false;
}

void LineCapture::finish()
{
    inbound.finish();
    outbound.finish();
    writer.close();
}

void LineCapture::record(CaptureFramer &framer, const char *data, qsizetype len)
{
    if (writer.isOpen())
        framer.feed(data, len, nowUs());
}

void LineCapture::write(PcapngWriter::Direction direction, const QByteArray &bytes,
                        const QString &problem, int64_t timeUs)
{
    if (!writer.writePacket(bytes, direction, timeUs, problem) && writeFailure.isEmpty())
        writeFailure = writer.errorString();
}
