#include "simtrace.h"

#include <QMutexLocker>
#include <QStringList>

namespace {
constexpr int kTimeFieldWidth = 11;
constexpr int kMicrosecondsPerMillisecond = 1000;
} // namespace

int SimTraceEntry::command() const
{
    const int index = isRequest() ? 0 : 1;
    return payload.size() > index ? static_cast<uint8_t>(payload.at(index)) : -1;
}

QString SimTraceEntry::toLine() const
{
    const QString time =
        QString::number(static_cast<double>(timeUs) / kMicrosecondsPerMillisecond, 'f', 3);
    QString line = QStringLiteral("%1 %2 %3 %4")
                       .arg(time, kTimeFieldWidth)
                       .arg(isRequest() ? QStringLiteral("REQ") : QStringLiteral("ANS"))
                       .arg(QStringLiteral("%1").arg(address, 2, 16, QLatin1Char('0')).toUpper())
                       .arg(QString::fromLatin1(payload.toHex(' ').toUpper()));
    QStringList remarks;
    if (!crcOk)
        remarks << QStringLiteral("bad CRC");
    if (!note.isEmpty())
        remarks << note;
    if (!remarks.isEmpty())
        line += QStringLiteral("  # ") + remarks.join(QStringLiteral("; "));
    return line;
}

void SimTrace::append(const SimTraceEntry &entry)
{
    QMutexLocker lock(&mutex);
    list.append(entry);
    if (file.isOpen()) {
        file.write(entry.toLine().toUtf8());
        file.write("\n");
        file.flush();
    }
}

QVector<SimTraceEntry> SimTrace::entries() const
{
    QMutexLocker lock(&mutex);
    return list;
}

void SimTrace::clear()
{
    QMutexLocker lock(&mutex);
    list.clear();
}

bool SimTrace::setFile(const QString &path, QString *error)
{
    QMutexLocker lock(&mutex);
    file.close();
    if (path.isEmpty())
        return true;
    file.setFileName(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return true;
    if (error)
        *error = file.errorString();
    return false;
}
