#include "tools/plan/config_check.h"

#include "api/api_request_senders.h"

#include "common/config_file.h"
#include "common/config_keys.h"
#include "tools/plan/accuracy_map.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QRegularExpression>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

namespace plan {

namespace {

using configkeys::Kind;

// Expected error beyond which a point of the hall counts as poorly covered,
// and the timing noise assumed while the program learns it (auto).
constexpr double kPoorErrorMetres = 0.3;
constexpr double kAutoNoise = 0.1;
// Anchors closer than this stand at one position; anchors within this of one
// line lie on it.
constexpr double kSamePlaceMetres = 0.01;
constexpr double kOnLineMetres = 0.05;
// Grid points for the coverage estimate, at most (a hall of any size).
constexpr double kCoverageCells = 20000;

struct Entry {
    QString group;
    QString key;
    int line = 0;
};

// Groups and keys with their lines, as the file names them. QSettings gives
// the values (read here as the program reads them) but no lines.
QVector<Entry> scanLines(const QByteArray &text, QHash<QString, int> *groupLines)
{
    QVector<Entry> entries;
    QString group = QStringLiteral("General");
    int number = 0;
    // An editor's byte order mark would hide the first group's name.
    const QByteArray body = text.startsWith("\xEF\xBB\xBF") ? text.mid(3) : text;
    for (const QByteArray &raw : body.split('\n')) {
        ++number;
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            group = line.mid(1, line.size() - 2).trimmed();
            if (!groupLines->contains(group))
                groupLines->insert(group, number);
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0)
            continue;
        entries.append({group, line.left(equals).trimmed(), number});
    }
    return entries;
}

class Checker
{
public:
    Checker(const QString &path, QVector<Finding> *out) : file(path), findings(out), dir(QFileInfo(path).absolutePath())
    {
    }

    void run(const QByteArray &text)
    {
        if (file.settings().status() != QSettings::NoError)
            add(true, 0, QStringLiteral("not readable as an INI file; the program reads every value as empty"));
        entries = scanLines(text, &groupLines);
        checkNames();
        for (const Entry &e : entries) {
            if (const configkeys::Key *k = configkeys::findKey(e.group, e.key))
                checkValue(*k, e.line);
        }
        checkRules();
        checkAnchors();
        checkEndpoints();
    }

private:
    void add(bool error, int line, const QString &text) { findings->append({error, line, text}); }

    static QString name(const QString &group, const QString &key)
    {
        return QStringLiteral("`[%1] %2`").arg(group, key);
    }

    QString value(const char *group, const char *key) const
    {
        return file.text(QLatin1String(group), QLatin1String(key));
    }

    // The line of a key (the last time it is given), 0 when absent.
    int lineOf(const QString &group, const QString &key) const
    {
        int line = 0;
        for (const Entry &e : entries) {
            if (e.group == group && e.key == key)
                line = e.line;
        }
        return line;
    }
    int lineOf(const char *group, const char *key) const { return lineOf(QLatin1String(group), QLatin1String(key)); }
    bool present(const char *group, const char *key) const { return lineOf(group, key) > 0; }

    void checkNames()
    {
        const QStringList groups = configkeys::knownGroups();
        QStringList allKeys;
        for (const configkeys::Key &k : configkeys::knownKeys())
            allKeys.append(QLatin1String(k.key));
        for (auto it = groupLines.constBegin(); it != groupLines.constEnd(); ++it) {
            if (groups.contains(it.key()) || it.key() == QLatin1String("General"))
                continue;
            const QString near = configkeys::nearestName(it.key(), groups);
            add(false, it.value(),
                QStringLiteral("`[%1]`: not a group; %2").arg(it.key(), near.isEmpty() ? QStringLiteral("the program ignores its keys")
                                                                                       : QStringLiteral("did you mean `[%1]`?").arg(near)));
        }
        for (const Entry &e : entries) {
            if (configkeys::isFreeGroup(e.group) || configkeys::findKey(e.group, e.key))
                continue;
            if (e.group == QLatin1String("General")) {
                add(false, e.line, QStringLiteral("`%1`: before any group; the program ignores it").arg(e.key));
                continue;
            }
            if (!groups.contains(e.group))
                continue; // reported with its group
            QStringList home;
            for (const configkeys::Key &k : configkeys::knownKeys()) {
                if (e.key == QLatin1String(k.key))
                    home.append(QLatin1String(k.group));
            }
            if (!home.isEmpty()) {
                add(false, e.line, QStringLiteral("%1: belongs in `[%2]`; the program does not read it here")
                                       .arg(name(e.group, e.key), home.first()));
                continue;
            }
            QStringList inGroup;
            for (const configkeys::Key &k : configkeys::knownKeys()) {
                if (e.group == QLatin1String(k.group))
                    inGroup.append(QLatin1String(k.key));
            }
            QString near = configkeys::nearestName(e.key, inGroup);
            QString where;
            if (near.isEmpty()) {
                near = configkeys::nearestName(e.key, allKeys);
                for (const configkeys::Key &k : configkeys::knownKeys()) {
                    if (near == QLatin1String(k.key))
                        where = QStringLiteral(" in `[%1]`").arg(QLatin1String(k.group));
                }
            }
            add(false, e.line,
                QStringLiteral("%1: not a key; %2")
                    .arg(name(e.group, e.key), near.isEmpty() ? QStringLiteral("the program ignores it")
                                                              : QStringLiteral("did you mean `%1`%2?").arg(near, where)));
        }
    }

    void checkValue(const configkeys::Key &k, int line)
    {
        const QString group = QLatin1String(k.group), key = QLatin1String(k.key);
        const QVariant raw = file.settings().value(group + QLatin1Char('/') + key);
        const QString text = file.text(group, key);
        const QString shown = name(group, key + QLatin1Char('=') + text);
        const QString bare = name(group, key);
        const QString fallback = QLatin1String(k.fallback);
        if (raw.type() == QVariant::StringList && k.kind != Kind::AddressList) {
            add(true, line, QStringLiteral("%1: a value with commas must be quoted; the program reads it as empty (%2)")
                                .arg(bare, fallback.isEmpty() ? QStringLiteral("empty") : fallback));
            return;
        }
        const bool ranged = k.lowest <= k.highest;
        bool ok = true;
        double number = 0;
        switch (k.kind) {
        case Kind::Word:
            if (!text.isEmpty() && text != QLatin1String("true") && text != QLatin1String("false"))
                add(false, line, QStringLiteral("%1: on only when exactly `true`; the program takes it as off").arg(shown));
            return;
        case Kind::Integer:
            number = text.toInt(&ok, 10);
            break;
        case Kind::Real:
            number = text.toDouble(&ok);
            ok = ok && std::isfinite(number);
            break;
        case Kind::NoiseOrAuto:
            if (text.isEmpty() || text == QLatin1String("auto"))
                return;
            number = text.toDouble(&ok);
            if (!ok || !std::isfinite(number) || !(number > 0))
                add(true, line, QStringLiteral("%1: not a positive number of metres nor `auto`; the program uses %2")
                                    .arg(shown, fallback));
            return;
        case Kind::Port:
            number = text.toUShort(&ok, 10);
            break;
        case Kind::Text:
            return;
        case Kind::Address:
            if (!text.trimmed().isEmpty() && QHostAddress(text.trimmed()).isNull())
                add(true, line, QStringLiteral("%1: not an IP address; the program uses %2").arg(shown, fallback));
            return;
        case Kind::AddressList: {
            // The request service's own parser: what it refuses is named here.
            ApiRequestSenders senders;
            const QString list = raw.type() == QVariant::StringList ? raw.toStringList().join(QLatin1Char(',')) : text;
            for (const QString &refused : senders.addList(list))
                add(true, line, QStringLiteral("%1: `%2` is not an address nor ADDRESS/PREFIX; the program leaves it out")
                                    .arg(bare, refused));
            return;
        }
        case Kind::AddressPort: {
            QString host;
            quint16 port = 0;
            if (!text.trimmed().isEmpty() && !configkeys::parseListen(text.trimmed(), &host, &port))
                add(true, line, QStringLiteral("%1: not ADDRESS:PORT (an IPv6 address in brackets); the program runs "
                                               "with %2")
                                    .arg(shown, fallback));
            return;
        }
        }
        if (text.isEmpty())
            return;
        if (!ok) {
            add(true, line, QStringLiteral("%1: not %2; the program uses %3")
                                .arg(shown,
                                     k.kind == Kind::Integer ? QStringLiteral("a whole number")
                                     : k.kind == Kind::Port  ? QStringLiteral("a port number 0..65535")
                                                             : QStringLiteral("a number"),
                                     usedFor(key, 0, fallback)));
            return;
        }
        if (ranged && (number < k.lowest || number > k.highest))
            add(false, line, QStringLiteral("%1: outside %2..%3; the program uses %4")
                                 .arg(shown, QString::number(k.lowest, 'g', 12), QString::number(k.highest, 'g', 12),
                                      usedFor(key, number, fallback)));
    }

    // What the program makes of a number (0 for one that does not parse),
    // through the rule it applies.
    static QString usedFor(const QString &key, double number, const QString &fallback)
    {
        const int n = int(std::max(-2147483648.0, std::min(2147483647.0, number)));
        if (key == QLatin1String("anchor_fifo_limit"))
            return QString::number(configkeys::anchorFifoLimit(n));
        if (key == QLatin1String("tag_expiry_time"))
            return QString::number(configkeys::tagExpirySeconds(n));
        if (key == QLatin1String("tag_limit"))
            return QString::number(configkeys::tagLimit(n));
        if (key == QLatin1String("active_time"))
            return QString::number(configkeys::trackSilenceSeconds(n));
        if (key == QLatin1String("delay_window_1908"))
            return QString::number(configkeys::delayWindow(n));
        if (key == QLatin1String("track_accel"))
            return QString::number(configkeys::trackAccel(number));
        if (key == QLatin1String("anchor_max_age_ms"))
            return QString::number(configkeys::anchorMaxAgeMs(number == 0 ? QString() : QString::number(n)));
        if (key == QLatin1String("lost_packet_keep_days"))
            return QString::number(configkeys::lostPacketKeepDays(number == 0 ? QString() : QString::number(n)));
        return fallback.isEmpty() ? QStringLiteral("0") : fallback;
    }

    void checkRules()
    {
        const QString alg = QStringLiteral("algorithm_config");
        if (value("algorithm_config", "s_enable") == QLatin1String("true")
            && value("algorithm_config", "track_filter") != QLatin1String("true")
            && !configkeys::smoothSettingsUsable(file.integer(alg, QStringLiteral("s_length")),
                                                 file.integer(alg, QStringLiteral("s_start_half_length"))))
            add(false, lineOf("algorithm_config", "s_enable"),
                QStringLiteral("%1: smoothing needs s_length of at least 2 and s_start_half_length of at least 1; the "
                               "program turns it off")
                    .arg(name(alg, QStringLiteral("s_enable"))));
        if (value("mqtt", "mqtt_enable") == QLatin1String("true")) {
            QString cafile = value("mqtt", "mqtt_cafile");
            if (!cafile.isEmpty())
                cafile = QDir(dir).absoluteFilePath(cafile);
            const QString problem = configkeys::mqttProblem({value("mqtt", "mqtt_host").trimmed(), value("mqtt", "mqtt_port"),
                                                             value("mqtt", "mqtt_qos"), value("mqtt", "mqtt_topic_prefix"),
                                                             cafile});
            if (!problem.isEmpty())
                add(true, lineOf("mqtt", "mqtt_enable"),
                    QStringLiteral("`[mqtt]`: %1; the program runs without MQTT").arg(problem));
        }
    }

    void checkAnchors()
    {
        const QString group = QStringLiteral("anchor_coordinate");
        static const QRegularExpression twelveHex(QStringLiteral("^[0-9A-Fa-f]{12}$"));
        struct Usable {
            QString key;
            int line;
            double xyz[3];
        };
        QVector<Usable> usable;
        QHash<QString, int> idLines;
        for (const Entry &e : entries) {
            if (e.group != group)
                continue;
            const QString shown = name(group, e.key);
            const QByteArray id = configkeys::anchorIdBytes(e.key);
            if (id.size() != 6) {
                add(true, e.line, QStringLiteral("%1: not an anchor id of 12 hexadecimal digits; the program skips it")
                                      .arg(shown));
                continue;
            }
            if (!twelveHex.match(e.key).hasMatch())
                add(true, e.line, QStringLiteral("%1: not an anchor id of 12 hexadecimal digits; the program takes it as %2")
                                      .arg(shown, QString::fromLatin1(id.toHex().toUpper())));
            const QString upper = QString::fromLatin1(id.toHex().toUpper());
            if (idLines.contains(upper)) {
                add(true, e.line, QStringLiteral("%1: the same anchor as line %2 (ids match in any case)")
                                      .arg(shown)
                                      .arg(idLines.value(upper)));
                continue;
            }
            idLines.insert(upper, e.line);
            Usable u{e.key, e.line, {0, 0, 0}};
            int bad = 0;
            const QVariant raw = file.settings().value(group + QLatin1Char('/') + e.key);
            if (!configkeys::anchorCoordinates(file.text(group, e.key), u.xyz, &bad)) {
                add(true, e.line,
                    QStringLiteral("%1: not \"x,y,z\" (three numbers, quoted); the program skips it%2")
                        .arg(shown, raw.type() == QVariant::StringList ? QStringLiteral(": the value is not quoted") : QString()));
                continue;
            }
            if (bad > 0)
                add(true, e.line, QStringLiteral("%1: %2 of its coordinates not a number; the program reads them as 0")
                                      .arg(shown)
                                      .arg(bad));
            usable.append(u);
        }
        for (int i = 0; i < usable.size(); ++i) {
            for (int j = 0; j < i; ++j) {
                const double d = std::hypot(usable[i].xyz[0] - usable[j].xyz[0], usable[i].xyz[1] - usable[j].xyz[1],
                                            usable[i].xyz[2] - usable[j].xyz[2]);
                if (d < kSamePlaceMetres) {
                    add(true, usable[i].line, QStringLiteral("%1: at the same position as %2 (line %3)")
                                                  .arg(name(group, usable[i].key), usable[j].key)
                                                  .arg(usable[j].line));
                    break;
                }
            }
        }
        const int groupLine = groupLines.value(group);
        if (usable.size() < 3) {
            add(true, groupLine, QStringLiteral("`[anchor_coordinate]`: %1 usable anchors; a position needs at least 3, "
                                                "and 4 to check one another")
                                     .arg(usable.size()));
            return;
        }
        if (usable.size() < 4)
            add(false, groupLine, QStringLiteral("`[anchor_coordinate]`: only 3 usable anchors; fewer than four leave no "
                                                 "redundancy to find a blocked or faulty anchor"));
        // The two anchors farthest apart span the line; every other must lie off it.
        int a = 0, b = 1;
        double span = -1;
        for (int i = 0; i < usable.size(); ++i) {
            for (int j = 0; j < i; ++j) {
                const double d = std::hypot(usable[i].xyz[0] - usable[j].xyz[0], usable[i].xyz[1] - usable[j].xyz[1]);
                if (d > span) {
                    span = d;
                    a = i;
                    b = j;
                }
            }
        }
        double off = 0;
        if (span > 0) {
            const double ux = (usable[b].xyz[0] - usable[a].xyz[0]) / span, uy = (usable[b].xyz[1] - usable[a].xyz[1]) / span;
            for (const Usable &u : usable)
                off = std::max(off, std::fabs((u.xyz[0] - usable[a].xyz[0]) * uy - (u.xyz[1] - usable[a].xyz[1]) * ux));
        }
        if (off < kOnLineMetres) {
            add(true, groupLine, QStringLiteral("`[anchor_coordinate]`: all anchors stand on one line (seen from above); "
                                                "the 2-D solve cannot tell the two sides of that line apart"));
            return;
        }
        SiteConfig site;
        for (const Usable &u : usable)
            site.anchors.append({QByteArray(), u.key, u.xyz[0], u.xyz[1], u.xyz[2]});
        site.tagHeight = file.real(QStringLiteral("tag_high"), QStringLiteral("tag1"));
        double highest = -1e300;
        for (const Usable &u : usable)
            highest = std::max(highest, u.xyz[2]);
        if (site.tagHeight > highest)
            add(false, lineOf("tag_high", "tag1"),
                QStringLiteral("`[tag_high] tag1`: %1 m is above every anchor (highest %2 m); the solve fixes every tag "
                               "at this height below anchors mounted above the tags: check it")
                    .arg(site.tagHeight, 0, 'f', 2)
                    .arg(highest, 0, 'f', 2));
        coverage(site);
    }

    void coverage(const SiteConfig &site)
    {
        const QString noiseText = value("algorithm_config", "range_noise");
        const double configured = noiseText.toDouble();
        const double noise = configured > 0 && std::isfinite(configured) ? configured : kAutoNoise;
        double minX = 1e300, maxX = -1e300, minY = 1e300, maxY = -1e300;
        for (const SiteAnchor &a : site.anchors) {
            minX = std::min(minX, a.x);
            maxX = std::max(maxX, a.x);
            minY = std::min(minY, a.y);
            maxY = std::max(maxY, a.y);
        }
        const double step = std::max(0.25, std::sqrt((maxX - minX) * (maxY - minY) / kCoverageCells));
        Grid grid;
        QString error;
        if (!buildGrid(site, noise, step, 0, &grid, &error))
            return;
        int inside = 0, poor = 0;
        for (const Cell &c : grid.cells) {
            // A point on an anchor has no direction to it: not a place a tag stands.
            if (!c.insideHull || c.geometry.degenerate)
                continue;
            ++inside;
            if (c.singular || c.error > kPoorErrorMetres)
                ++poor;
        }
        if (poor > 0)
            add(false, groupLines.value(QStringLiteral("anchor_coordinate")),
                QStringLiteral("`[anchor_coordinate]`: %1% of the area the anchors enclose has an expected error above "
                               "%2 cm (timing noise %3 m%4); solver_plan --config %5 --suggest 1 shows where another "
                               "anchor helps")
                    .arg(100.0 * poor / std::max(1, inside), 0, 'f', 1)
                    .arg(kPoorErrorMetres * 100, 0, 'f', 0)
                    .arg(noise)
                    .arg(configured > 0 ? QString() : QStringLiteral(", assumed while the program learns it"))
                    .arg(QFileInfo(file.settings().fileName()).fileName()));
    }

    static bool isLocal(const QString &text)
    {
        const QHostAddress address(text.trimmed());
        if (address.isNull())
            return false;
        if (address.isLoopback() || address == QHostAddress::Any || address == QHostAddress::AnyIPv4
            || address == QHostAddress::AnyIPv6)
            return true;
        const QList<QHostAddress> own = QNetworkInterface::allAddresses();
        return std::any_of(own.begin(), own.end(), [&](const QHostAddress &a) { return a.isEqual(address); });
    }

    void checkEndpoints()
    {
        const char *net = "network_setting";
        const QString group = QLatin1String(net);
        const quint16 anchorPort = file.port(group, QStringLiteral("local_udp_listen_anchor_port"));
        const quint16 requestPort = file.port(group, QStringLiteral("local_udp_listen_parameters_configuration_port"));
        if (anchorPort != 0 && anchorPort == requestPort)
            add(true, lineOf(net, "local_udp_listen_parameters_configuration_port"),
                QStringLiteral("%1: the same UDP port as local_udp_listen_anchor_port (line %2); the program cannot "
                               "listen on both")
                    .arg(name(group, QStringLiteral("local_udp_listen_parameters_configuration_port")))
                    .arg(lineOf(net, "local_udp_listen_anchor_port")));
        struct Remote {
            const char *ip, *port, *what;
        };
        const Remote remotes[] = {
            {"remote_udp_server_parameters_configuration_ip", "remote_udp_server_parameters_configuration_port",
             "replies to configuration requests"},
            {"remote_udp_server_location_ip", "remote_udp_server_location_port", "position reports"},
        };
        for (const Remote &r : remotes) {
            const quint16 port = file.port(group, QLatin1String(r.port));
            if (port == 0 || !isLocal(value(net, r.ip)))
                continue;
            const QString shown = name(group, QLatin1String(r.port));
            if (port == requestPort)
                add(true, lineOf(net, r.port),
                    QStringLiteral("%1: %2 go to the program's own request port (local_udp_listen_parameters_"
                                   "configuration_port) on this machine, and come back to it as requests")
                        .arg(shown, QLatin1String(r.what)));
            else if (port == anchorPort)
                add(true, lineOf(net, r.port),
                    QStringLiteral("%1: %2 go to the program's own anchor port (local_udp_listen_anchor_port) on this "
                                   "machine")
                        .arg(shown, QLatin1String(r.what)));
        }
        QString host;
        quint16 metricsPort = 0;
        if (configkeys::parseListen(value("metrics", "metrics_listen").trimmed(), &host, &metricsPort) && metricsPort != 0
            && value("mqtt", "mqtt_enable") == QLatin1String("true") && isLocal(value("mqtt", "mqtt_host"))
            && configkeys::mqttPort(value("mqtt", "mqtt_port")) == metricsPort)
            add(true, lineOf("metrics", "metrics_listen"),
                QStringLiteral("`[metrics] metrics_listen`: the port of the MQTT broker on this machine (mqtt_port)"));
    }

    ConfigFile file;
    QVector<Finding> *findings;
    QString dir;
    QVector<Entry> entries;
    QHash<QString, int> groupLines;
};

} // namespace

bool checkConfig(const QString &path, QVector<Finding> *findings, QString *why)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("cannot read %1: %2").arg(path, f.errorString());
        return false;
    }
    const QByteArray text = f.readAll();
    Checker checker(path, findings);
    checker.run(text);
    return true;
}

int printFindings(const QString &path, const QVector<Finding> &findings)
{
    QVector<Finding> sorted = findings;
    std::stable_sort(sorted.begin(), sorted.end(), [](const Finding &a, const Finding &b) {
        return (a.line == 0 ? INT_MAX : a.line) < (b.line == 0 ? INT_MAX : b.line);
    });
    int errors = 0, warnings = 0;
    for (const Finding &f : sorted) {
        (f.error ? errors : warnings) += 1;
        const QString where = f.line > 0 ? QStringLiteral("%1:%2").arg(path).arg(f.line) : path;
        std::printf("%s: %s: %s\n", f.error ? "error" : "warning", qPrintable(where), qPrintable(f.text));
    }
    if (errors + warnings == 0)
        std::printf("%s: no findings\n", qPrintable(path));
    else
        std::printf("%s: %d error%s, %d warning%s\n", qPrintable(path), errors, errors == 1 ? "" : "s", warnings,
                    warnings == 1 ? "" : "s");
    std::fflush(stdout);
    return errors > 0 ? 2 : warnings > 0 ? 1 : 0;
}

} // namespace plan
