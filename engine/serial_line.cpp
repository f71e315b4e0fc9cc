#include "serial_line.h"

serial_line::serial_line(QObject *parent) : line(parent), port(new QSerialPort(this))
{
}

serial_line::~serial_line()
{
    if (port->isOpen())
        low_latency::restore(port->handle(), latency_saved);
}

bool serial_line::open()
{
    const line_setup &s = setup();
    port->setPortName(location_of(s.name));
    port->setBaudRate(s.baud_rate, QSerialPort::AllDirections);
    port->setDataBits(QSerialPort::Data8);
    port->setParity(s.parity);
    port->setStopBits(s.stop_bits);
    port->setFlowControl(QSerialPort::NoFlowControl);
    if (!port->open(QIODevice::ReadWrite))
        return false;
    latency_saved = {};
    notice = QString::fromLatin1(low_latency::describe(low_latency::enable(port->handle(), &latency_saved)));
    return true;
}

void serial_line::close()
{
    low_latency::restore(port->handle(), latency_saved);
    latency_saved = {};
    port->close();
}
