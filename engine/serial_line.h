#pragma once
// A local serial port, through Qt's serial port class, with the driver's low-latency mode
// asked for on every open and given back on every close, and the device's own lock held
// while it is open.
#include "device_lock.h"
#include "line.h"
#include "low_latency.h"

class serial_line : public line
{
public:
    explicit serial_line(QObject *parent);
    ~serial_line() override;

    bool open() override;
    void close() override;
    bool isOpen() const override { return port->isOpen(); }
    qint64 handle() const override { return qint64(port->handle()); }
    QByteArray readAll() override { return port->readAll(); }
    qint64 write(const char *data, qint64 size) override { return port->write(data, size); }
    bool waitForBytesWritten(int msecs) override { return port->waitForBytesWritten(msecs); }
    bool waitForReadyRead(int msecs) override { return port->waitForReadyRead(msecs); }
    QString errorString() const override;
    QString open_notice() const override { return notice; }

    // Where the serial port class is to look for a port name: a bare name ("ttyUSB0") is a
    // device of the system's, a name with a slash a path, from the working directory unless
    // it starts with one (Qt itself looks for "rl/a1" under /dev).
    static QString location_of(const QString &name);

private:
    QSerialPort *port;
    device_lock lock;
    QString locked_out; // why the open was refused before the port was touched
    low_latency::saved latency_saved;
    QString notice;
};
