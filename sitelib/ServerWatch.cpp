#include "ServerWatch.h"

#include <utility>

namespace dormex::sitelib {

ServerWatch::ServerWatch(Connection connection, std::function<Clock::time_point()> now)
    : m_connection(std::move(connection)), m_now(std::move(now)) {}

ServerWatch::~ServerWatch() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

void ServerWatch::start() {
    m_thread = std::thread([this] {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (
            !m_wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_stopping.load(); })) {
            lock.unlock();
            const bool more = look();
            lock.lock();
            if (!more) return;
        }
    });
}

bool ServerWatch::look() {
    const std::optional<unsigned> quietMs = m_connection.unansweredMs();
    if (!quietMs) return false;
    if (*quietMs < kServerSilenceSeconds * 1000u || m_now() < m_nextProbe) return true;
    const bool answered = m_connection.probe(m_stopping);
    if (m_stopping) return false;
    if (answered) {
        m_nextProbe = m_now() + std::chrono::seconds(kServerSilenceSeconds);
        return true;
    }
    m_tripped = true;
    m_connection.cut();
    return false;
}

}  // namespace dormex::sitelib
