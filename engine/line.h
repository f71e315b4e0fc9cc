#pragma once
// The one way the worker reaches its device: a local serial port or a serial port on a
// server across the network. The methods are named and behave as Qt's serial port's do,
// so that a local port is that class and nothing more.
#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

#include <atomic>

// The line settings open() applies.
struct line_setup
{
    QString name;
    qint32 baud_rate = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::StopBits stop_bits = QSerialPort::OneStop;
};

class line : public QObject
{
public:
    explicit line(QObject *parent) : QObject(parent) {}

    // A serial port for a local name, a network line for rfc2217:// and socket://.
    static line *make(const QString &name, QObject *parent);

    void set_setup(const line_setup &s) { chosen = s; }
    const line_setup &setup() const { return chosen; }
    // A wait inside open() (a connect, a server's answers) ends early once this is set.
    void set_stop_flag(const std::atomic<bool> *flag) { stop = flag; }

    // Opens for reading and writing with setup(); the line's own input that is stale by
    // then is dropped.
    virtual bool open() = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // The system's handle of an open local port; -1 for any other line.
    virtual qint64 handle() const { return -1; }
    virtual QByteArray readAll() = 0;
    virtual qint64 write(const char *data, qint64 size) = 0;
    virtual bool waitForBytesWritten(int msecs) = 0;
    // True when data arrived within msecs (0: only what is already there).
    virtual bool waitForReadyRead(int msecs) = 0;

    // Why the last open failed, in English words naming the line.
    virtual QString errorString() const = 0;
    // Why an open line went away by itself (the server stopped, the network went down);
    // empty while it has not.
    virtual QString lost() const { return {}; }
    // What the open made of the line's latency, told once per update.
    virtual QString open_notice() const { return {}; }

protected:
    bool stop_asked() const { return stop && stop->load(std::memory_order_relaxed); }

private:
    line_setup chosen;
    const std::atomic<bool> *stop = nullptr;
};
