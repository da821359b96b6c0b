#include "common/http_server.h"

#include <QHostAddress>
#include <QSysInfo>

#include <algorithm>
#include <cstring>

namespace {

// A character of a method or header name (RFC 9110 token).
bool isTokenChar(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
           || (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool equalsNoCase(const char *p, size_t n, const char *lower)
{
    if (std::strlen(lower) != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        const char c = p[i] >= 'A' && p[i] <= 'Z' ? char(p[i] - 'A' + 'a') : p[i];
        if (c != lower[i])
            return false;
    }
    return true;
}

// "METHOD SP TARGET SP HTTP/1.x", its line end removed.
int parseRequestLine(const char *p, size_t n, HttpRequestHead *head)
{
    size_t i = 0;
    while (i < n && isTokenChar(static_cast<unsigned char>(p[i])))
        ++i;
    if (i == 0 || i >= n || p[i] != ' ')
        return 400;
    const size_t target = ++i;
    while (i < n && p[i] > ' ' && p[i] < 0x7f)
        ++i;
    if (i == target || i >= n || p[i] != ' ')
        return 400;
    const std::string version(p + i + 1, n - i - 1);
    if (version.size() != 8 || version.compare(0, 5, "HTTP/") != 0 || !isDigit(version[5]) || version[6] != '.'
        || !isDigit(version[7]))
        return 400;
    if (version[5] != '1')
        return 505;
    head->method.assign(p, target - 1);
    head->target.assign(p + target, i - target);
    // Origin form only: this server has no proxy and no "*".
    if (head->target[0] != '/')
        return 400;
    head->path = head->target.substr(0, head->target.find('?'));
    return 200;
}

} // namespace

int parseHttpHead(const char *data, size_t size, HttpRequestHead *head)
{
    *head = HttpRequestHead();
    // What lies beyond the bound is never looked at: a head must end within it.
    const size_t limit = std::min(size, kHttpMostHead);
    const char *lineEnd = static_cast<const char *>(std::memchr(data, '\n', limit));
    if (lineEnd == nullptr)
        return size > kHttpMostHead ? 414 : 0;
    size_t end = size_t(lineEnd - data);
    const int status = parseRequestLine(data, end > 0 && data[end - 1] == '\r' ? end - 1 : end, head);
    if (status != 200)
        return status;
    bool sawHost = false;
    for (int lines = 0;; ++lines) {
        const size_t from = end + 1;
        lineEnd = static_cast<const char *>(std::memchr(data + from, '\n', limit - from));
        if (lineEnd == nullptr)
            return size > kHttpMostHead ? 431 : 0;
        end = size_t(lineEnd - data);
        const size_t n = end > from && data[end - 1] == '\r' ? end - 1 - from : end - from;
        const char *p = data + from;
        if (n == 0)
            return 200; // the empty line that ends the head
        if (lines >= kHttpMostHeaderLines)
            return 431;
        size_t i = 0;
        while (i < n && isTokenChar(static_cast<unsigned char>(p[i])))
            ++i;
        // Also refuses a folded line (it starts with white space) and white space before the colon.
        if (i == 0 || i >= n || p[i] != ':')
            return 400;
        size_t first = i + 1, last = n;
        while (first < last && (p[first] == ' ' || p[first] == '\t'))
            ++first;
        while (last > first && (p[last - 1] == ' ' || p[last - 1] == '\t'))
            --last;
        for (size_t k = first; k < last; ++k) {
            const unsigned char c = static_cast<unsigned char>(p[k]);
            if ((c < ' ' && c != '\t') || c == 0x7f)
                return 400;
        }
        if (equalsNoCase(p, i, "host")) {
            // Two names for one server: which would the check believe?
            if (sawHost)
                return 400;
            sawHost = true;
            head->host.assign(p + first, last - first);
        }
    }
}

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
