#pragma once

#include <QList>
#include <QMetaObject>
#include <QObject>
#include <coroutine>
#include <utility>

// An awaitable that resumes the waiting coroutine on the first of several signals, directly in
// that emission. Unlike a queued resumption it cannot be lost when the sender goes away: watch
// QObject::destroyed as well. Lives in the coroutine frame; awaited once, as co_await w.fired().
class Wakeup {
public:
    Wakeup() = default;
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;
    ~Wakeup() { disconnectAll(); }

    template <typename Sender, typename Signal> void on(Sender* sender, Signal signal) {
        m_connections.append(QObject::connect(sender, signal, [this] { fire(); }));
    }

    struct Awaiter {
        Wakeup* wakeup;
        bool await_ready() const noexcept { return wakeup->m_fired; }
        void await_suspend(std::coroutine_handle<> handle) noexcept { wakeup->m_handle = handle; }
        void await_resume() const noexcept {}
    };
    Awaiter fired() { return Awaiter{this}; }

private:
    void fire() {
        disconnectAll();
        m_fired = true;
        // The resumed coroutine may end and free this object: touch nothing afterwards.
        if (auto handle = std::exchange(m_handle, {}))
            handle.resume();
    }
    void disconnectAll() {
        for (const QMetaObject::Connection& connection : std::as_const(m_connections))
            QObject::disconnect(connection);
        m_connections.clear();
    }

    QList<QMetaObject::Connection> m_connections;
    std::coroutine_handle<> m_handle;
    bool m_fired = false;
};
