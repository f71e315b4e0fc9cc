#include "serial_line.h"

serial_line::serial_line(QObject *parent) : line(parent), port(new QSerialPort(this))
{
}

serial_line::~serial_line()
{
    // The port goes before its lock, so that nobody is let in while it is still open.
    if (port->isOpen())
        close();
}

bool serial_line::open()
{
    const line_setup &s = setup();
    const QString location = location_of(s.name);
    locked_out.clear();
    // Before the port is opened: its open would already set the line of whoever has it.
    if (lock.take(location) == device_lock::result::held_elsewhere) {
        locked_out = QStringLiteral("%1 is in use: another process holds the device's lock").arg(location);
        return false;
    }
    port->setPortName(location);
    port->setBaudRate(s.baud_rate, QSerialPort::AllDirections);
    port->setDataBits(QSerialPort::Data8);
    port->setParity(s.parity);
    port->setStopBits(s.stop_bits);
    port->setFlowControl(QSerialPort::NoFlowControl);
    if (!port->open(QIODevice::ReadWrite)) {
        lock.release();
        return false;
    }
    latency_saved = {};
    notice = QString::fromLatin1(low_latency::describe(low_latency::enable(port->handle(), &latency_saved)));
    return true;
}

void serial_line::close()
{
    low_latency::restore(port->handle(), latency_saved);
    latency_saved = {};
    port->close();
    lock.release();
}

QString serial_line::errorString() const
{
    return locked_out.isEmpty() ? port->errorString() : locked_out;
}
