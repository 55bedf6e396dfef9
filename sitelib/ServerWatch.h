#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// The watch on a server connection that ends a wait for a server that stopped answering, and the
// connection's TCP sockets as the kernel shows them.
namespace dormex::sitelib {

// A server connection whose request has had no answer for this long is asked for a sign of life
// on a new connection; one that gives none within kServerProbeSeconds more is cut, so the
// waiting statement fails instead of waiting forever.
inline constexpr int kServerSilenceSeconds = 15;
inline constexpr int kServerProbeSeconds = 10;

// Watches one server connection. Once a second it asks how long the connection's oldest request
// has gone unanswered; from kServerSilenceSeconds on it probes the server for a sign of life. A
// server that answers is busy, not gone: it is probed again kServerSilenceSeconds later at the
// earliest, and a long statement is never cut. One that does not answer has its connection cut,
// so the waiting statement fails at once. The watch holds no lock while it probes.
class ServerWatch {
public:
    using Clock = std::chrono::steady_clock;

    // What the watch looks at and does; called on the watch's thread only.
    struct Connection {
        // Milliseconds the oldest request has waited for an answer (0 while none waits); nothing
        // once the connection has gone, which ends the watch.
        std::function<std::optional<unsigned>()> unansweredMs;
        // True when the server gives a sign of life within kServerProbeSeconds, or once
        // `stopping` is set meanwhile (then nothing is to be cut).
        std::function<bool(const std::atomic<bool>& stopping)> probe;
        // Shuts the connection down, so the statement waiting on it fails.
        std::function<void()> cut;
    };

    // Watches `connection` by the clock `now`. No thread runs before start().
    explicit ServerWatch(Connection connection,
                         std::function<Clock::time_point()> now = Clock::now);
    // Stops the thread (and a probe under way) and waits for it.
    ~ServerWatch();
    ServerWatch(const ServerWatch&) = delete;
    ServerWatch& operator=(const ServerWatch&) = delete;

    // Calls look() once a second on a thread of its own until it returns false. Throws
    // std::system_error when no thread can be started, leaving the watch idle.
    void start();
    // One look at the connection, probing and cutting as above. False once the watch is over:
    // the connection gone or cut, or the watch stopping.
    bool look();
    // True once the watch has cut the connection.
    bool tripped() const { return m_tripped; }

private:
    Connection m_connection;
    std::function<Clock::time_point()> m_now;
    Clock::time_point m_nextProbe{};
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_tripped{false};
    std::mutex m_mutex;  // for the wake-up only
    std::condition_variable m_wake;
    std::thread m_thread;
};

// ---------------------------------------------------------------------------------------------
// The sockets.

// TCP keep-alives on a server connection: the first probe after 10 s without traffic, then every
// 5 s, and the connection is given up after 4 unanswered probes (30 s). Data the server has not
// acknowledged for 30 s ends the connection too.
inline constexpr int kKeepaliveIdleSeconds = 10;
inline constexpr int kKeepaliveIntervalSeconds = 5;
inline constexpr int kKeepaliveCount = 4;
inline constexpr int kTcpUserTimeoutMs = 30000;

// One TCP socket of a connection, known by its descriptor and its local address (the descriptor
// number alone may be reused once the driver closes the socket).
struct TcpSocket {
    int fd = -1;
    sockaddr_storage local{};
    socklen_t localLength = 0;
    sockaddr_storage peer{};
    socklen_t peerLength = 0;
};

// Runs `open` and gives the TCP sockets that appeared meanwhile: the ones the opened connection
// uses. Openings take turns; the probes' own sockets never count, and no probe waits for an
// opening.
std::vector<TcpSocket> socketsOpenedBy(const std::function<void()>& open);

// Turns on the keep-alives and the user timeout above; for drivers that set none of their own.
void keepAlive(const TcpSocket& socket);

// True when something at the socket's peer address accepts a new connection within `timeout`
// and, for PostgreSQL, answers an SSL request (which needs no login) with its one byte. Also
// true when no probe socket can be made, or once `stopping` is set.
bool serverAnswers(const TcpSocket& socket, bool postgres, std::chrono::milliseconds timeout,
                   const std::atomic<bool>& stopping);

// `sockets` as the watch sees them: the longest wait of a request on any that is still open,
// the probe (serverAnswers for kServerProbeSeconds) and the cut, which shuts them all down.
ServerWatch::Connection watchedSockets(std::vector<TcpSocket> sockets, bool postgres);

}  // namespace dormex::sitelib
