#pragma once

#include <memory>

// One start's ticket, shared by every task the start runs. Cancelling it (a stop, a failure, the
// core's death, a new start, the owner going away) tells those tasks to publish nothing more;
// they check it after every suspension. Copies share one flag, so a task may hold its ticket
// beyond the life of the object that issued it.
class CancellationTicket {
public:
    CancellationTicket() : m_cancelled(std::make_shared<bool>(false)) {}
    void cancel() const { *m_cancelled = true; }
    [[nodiscard]] bool isCancelled() const { return *m_cancelled; }

private:
    std::shared_ptr<bool> m_cancelled;
};
