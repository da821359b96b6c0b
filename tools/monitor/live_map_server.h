#ifndef LIVE_MAP_SERVER_H
#define LIVE_MAP_SERVER_H

#include <QString>

#include <memory>

class LiveMapHub;

// The live map over HTTP: "/" is the page, "/events" the stream of server-sent
// events from the hub. It runs on threads of its own (common/http_server.h:
// one reads every request, each open stream has one), so no client can hold
// up the monitor's receiving. Streams beyond `viewers` are refused with 503.
class LiveMapServer
{
public:
    explicit LiveMapServer(LiveMapHub &hub);
    ~LiveMapServer();
    LiveMapServer(const LiveMapServer &) = delete;
    LiveMapServer &operator=(const LiveMapServer &) = delete;

    // Binds host:port (0: any free port) and starts serving.
    bool start(const QString &host, quint16 port, int viewers, QString *error);
    quint16 port() const;
    // Ends the streams (close the hub first) and joins every thread.
    void stop();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// "ADDRESS:PORT", ":PORT" or "PORT" (address 127.0.0.1); false when malformed.
bool parseHttpAddress(const QString &text, QString *host, quint16 *port);

// The page and its script, served as "/".
extern const char *const kLiveMapPage;

#endif // LIVE_MAP_SERVER_H
