#pragma once

#include "exchange/PollQueue.h"

#include <QThread>

#include <atomic>
#include <memory>

namespace qst {

class MeterHealth;

class ExchangeEngine;
class SerialPort;

// Serves the queued requests of one serial port: opens it, connects through the modem
// where a meter needs one, checks the calculator, reads what each request asks for and
// stores it, and logs every step. Never throws; no device fault ends it.
class TExchangeThread : public QThread
{
public:
    TExchangeThread(int port, ExchangeEngine &engine);
    ~TExchangeThread() override;

    int port() const { return m_port; }
    void RequestStop() { m_stop = true; }
    bool StopRequested() const { return m_stop; }
    bool PortOpen() const { return m_portOpen; }

protected:
    void run() override;

private:
    void Log(const QString &text);
    void ReportDone(const TQueueItem &request);
    void Serve(TQueueItem &request);
    void ServeLocked(TQueueItem &request);
    void ReadCurrent(const TQueueItem &request);
    void ReadArchive(const TQueueItem &request);
    void ReadJournal(const TQueueItem &request);
    void HangUp();
    MeterHealth &Health();
    double NowDays() const;
    bool SleepUnlessStopped(int ms);

    const int m_port;
    ExchangeEngine &m_engine;
    std::unique_ptr<SerialPort> m_serial;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_portOpen{false};
    bool m_connected = false;
    QString m_phone;
    quint32 m_lastModemActivity = 0;
    int m_address = 0;
    bool m_snapshotFlag = false;
};

} // namespace qst
