#ifndef LOCALSERIALLINK_H
#define LOCALSERIALLINK_H

#include "buslink.h"

#include <QSerialPort>

// A serial device of this machine: /dev/ttyUSB0, a /dev/serial/by-id/ link, a pseudo-terminal.
// 8 data bits, no parity, one stop bit, no flow control, DTR low.
class LocalSerialLink : public BusLink
{
    Q_OBJECT
public:
    explicit LocalSerialLink(const QString &portName);

    bool open(int baudRate) override;
    void close() override { port.close(); }
    void clear() override { port.clear(QSerialPort::AllDirections); }
    void discardInput() override { port.clear(QSerialPort::Input); }
    bool isOpen() const override { return port.isOpen(); }
    QString errorString() const override { return port.errorString(); }
    // A port refused by its permissions says which group to join.
    QStringList errorLines() const override;
    bool write(const QByteArray &frame) override { return port.write(frame) == frame.size(); }
    bool flush() override { return port.flush(); }
    QByteArray readAll() override { return port.readAll(); }
    qint64 bytesAvailable() const override { return port.bytesAvailable(); }
    bool waitForReadyRead(int msecs) override { return port.waitForReadyRead(msecs); }

private:
    void noteError(QSerialPort::SerialPortError error);

    QSerialPort port; // a child, so that a test may find it
};

#endif // LOCALSERIALLINK_H
