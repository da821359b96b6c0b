#include "common/http_server.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = HttpServer::Clock;

// After its answer a connection is read (and what it sent dropped) for this
// long: closing a socket with unread bytes resets it, and the reset can take
// the answer away from the client before it has read it.
constexpr std::chrono::milliseconds kLinger{1000};
// How long accepting rests when the process is out of file descriptors.
constexpr std::chrono::milliseconds kAcceptPause{100};
// Lines about refused requests: at most this many per period, then a count.
constexpr int kLogBurst = 5;
constexpr auto kLogPeriod = std::chrono::seconds(10);

const char *reasonOf(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 414: return "URI Too Long";
    case 421: return "Misdirected Request";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
    }
}

// Status line and headers; the body follows unless it is a stream.
std::string headText(const HttpServer::Response &r, size_t bodySize, bool stream)
{
    std::string text = "HTTP/1.1 " + std::to_string(r.status) + ' ' + reasonOf(r.status) + "\r\nContent-Type: "
                       + r.contentType + "\r\n";
    for (const auto &h : r.headers)
        text += h.first + ": " + h.second + "\r\n";
    if (!stream)
        text += "Content-Length: " + std::to_string(bodySize) + "\r\n";
    return text + "Connection: close\r\n\r\n";
}

std::string peerOf(int fd)
{
    sockaddr_storage at = {};
    socklen_t len = sizeof at;
    char host[NI_MAXHOST] = "";
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&at), &len) != 0
        || ::getnameinfo(reinterpret_cast<sockaddr *>(&at), len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
        return "-";
    return host;
}

// Drops what a client sent and not yet read, without waiting, so that closing
// sends the end of the stream rather than a reset.
void dropUnread(int fd)
{
    char sink[4096];
    for (int i = 0; i < 16 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
    }
}

struct Connection {
    enum State { Reading, Writing, Lingering };
    int fd = -1;
    State state = Reading;
    Clock::time_point accepted;
    Clock::time_point deadline; // of the present state
    std::string remote;
    std::string in;       // the head so far
    std::string out;      // the answer
    size_t sent = 0;
};

struct StreamJob {
    int fd;
    std::string head;
    std::function<bool(std::string *)> next;
};

} // namespace

struct HttpServer::Private {
    void loop();
    void accepted(int fd);
    bool readFrom(Connection &c);
    void answer(Connection &c, int status, const HttpRequestHead &head);
    bool writeTo(Connection &c);
    bool linger(Connection &c);
    void expire(Connection &c);
    void refuseAtOnce(int fd, const std::string &remote, int status);
    void streamWorker();
    bool writeAll(int fd, const std::string &text) const;
    void logRefusal(int status, const std::string &method, const std::string &target, const std::string &remote);
    void logUnlogged();

    Handler handler;
    Log log;
    int listenFd = -1;
    int stopFd = -1;
    quint16 boundPort = 0;
    std::thread reader;
    std::vector<Connection> connections;
    Clock::time_point acceptPausedUntil;

    int mostStreams = 0;
    std::vector<std::thread> streamThreads;
    std::mutex streamMutex;
    std::condition_variable streamReady;
    std::deque<StreamJob> streamJobs;
    int streamsOpen = 0; // queued or running
    bool stopping = false;

    std::mutex logMutex;
    Clock::time_point logPeriodStart;
    int loggedInPeriod = 0;
    int unloggedInPeriod = 0;
};

HttpServer::HttpServer() : d(new Private) {}

HttpServer::~HttpServer() { stop(); }

quint16 HttpServer::port() const { return d->boundPort; }

bool HttpServer::listen(const QString &host, quint16 port, QString *error)
{
    Private *p = d.get();
    *error = QStringLiteral("cannot listen for http on %1:%2").arg(host).arg(port);
    addrinfo hints = {};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(host.toStdString().c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return false;
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    // A restart binds while connections of the last run linger in TIME_WAIT.
    const bool bound = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0
                       && ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0;
    ::freeaddrinfo(found);
    sockaddr_storage at = {};
    socklen_t len = sizeof at;
    if (!bound || ::getsockname(fd, reinterpret_cast<sockaddr *>(&at), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    p->boundPort = ntohs(at.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&at)->sin6_port
                                                   : reinterpret_cast<sockaddr_in *>(&at)->sin_port);
    p->listenFd = fd;
    error->clear();
    return true;
}

void HttpServer::serve(int streams, Handler handler, Log log)
{
    Private *p = d.get();
    p->stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    p->handler = std::move(handler);
    p->log = std::move(log);
    p->mostStreams = streams;
    p->stopping = false;
    for (int i = 0; i < streams; ++i)
        p->streamThreads.emplace_back([p] { p->streamWorker(); });
    p->reader = std::thread([p] { p->loop(); });
}

void HttpServer::stop()
{
    if (!d->reader.joinable()) {
        if (d->listenFd >= 0)
            ::close(d->listenFd);
        d->listenFd = -1;
        return;
    }
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t n = ::write(d->stopFd, &one, sizeof one);
    d->reader.join();
    {
        std::lock_guard<std::mutex> lock(d->streamMutex);
        d->stopping = true;
    }
    d->streamReady.notify_all();
    for (std::thread &t : d->streamThreads)
        t.join();
    d->streamThreads.clear();
    for (const StreamJob &job : d->streamJobs)
        ::close(job.fd);
    d->streamJobs.clear();
    ::close(d->listenFd);
    ::close(d->stopFd);
    d->listenFd = d->stopFd = -1;
    std::lock_guard<std::mutex> lock(d->logMutex);
    d->logUnlogged();
}

void HttpServer::Private::loop()
{
    std::vector<pollfd> fds;
    for (;;) {
        const Clock::time_point now = Clock::now();
        for (Connection &c : connections) {
            if (c.fd >= 0 && now >= c.deadline)
                expire(c);
        }
        connections.erase(std::remove_if(connections.begin(), connections.end(),
                                         [](const Connection &c) { return c.fd < 0; }),
                          connections.end());
        Clock::time_point next = now + std::chrono::seconds(60);
        const bool acceptPaused = now < acceptPausedUntil;
        if (acceptPaused)
            next = acceptPausedUntil;
        fds.assign({{stopFd, POLLIN, 0}, {listenFd, short(acceptPaused ? 0 : POLLIN), 0}});
        for (const Connection &c : connections) {
            fds.push_back({c.fd, short(c.state == Connection::Writing ? POLLOUT : POLLIN), 0});
            next = std::min(next, c.deadline);
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
        if (::poll(fds.data(), fds.size(), int(std::max<long long>(wait, 0))) < 0 && errno != EINTR)
            break;
        if (fds[0].revents != 0)
            break;
        // The connections polled are the first ones; accepting appends.
        for (size_t i = 2; i < fds.size(); ++i) {
            Connection &c = connections[i - 2];
            if (fds[i].revents == 0)
                continue;
            const bool open = c.state == Connection::Reading   ? readFrom(c)
                              : c.state == Connection::Writing ? writeTo(c)
                                                               : linger(c);
            if (!open && c.fd >= 0) {
                ::close(c.fd);
                c.fd = -1;
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            for (;;) {
                const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd >= 0) {
                    accepted(fd);
                } else if (errno != ECONNABORTED && errno != EINTR) {
                    // Out of descriptors or memory: the listener stays readable,
                    // so it is left out of the poll for a while (no busy loop).
                    if (errno != EAGAIN && errno != EWOULDBLOCK)
                        acceptPausedUntil = Clock::now() + kAcceptPause;
                    break;
                }
            }
        }
    }
    for (const Connection &c : connections) {
        if (c.fd >= 0)
            ::close(c.fd);
    }
    connections.clear();
}

void HttpServer::Private::accepted(int fd)
{
    const Clock::time_point now = Clock::now();
    const std::string remote = peerOf(fd);
    const auto held = std::count_if(connections.begin(), connections.end(), [](const Connection &c) { return c.fd >= 0; });
    if (size_t(held) >= kMostWaiting) {
        // Room for the newcomer is made by the connection that has waited
        // longest without sending a byte: the least likely to be a real client
        // (a scraper sends its request at once), and the one an attacker's
        // idle connections would otherwise keep from every other.
        Connection *idle = nullptr;
        char byte;
        for (Connection &c : connections) {
            if (c.fd >= 0 && c.state == Connection::Reading && c.in.empty()
                && ::recv(c.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && (!idle || c.accepted < idle->accepted))
                idle = &c;
        }
        if (idle == nullptr) {
            refuseAtOnce(fd, remote, 503);
            return;
        }
        refuseAtOnce(idle->fd, idle->remote, 503);
        idle->fd = -1;
        connections.erase(connections.begin() + (idle - connections.data()));
    }
    Connection c;
    c.fd = fd;
    c.accepted = now;
    c.deadline = now + kFirstByte;
    c.remote = remote;
    connections.push_back(std::move(c));
}

bool HttpServer::Private::readFrom(Connection &c)
{
    char buffer[4096];
    // One byte beyond the bound tells a head that passes it.
    const size_t room = kHttpMostHead + 1 - c.in.size();
    const ssize_t n = ::recv(c.fd, buffer, std::min(room, sizeof buffer), MSG_DONTWAIT);
    if (n == 0)
        return false; // gone before its request was complete
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (c.in.empty())
        c.deadline = c.accepted + kWholeRequest;
    c.in.append(buffer, size_t(n));
    // Only a new line can complete the head or a part of it: a client sending
    // a byte at a time has its head parsed once per line, not once per byte.
    if (std::memchr(buffer, '\n', size_t(n)) == nullptr && c.in.size() <= kHttpMostHead)
        return true;
    HttpRequestHead head;
    const int status = parseHttpHead(c.in.data(), c.in.size(), &head);
    if (status == 0)
        return true;
    answer(c, status, head);
    return c.fd >= 0 && (c.state != Connection::Writing || writeTo(c));
}

void HttpServer::Private::answer(Connection &c, int status, const HttpRequestHead &head)
{
    Response r;
    const bool head_only = head.method == "HEAD";
    if (status != 200) {
        r.status = status;
    } else if (head.method != "GET" && !head_only) {
        // A body is never read, so no method that sends one is served.
        r.status = 405;
        r.headers.emplace_back("Allow", "GET, HEAD");
    } else {
        handler(head, &r);
    }
    if (r.stream && r.status == 200 && !head_only) {
        std::lock_guard<std::mutex> lock(streamMutex);
        if (streamsOpen < mostStreams) {
            ++streamsOpen;
            streamJobs.push_back({c.fd, headText(r, 0, true), std::move(r.stream)});
            streamReady.notify_one();
            c.fd = -1; // the stream's thread owns it now
            return;
        }
        r = Response();
        r.status = 503;
        r.headers.emplace_back("Retry-After", "10");
        r.body = "too many streams\n";
    }
    if (r.status >= 400) {
        if (r.body.empty())
            r.body = "HTTP " + std::to_string(r.status) + "\n";
        logRefusal(r.status, head.method, head.target, c.remote);
    }
    c.out = headText(r, r.body.size(), bool(r.stream));
    if (!head_only)
        c.out += r.body;
    c.in.clear();
    c.state = Connection::Writing;
    c.deadline = Clock::now() + kWrite;
}

bool HttpServer::Private::writeTo(Connection &c)
{
    while (c.sent < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        c.sent += size_t(n);
    }
    ::shutdown(c.fd, SHUT_WR);
    c.out = std::string();
    c.state = Connection::Lingering;
    c.deadline = Clock::now() + kLinger;
    return linger(c);
}

bool HttpServer::Private::linger(Connection &c)
{
    char sink[4096];
    for (int i = 0; i < 16; ++i) {
        const ssize_t n = ::recv(c.fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0)
            return false; // the client has closed too: done
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    return true;
}

void HttpServer::Private::expire(Connection &c)
{
    // Idle since it connected: closed without a word (nothing to answer).
    if (c.state == Connection::Reading && !c.in.empty()) {
        refuseAtOnce(c.fd, c.remote, 408);
    } else {
        ::close(c.fd);
    }
    c.fd = -1;
}

// Answers without waiting (what fits in the socket buffer: the reading thread
// never waits for one client) and closes.
void HttpServer::Private::refuseAtOnce(int fd, const std::string &remote, int status)
{
    Response r;
    r.status = status;
    if (status == 503)
        r.headers.emplace_back("Retry-After", "10");
    r.body = "HTTP " + std::to_string(status) + "\n";
    const std::string text = headText(r, r.body.size(), false) + r.body;
    ::send(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    logRefusal(status, std::string(), std::string(), remote);
    dropUnread(fd);
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

void HttpServer::Private::streamWorker()
{
    for (;;) {
        StreamJob job;
        {
            std::unique_lock<std::mutex> lock(streamMutex);
            streamReady.wait(lock, [this] { return stopping || !streamJobs.empty(); });
            if (stopping)
                return;
            job = std::move(streamJobs.front());
            streamJobs.pop_front();
        }
        std::string out;
        for (bool open = writeAll(job.fd, job.head); open; open = writeAll(job.fd, out)) {
            out.clear();
            if (!job.next(&out))
                break;
        }
        ::shutdown(job.fd, SHUT_RDWR);
        ::close(job.fd);
        job.next = nullptr; // its state goes before the slot is free again
        std::lock_guard<std::mutex> lock(streamMutex);
        --streamsOpen;
    }
}

// False when the client took nothing for kWrite, has gone, or the server stops.
bool HttpServer::Private::writeAll(int fd, const std::string &text) const
{
    for (size_t done = 0; done < text.size();) {
        pollfd fds[2] = {{fd, POLLOUT | POLLRDHUP, 0}, {stopFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, int(kWrite.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || fds[1].revents != 0 || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL | POLLRDHUP)) != 0)
            return false;
        const ssize_t sent = ::send(fd, text.data() + done, text.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        done += size_t(std::max<ssize_t>(sent, 0));
    }
    return true;
}

void HttpServer::Private::logRefusal(int status, const std::string &method, const std::string &target,
                                     const std::string &remote)
{
    if (!log)
        return;
    std::lock_guard<std::mutex> lock(logMutex);
    const auto now = Clock::now();
    if (now - logPeriodStart >= kLogPeriod) {
        logUnlogged();
        logPeriodStart = now;
        loggedInPeriod = 0;
    }
    if (loggedInPeriod++ >= kLogBurst) {
        ++unloggedInPeriod;
        return;
    }
    // The target is cut short: an oversized one is the reason it was refused.
    // A request refused before it was read has neither.
    char line[200];
    std::snprintf(line, sizeof line, "%d for %s %.80s from %s", status, method.empty() ? "-" : method.c_str(),
                  target.empty() ? "-" : target.c_str(), remote.c_str());
    log(line);
}

void HttpServer::Private::logUnlogged()
{
    if (unloggedInPeriod > 0 && log)
        log(std::to_string(unloggedInPeriod) + " more refused requests not shown");
    unloggedInPeriod = 0;
}
