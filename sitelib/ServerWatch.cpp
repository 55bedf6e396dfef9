#include "ServerWatch.h"

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
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

// ---------------------------------------------------------------------------------------------
// The sockets.

namespace {

using Clock = ServerWatch::Clock;

// The probes' own sockets. Each is made and entered, and removed and closed, under the mutex,
// so a look at the process's sockets under it never takes one for a connection's.
struct ProbeSockets {
    std::mutex mutex;
    std::set<int> fds;
};

ProbeSockets& probeSockets() {
    static ProbeSockets sockets;
    return sockets;
}

// The descriptor as a connected TCP socket; nothing when it is anything else.
std::optional<TcpSocket> connectedTcp(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return std::nullopt;
    int domain = 0;
    int type = 0;
    socklen_t length = sizeof domain;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 ||
        (domain != AF_INET && domain != AF_INET6))
        return std::nullopt;
    length = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
        return std::nullopt;
    TcpSocket socket;
    socket.fd = fd;
    socket.localLength = sizeof socket.local;
    socket.peerLength = sizeof socket.peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&socket.local), &socket.localLength) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&socket.peer), &socket.peerLength) != 0)
        return std::nullopt;
    return socket;
}

// Every connected TCP socket of this process but the probes', by descriptor.
std::map<int, TcpSocket> connectionSockets() {
    ProbeSockets& probes = probeSockets();
    std::lock_guard<std::mutex> lock(probes.mutex);
    std::map<int, TcpSocket> sockets;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return sockets;
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == own ||
            probes.fds.count(static_cast<int>(fd)))
            continue;
        if (auto socket = connectedTcp(static_cast<int>(fd))) sockets[socket->fd] = *socket;
    }
    ::closedir(dir);
    return sockets;
}

bool sameLocalAddress(const TcpSocket& a, const TcpSocket& b) {
    return a.localLength == b.localLength && std::memcmp(&a.local, &b.local, a.localLength) == 0;
}

// True while the descriptor is still the socket it was when found.
bool stillTheSame(const TcpSocket& socket) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    return ::getsockname(socket.fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
           length == socket.localLength && std::memcmp(&local, &socket.local, length) == 0;
}

// Milliseconds since data last went out on the socket when nothing has come back since; 0 when
// the last data came in later (no request is waiting) or the socket cannot tell. The times count
// in clock ticks: a request sent in the tick its predecessor's answer came in counts as waiting,
// and so does an idle connection whose last exchange fitted into one tick (its probe finds the
// server answering).
unsigned unansweredMs(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        info.tcpi_state != TCP_ESTABLISHED)
        return 0;
    return info.tcpi_last_data_sent <= info.tcpi_last_data_recv ? info.tcpi_last_data_sent : 0;
}

// Waits until `fd` reports `events`; false when the deadline passes or `stopping` is set first.
bool await(int fd, short events, Clock::time_point deadline, const std::atomic<bool>& stopping) {
    while (!stopping && Clock::now() < deadline) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, 100);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
    return false;
}

}  // namespace

std::vector<TcpSocket> socketsOpenedBy(const std::function<void()>& open) {
    static std::mutex opening;
    std::lock_guard<std::mutex> turn(opening);
    const std::map<int, TcpSocket> before = connectionSockets();
    open();
    std::vector<TcpSocket> opened;
    for (const auto& [fd, socket] : connectionSockets()) {
        const auto old = before.find(fd);
        if (old == before.end() || !sameLocalAddress(old->second, socket)) opened.push_back(socket);
    }
    return opened;
}

void keepAlive(const TcpSocket& socket) {
    const int on = 1;
    const int idle = kKeepaliveIdleSeconds;
    const int interval = kKeepaliveIntervalSeconds;
    const int count = kKeepaliveCount;
    const unsigned userTimeout = kTcpUserTimeoutMs;
    ::setsockopt(socket.fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(socket.fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(socket.fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(socket.fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(socket.fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
}

bool serverAnswers(const TcpSocket& socket, bool postgres, std::chrono::milliseconds timeout,
                   const std::atomic<bool>& stopping) {
    const Clock::time_point deadline = Clock::now() + timeout;
    ProbeSockets& probes = probeSockets();
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(probes.mutex);
        fd = ::socket(socket.peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return true;
        probes.fds.insert(fd);
    }
    bool answered = false;
    if ((::connect(fd, reinterpret_cast<const sockaddr*>(&socket.peer), socket.peerLength) == 0 ||
         errno == EINPROGRESS) &&
        await(fd, POLLOUT, deadline, stopping)) {
        int error = 0;
        socklen_t length = sizeof error;
        const bool connected =
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        if (connected && !postgres) answered = true;
        // PostgreSQL's SSLRequest: length 8, code 80877103; the server answers one byte.
        static const unsigned char kSslRequest[8] = {0, 0, 0, 8, 0x04, 0xD2, 0x16, 0x2F};
        if (connected && postgres &&
            ::send(fd, kSslRequest, sizeof kSslRequest, MSG_NOSIGNAL) ==
                static_cast<ssize_t>(sizeof kSslRequest) &&
            await(fd, POLLIN, deadline, stopping)) {
            char byte = 0;
            answered = ::recv(fd, &byte, 1, 0) == 1;
        }
    }
    std::lock_guard<std::mutex> lock(probes.mutex);
    probes.fds.erase(fd);
    ::close(fd);
    return answered || stopping;
}

ServerWatch::Connection watchedSockets(std::vector<TcpSocket> sockets, bool postgres) {
    auto live = std::make_shared<std::vector<TcpSocket>>(std::move(sockets));
    ServerWatch::Connection connection;
    connection.unansweredMs = [live]() -> std::optional<unsigned> {
        std::vector<TcpSocket> still;
        unsigned quietMs = 0;
        for (const TcpSocket& socket : *live) {
            if (!stillTheSame(socket)) continue;
            still.push_back(socket);
            quietMs = std::max(quietMs, unansweredMs(socket.fd));
        }
        *live = std::move(still);
        if (live->empty()) return std::nullopt;
        return quietMs;
    };
    connection.probe = [live, postgres](const std::atomic<bool>& stopping) {
        return serverAnswers(live->front(), postgres, std::chrono::seconds(kServerProbeSeconds),
                             stopping);
    };
    connection.cut = [live] {
        for (const TcpSocket& socket : *live) {
            if (stillTheSame(socket)) ::shutdown(socket.fd, SHUT_RDWR);
        }
    };
    return connection;
}

}  // namespace dormex::sitelib
