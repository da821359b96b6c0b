#ifndef HTTP_CONNECTION_H
#define HTTP_CONNECTION_H

// What the live map's HTTP server puts under cpp-httplib so that no client can
// hold it or read it from elsewhere: a connection whose whole request has a
// deadline (the library's timeout is per read, so a client sending a header
// byte every few seconds kept a thread for ever), a thread pool whose queue of
// connections waiting for a thread is bounded (the library's grows without
// limit), and the check of the Host header against DNS rebinding.

#include <QString>

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The Host header of a browser names what it thinks it talks to. A page of
// another site can point its own name at 127.0.0.1 (DNS rebinding) and then
// read the stream as same-origin; its requests carry that name, so only names
// of this server are served: an address literal (nothing can rebind one),
// "localhost" on a loopback or any-address listener, and the machine's host
// name on any other; a port, when given, must be the bound one. A request
// without Host does not come from a browser and is served.
class HostCheck
{
public:
    void listenOn(const QString &host, quint16 boundPort);
    bool allows(const std::string &header) const;

private:
    quint16 port = 0;
    bool localhost = false;
    QString machine; // empty on a loopback listener
};

// One accepted connection as the library's Stream. Every wait also watches
// `stopFd` (an eventfd written once at shutdown), so a stopping server ends
// all its connections at once, whatever their clients do.
class RequestStream : public httplib::Stream
{
public:
    using Clock = std::chrono::steady_clock;
    struct Limits {
        std::chrono::milliseconds firstByte; // a connection silent this long is dropped
        std::chrono::milliseconds request;   // the whole request, from the start
        std::chrono::milliseconds write;     // a client that takes nothing this long is dropped
    };

    RequestStream(int socket, int stopFd, const Limits &limits);

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char *ptr, size_t size) override;
    ssize_t write(const char *ptr, size_t size) override;
    void get_remote_ip_and_port(std::string &ip, int &port) const override;
    void get_local_ip_and_port(std::string &ip, int &port) const override;
    socket_t socket() const override { return sock; }
    // True when the client sent part of a request and not the rest in time.
    bool cutShort() const { return anyReceived && readTimedOut; }

private:
    // Until `deadline`: true once `events` are ready, false on time-out, at
    // shutdown and (when writing) when the client has gone.
    bool wait(short events, Clock::time_point deadline) const;
    Clock::time_point readDeadline() const;

    const int sock;
    const int stopFd;
    const Limits limits;
    const Clock::time_point start;
    bool anyReceived = false;
    bool readTimedOut = false;
    char buffer[4096];
    size_t begin = 0, end = 0; // unread part of buffer
};

// The library's task queue with `threads` workers and at most `mostWaiting`
// connections waiting for one. A connection beyond that is run at once on the
// accepting thread with refusing() true, to be answered 503 and closed.
class ConnectionPool : public httplib::TaskQueue
{
public:
    ConnectionPool(size_t threads, size_t mostWaiting);
    ~ConnectionPool() override;
    ConnectionPool(const ConnectionPool &) = delete;
    ConnectionPool &operator=(const ConnectionPool &) = delete;

    void enqueue(std::function<void()> fn) override;
    // Runs what waits (at shutdown those end at once) and joins the workers.
    void shutdown() override;
    static bool refusing();

private:
    void work();

    const size_t mostWaiting;
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::function<void()>> waiting;
    bool stopping = false;
    std::vector<std::thread> workers;
};

#endif // HTTP_CONNECTION_H
