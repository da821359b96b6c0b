#ifndef HTTP_SERVER_H
#define HTTP_SERVER_H

// The one HTTP server of the engine's metrics endpoint and the monitor's live
// map. One thread reads every request head at once (poll over non-blocking
// sockets), so a slow or silent client holds a slot, never a thread: each has
// kFirstByte for its first byte and kWholeRequest for its whole head, whatever
// the pace of its bytes, then it is closed (408 when it had begun). At most
// kMostWaiting connections are held besides the streams; one more is answered
// 503. No request body is ever read: GET and HEAD only, one request per
// connection. Streams (server-sent events) get a thread each, up to a fixed
// number.

#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// A request head as the handlers see it.
struct HttpRequestHead {
    std::string method;
    std::string target; // as sent
    std::string path;   // the target up to its query
    std::string host;   // the Host header, trimmed; empty when absent
};

// Bounds of a request head: its bytes (the request line included) and its header lines.
constexpr size_t kHttpMostHead = 8192;
constexpr int kHttpMostHeaderLines = 64;

// Reads the request head at the start of `size` received bytes. 0: not
// complete yet (read more); 200: complete, in *head; else the status to refuse
// it with: 400 malformed, 414 a request line over kHttpMostHead, 431 a head
// over kHttpMostHead or with too many lines, 505 a version other than HTTP/1.x.
// A bad request line is refused as soon as it is complete.
int parseHttpHead(const char *data, size_t size, HttpRequestHead *head);

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

class HttpServer
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kFirstByte{1000};
    static constexpr std::chrono::milliseconds kWholeRequest{5000};
    // An answer taken in this long, and each part of a stream.
    static constexpr std::chrono::milliseconds kWrite{5000};
    static constexpr size_t kMostWaiting = 64;

    struct Response {
        int status = 200;
        std::string contentType = "text/plain";
        std::string body;
        std::vector<std::pair<std::string, std::string>> headers;
        // A stream: called again and again on a stream thread, it appends what
        // to send next (waiting a while for it, never long); false ends it.
        std::function<bool(std::string *out)> stream;
    };
    // Called on the reading thread for a GET or HEAD; must not wait.
    using Handler = std::function<void(const HttpRequestHead &, Response *)>;
    // One line about refused requests (at most five per 10 s, then a count).
    using Log = std::function<void(const std::string &line)>;

    HttpServer();
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Binds host:port (an address; port 0: any free one); nothing is read yet.
    bool listen(const QString &host, quint16 port, QString *error);
    quint16 port() const;
    // Starts serving, with at most `streams` open streams (more are answered 503).
    void serve(int streams, Handler handler, Log log);
    // Closes every connection, ends the streams (whatever their producers
    // wait for, at their next return) and joins every thread.
    void stop();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif // HTTP_SERVER_H
