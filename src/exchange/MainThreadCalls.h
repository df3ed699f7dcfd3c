#pragma once

#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class QThread;

namespace qst {

// Runs an exchange thread's callbacks on the main thread while the exchange thread waits.
// The main thread serves them from its event loop and, while it waits for a thread to
// end, from that wait itself, so a stopping thread caught in a callback cannot deadlock.
class MainThreadCalls : public QObject
{
    Q_OBJECT

public:
    explicit MainThreadCalls(QObject *parent = nullptr);

    // From any thread: runs `call` on the main thread and returns when it has run. On the
    // main thread itself the call runs at once.
    void Call(const std::function<void()> &call);

    // Main thread: runs every pending call.
    void RunPending();

    // Main thread: waits until `thread` has ended, serving its calls meanwhile.
    void WaitFor(QThread *thread);

private:
    struct Pending
    {
        std::function<void()> call;
        bool done = false;
    };

    std::mutex m_mutex;
    std::condition_variable m_done;
    std::deque<Pending *> m_pending;
};

} // namespace qst
