#include "clioutput.h"

#include <QJsonDocument>

#include <cstdio>

#if defined(Q_OS_WIN)
#include <io.h>
#elif defined(Q_OS_UNIX)
#include <unistd.h>
#endif

namespace {
// Often enough to look alive, rarely enough to cost nothing against a 23 ms chunk.
constexpr qint64 kProgressRedrawMs = 100;
constexpr int kPercent = 100;
constexpr int kSecondsPerMinute = 60;
constexpr double kMsPerSecond = 1000.0;

// Only the system can tell a terminal from other character devices such as /dev/null.
bool stderrIsTerminal()
{
#if defined(Q_OS_WIN)
    return _isatty(_fileno(stderr)) != 0;
#elif defined(Q_OS_UNIX)
    return isatty(fileno(stderr)) != 0;
#else
    return false;
#endif
}
} // namespace

CliOutput::CliOutput(bool json, bool quiet)
    : json(json), quiet(quiet), progressShown(!quiet && stderrIsTerminal())
{
}

QString CliOutput::printable(QString text)
{
    for (QChar &c : text) {
        switch (c.category()) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            c = QLatin1Char(' ');
            break;
        default:
            break;
        }
    }
    return text;
}

void CliOutput::result(const QVector<QStringList> &rows, const QJsonObject &object)
{
    clearProgress();
    if (json) {
        writeLine(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
        return;
    }
    for (QStringList fields : rows) {
        for (QString &field : fields)
            field = printable(field);
        writeLine(stdout, fields.join(QLatin1Char('\t')));
    }
}

void CliOutput::event(const QJsonObject &object)
{
    if (json && !quiet)
        writeLine(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

void CliOutput::note(const QString &text)
{
    if (quiet)
        return;
    clearProgress();
    writeLine(stderr, printable(text));
}

void CliOutput::error(const QString &text)
{
    clearProgress();
    writeLine(stderr, printable(text));
}

void CliOutput::startProgress(const QString &label, qint64 total, const QString &unit)
{
    progressLabel = label;
    progressUnit = unit;
    progressTotal = total;
    progressClock.start();
    lastDrawMs = -1;
}

void CliOutput::progress(qint64 done)
{
    if (!progressShown || progressTotal <= 0)
        return;
    const qint64 nowMs = progressClock.elapsed();
    if (lastDrawMs >= 0 && nowMs - lastDrawMs < kProgressRedrawMs && done < progressTotal)
        return;
    lastDrawMs = nowMs;
    drawProgress(done);
}

void CliOutput::endProgress()
{
    clearProgress();
    progressTotal = 0;
}

void CliOutput::drawProgress(qint64 done)
{
    const double seconds = static_cast<double>(progressClock.elapsed()) / kMsPerSecond;
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    const qint64 leftSeconds =
        rate > 0 ? static_cast<qint64>(static_cast<double>(progressTotal - done) / rate) : 0;
    const QString line = CliText::tr("%1 %2% %3/%4 %5, %6 %5/s, %7:%8 left")
                             .arg(progressLabel)
                             .arg(done * kPercent / progressTotal, 3)
                             .arg(done)
                             .arg(progressTotal)
                             .arg(progressUnit)
                             .arg(rate, 0, 'f', 0)
                             .arg(leftSeconds / kSecondsPerMinute)
                             .arg(leftSeconds % kSecondsPerMinute, 2, 10, QLatin1Char('0'));
    const QString padding(qMax(0, drawnWidth - line.size()), QLatin1Char(' '));
    std::fprintf(stderr, "\r%s%s", qPrintable(line), qPrintable(padding));
    std::fflush(stderr);
    drawnWidth = line.size();
}

void CliOutput::clearProgress()
{
    if (drawnWidth == 0)
        return;
    std::fprintf(stderr, "\r%s\r", qPrintable(QString(drawnWidth, QLatin1Char(' '))));
    std::fflush(stderr);
    drawnWidth = 0;
    // Redraw at the next step rather than wait out the interval.
    lastDrawMs = -1;
}

void CliOutput::writeLine(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}
