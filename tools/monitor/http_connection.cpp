#include "tools/monitor/http_connection.h"

#include <QHostAddress>
#include <QSysInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

thread_local bool t_refusing = false;

// Numeric address and port of a socket's own (local) or its peer's end.
void addressOf(int sock, bool local, std::string &ip, int &port)
{
    sockaddr_storage at = {};
    socklen_t len = sizeof at;
    char host[NI_MAXHOST] = "", service[NI_MAXSERV] = "";
    const int got = local ? ::getsockname(sock, reinterpret_cast<sockaddr *>(&at), &len)
                          : ::getpeername(sock, reinterpret_cast<sockaddr *>(&at), &len);
    if (got != 0 || ::getnameinfo(reinterpret_cast<sockaddr *>(&at), len, host, sizeof host, service,
                                  sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return;
    ip = host;
    port = std::atoi(service);
}

} // namespace

void HostCheck::listenOn(const QString &host, quint16 boundPort)
{
    const QHostAddress address(host);
    port = boundPort;
    localhost = address.isLoopback() || address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6;
    if (!address.isLoopback())
        machine = QSysInfo::machineHostName().toLower();
}

bool HostCheck::allows(const std::string &header) const
{
    if (header.empty())
        return true;
    const QString text = QString::fromStdString(header).trimmed().toLower();
    QString name = text, portText;
    if (text.startsWith(QLatin1Char('['))) { // [::1]:8080
        const int close = text.indexOf(QLatin1Char(']'));
        if (close < 0 || (close + 1 < text.size() && text.at(close + 1) != QLatin1Char(':')))
            return false;
        name = text.mid(1, close - 1);
        portText = text.mid(close + 2);
    } else if (text.count(QLatin1Char(':')) == 1) {
        name = text.section(QLatin1Char(':'), 0, 0);
        portText = text.section(QLatin1Char(':'), 1);
    }
    bool ok = true;
    if (!portText.isEmpty() && portText.toUInt(&ok) != port)
        return false;
    return ok && (QHostAddress().setAddress(name) || (localhost && name == QLatin1String("localhost"))
                  || (!machine.isEmpty() && name == machine));
}

RequestStream::RequestStream(int socket, int stop, const Limits &l)
    : sock(socket), stopFd(stop), limits(l), start(Clock::now())
{
}

RequestStream::Clock::time_point RequestStream::readDeadline() const
{
    return start + (anyReceived ? limits.request : std::min(limits.firstByte, limits.request));
}

bool RequestStream::wait(short events, Clock::time_point deadline) const
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd fds[2] = {{sock, short(events | POLLRDHUP), 0}, {stopFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, int(std::min<long long>(left, 60000)));
        if (n < 0 && errno != EINTR)
            return false;
        if (n <= 0)
            continue;
        if (fds[1].revents != 0 || (fds[0].revents & (POLLERR | POLLNVAL)) != 0)
            return false;
        // A client that has gone: reading then sees the end, writing is pointless.
        if ((fds[0].revents & (POLLRDHUP | POLLHUP)) != 0)
            return events == POLLIN;
        if ((fds[0].revents & events) != 0)
            return true;
    }
}

bool RequestStream::is_readable() const { return begin < end || wait(POLLIN, readDeadline()); }

bool RequestStream::is_writable() const { return wait(POLLOUT, Clock::now() + limits.write); }

ssize_t RequestStream::read(char *ptr, size_t size)
{
    if (begin == end) {
        const Clock::time_point deadline = readDeadline();
        if (!wait(POLLIN, deadline)) {
            readTimedOut = Clock::now() >= deadline;
            return -1;
        }
        const ssize_t n = ::recv(sock, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0)
            return n == 0 ? 0 : -1;
        begin = 0;
        end = size_t(n);
        anyReceived = true;
    }
    const size_t n = std::min(size, end - begin);
    std::memcpy(ptr, buffer + begin, n);
    begin += n;
    return ssize_t(n);
}

ssize_t RequestStream::write(const char *ptr, size_t size)
{
    if (!is_writable())
        return -1;
    // Never blocks: a client that takes only part is waited for in is_writable.
    const ssize_t n = ::send(sock, ptr, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    return n >= 0 ? n : errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

void RequestStream::get_remote_ip_and_port(std::string &ip, int &port) const { addressOf(sock, false, ip, port); }

void RequestStream::get_local_ip_and_port(std::string &ip, int &port) const { addressOf(sock, true, ip, port); }

ConnectionPool::ConnectionPool(size_t threads, size_t most) : mostWaiting(most)
{
    for (size_t i = 0; i < threads; ++i)
        workers.emplace_back([this] { work(); });
}

ConnectionPool::~ConnectionPool() { shutdown(); }

void ConnectionPool::enqueue(std::function<void()> fn)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!stopping && waiting.size() < mostWaiting) {
            waiting.push_back(std::move(fn));
            ready.notify_one();
            return;
        }
    }
    t_refusing = true;
    fn();
    t_refusing = false;
}

void ConnectionPool::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    ready.notify_all();
    for (std::thread &t : workers)
        t.join();
    workers.clear();
}

bool ConnectionPool::refusing() { return t_refusing; }

void ConnectionPool::work()
{
    for (;;) {
        std::function<void()> fn;
        {
            std::unique_lock<std::mutex> lock(mutex);
            ready.wait(lock, [this] { return stopping || !waiting.empty(); });
            if (waiting.empty())
                return;
            fn = std::move(waiting.front());
            waiting.pop_front();
        }
        fn();
    }
}
