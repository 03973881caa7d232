#include "localseriallink.h"

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
