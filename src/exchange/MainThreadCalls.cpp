#include "MainThreadCalls.h"

#include <QThread>

namespace qst {

MainThreadCalls::MainThreadCalls(QObject *parent)
    : QObject(parent)
{
}

void MainThreadCalls::Call(const std::function<void()> &call)
{
    if (QThread::currentThread() == thread()) {
        call();
        return;
    }
    Pending pending{call};
    std::unique_lock lock(m_mutex);
    m_pending.push_back(&pending);
    QMetaObject::invokeMethod(this, &MainThreadCalls::RunPending, Qt::QueuedConnection);
    m_done.wait(lock, [&] { return pending.done; });
}

void MainThreadCalls::RunPending()
{
    for (;;) {
        Pending *next = nullptr;
        {
            std::lock_guard lock(m_mutex);
            if (m_pending.empty())
                return;
            next = m_pending.front();
            m_pending.pop_front();
        }
        try {
            next->call();
        } catch (...) {
            // A failing callback must still release the thread that waits for it.
        }
        {
            std::lock_guard lock(m_mutex);
            next->done = true;
        }
        m_done.notify_all();
    }
}

void MainThreadCalls::WaitFor(QThread *worker)
{
    while (!worker->wait(5))
        RunPending();
    RunPending();
}

} // namespace qst
