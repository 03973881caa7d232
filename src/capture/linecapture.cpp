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
    : inbound([this](const QByteArray &bytes, const QString &problem) {
          write(PcapngWriter::Direction::Inbound, bytes, problem);
      }),
      outbound([this](const QByteArray &bytes, const QString &problem) {
          write(PcapngWriter::Direction::Outbound, bytes, problem);
      })
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
        framer.feed(data, len, clock.elapsed());
}

void LineCapture::write(PcapngWriter::Direction direction, const QByteArray &bytes,
                        const QString &problem)
{
    if (!writer.writePacket(bytes, direction, wallClockUs(), problem) && writeFailure.isEmpty())
        writeFailure = writer.errorString();
}
