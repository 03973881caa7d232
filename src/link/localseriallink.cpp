#include "localseriallink.h"

#include <QFileInfo>

LocalSerialLink::LocalSerialLink(const QString &portName) : BusLink(portName), port(this)
{
    port.setPortName(portName);
    connect(&port, &QSerialPort::readyRead, this, &BusLink::readyRead);
    connect(&port, &QSerialPort::errorOccurred, this, &LocalSerialLink::noteError);
}

bool LocalSerialLink::open(int baudRate)
{
    port.setBaudRate(baudRate);
    if (!port.open(QIODevice::ReadWrite))
        return false;
    // Fails harmlessly on adapters and pseudo-terminals without modem lines.
    port.setDataTerminalReady(false);
    return true;
}

QStringList LocalSerialLink::errorLines() const
{
    // Qt says the same of a port that another program holds.
    const QFileInfo device(portName());
    if (port.error() != QSerialPort::PermissionError ||
        (device.isReadable() && device.isWritable()))
        return {errorString()};
    const QString group = device.group();
    return {
        tr("%1: join the group %2 that owns %3 (sudo usermod -aG %2 $USER), then log in "
           "again")
            .arg(errorString(), group.isEmpty() ? QStringLiteral("dialout") : group, portName())};
}

void LocalSerialLink::noteError(QSerialPort::SerialPortError error)
{
    // A hung-up tty reads zero bytes, which Qt reports as either; DTR refused, a wait that timed
    // out and an open that fails (which says so by its result) are no failure of the link.
    switch (error) {
    case QSerialPort::ReadError:
        emit failed(Failure::ReadFailed, tr("cannot read from the port (%1)").arg(errorString()));
        break;
    case QSerialPort::ResourceError:
        emit failed(Failure::ReadFailed, tr("the port's device is gone (%1)").arg(errorString()));
        break;
    case QSerialPort::WriteError:
        emit failed(Failure::WriteFailed, tr("cannot write to the port (%1)").arg(errorString()));
        break;
    default:
        break;
    }
}
