#include "localseriallink.h"

LocalSerialLink::LocalSerialLink(const QString &portName) : BusLink(portName)
{
    port.setPortName(portName);
    connect(&port, &QSerialPort::readyRead, this, &BusLink::readyRead);
    connect(&port, &QSerialPort::errorOccurred, this, &BusLink::errorOccurred);
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
