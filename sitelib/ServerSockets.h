#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <vector>

#include "ServerWatch.h"

// The TCP sockets of a server connection as the kernel shows them: which ones an opening
// connection made, how long a request on them has waited, and a probe asking their server for a
// sign of life.
namespace dormex::sitelib {

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

// `sockets` as a ServerWatch sees them: the longest wait of a request on any that is still open,
// the probe (serverAnswers for kServerProbeSeconds) and the cut, which shuts them all down.
ServerWatch::Connection watchedSockets(std::vector<TcpSocket> sockets, bool postgres);

}  // namespace dormex::sitelib
