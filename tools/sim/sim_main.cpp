// solver_sim / solver_sim_hr: sends the anchor datagrams of simulated tags to
// the program's anchor port, paced in real time, or writes them to a capture
// file, time-stamped on the same schedule; and writes the true position of
// every transmission to a file for scoring.
#include "common/build_variant.h"
#include "ingest/anchor_record.h"
#include "tools/common/site_config.h"
#include "tools/common/tool_fail.h"
#include "tools/sim/anchor_simulator.h"
#include "tools/sim/datagram_sender.h"
#include "tools/sim/pcapng_writer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QTextStream>

#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <queue>
#include <random>
#include <thread>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stop = 0;
void onStopSignal(int) { g_stop = 1; }

qint64 wallMicros()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

struct Options {
    QString config;
    QString host;
    quint16 port = 0;
    double transmissionRate = 0; // transmissions per second, all tags together
    int perDatagram = 1;
    double duration = 0;
    double churn = 0; // seconds each tag stays; 0: the tags stay all the time
    double spreadMs = 0; // records of a transmission sent over up to this long; 0: back to back
    QString truth;
    QString pcap; // write the datagrams here instead of sending them
    bool quiet = false;
    sim::SimSettings settings;
};

[[noreturn]] void fail(const QString &message) { toolFail("solver_sim", message); }

double positiveNumber(const QCommandLineParser &p, const QString &name)
{
    bool ok = false;
    const double v = p.value(name).toDouble(&ok);
    if (!ok || !(v > 0))
        fail(QStringLiteral("--%1 needs a positive number, not \"%2\"").arg(name, p.value(name)));
    return v;
}

int positiveInteger(const QCommandLineParser &p, const QString &name)
{
    bool ok = false;
    const int v = p.value(name).toInt(&ok);
    if (!ok || v <= 0)
        fail(QStringLiteral("--%1 needs a positive integer, not \"%2\"").arg(name, p.value(name)));
    return v;
}

Options parseOptions(const QCoreApplication &app, SiteConfig *site)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Simulated anchors: tags move on smooth paths or walk inside the anchors' hull, obstacles "
        "delay some anchors' receptions, and every transmission is sent as one measurement record per anchor."));
    p.addHelpOption();
    p.addOptions({
        {QStringLiteral("config"), QStringLiteral("Site config.ini: anchors, tag height, anchor port."),
         QStringLiteral("file"), QStringLiteral("config.ini")},
        {QStringLiteral("host"), QStringLiteral("Address of the program."), QStringLiteral("ipv4"),
         QStringLiteral("127.0.0.1")},
        {QStringLiteral("port"), QStringLiteral("Anchor port (default: the config's)."), QStringLiteral("port")},
        {QStringLiteral("tags"), QStringLiteral("Number of tags."), QStringLiteral("n"), QStringLiteral("3")},
        {QStringLiteral("rate"), QStringLiteral("Transmissions per second of each tag."), QStringLiteral("hz"),
         QStringLiteral("10")},
        {QStringLiteral("record-rate"),
         QStringLiteral("Records per second of all tags together; overrides --rate."), QStringLiteral("n")},
        {QStringLiteral("noise"), QStringLiteral("Sigma of each time stamp's range error."),
         QStringLiteral("metres"), QStringLiteral("0")},
        {QStringLiteral("anchors-per-datagram"),
         QStringLiteral("Records of one transmission packed into one datagram."), QStringLiteral("k"),
         QStringLiteral("1")},
        {QStringLiteral("duration"), QStringLiteral("Seconds to run."), QStringLiteral("s"),
         QStringLiteral("20")},
        {QStringLiteral("seed"), QStringLiteral("Random seed."), QStringLiteral("n"), QStringLiteral("1")},
        {QStringLiteral("clock-start"),
         QStringLiteral("Anchor clock reading at the start (decimal or 0x...; the clock wraps at 2^40)."),
         QStringLiteral("ticks"), QStringLiteral("0")},
        {QStringLiteral("seq-start"), QStringLiteral("First sequence number of every tag."), QStringLiteral("n"),
         QStringLiteral("0")},
        {QStringLiteral("margin"), QStringLiteral("Distance kept from the anchors' hull."),
         QStringLiteral("metres"), QStringLiteral("1")},
        {QStringLiteral("churn"),
         QStringLiteral("Each tag leaves after this many seconds and a new one takes its place (the departures "
                        "spread evenly); 0: the same tags all the time."),
         QStringLiteral("s"), QStringLiteral("0")},
        {QStringLiteral("spread"),
         QStringLiteral("Each record of a transmission is sent at its own time: every anchor's record goes out "
                        "after a delay drawn uniformly from 0 to ms, as independent anchors send; 0: the records of "
                        "a transmission go out back to back."),
         QStringLiteral("ms"), QStringLiteral("0")},
        {QStringLiteral("truth"),
         QStringLiteral("CSV of every transmission: sent_us,tag,seq,x,y,z (sent_us: wall-clock "
                        "microseconds when its first record was sent)."),
         QStringLiteral("file")},
        {QStringLiteral("pcap"),
         QStringLiteral("Write the datagrams to this pcapng file instead of sending them, as fast as they are "
                        "computed, each time-stamped with its simulated send time (from 127.0.0.2 to --host and "
                        "the anchor port)."),
         QStringLiteral("file")},
        {QStringLiteral("quiet"), QStringLiteral("Print nothing but errors.")},
        {QStringLiteral("walk"), QStringLiteral("Tags walk between random waypoints (turns, pauses) instead of "
                                                "following Lissajous paths.")},
        {QStringLiteral("walk-speed"), QStringLiteral("Walking pace."), QStringLiteral("m/s"), QStringLiteral("1.3")},
        {QStringLiteral("walk-turn"), QStringLiteral("Fastest turn of a walker."), QStringLiteral("deg/s"),
         QStringLiteral("90")},
        {QStringLiteral("walk-pause"),
         QStringLiteral("Longest pause at a waypoint (about one in three has one; 0: none)."), QStringLiteral("s"),
         QStringLiteral("2")},
        {QStringLiteral("obstacles"),
         QStringLiteral("Obstacle episodes per tag and minute: anchors that hear the tag through an obstacle "
                        "(a later reception by an extra path)."),
         QStringLiteral("n"), QStringLiteral("0")},
        {QStringLiteral("obstacle-seconds"), QStringLiteral("Length of an obstacle episode."), QStringLiteral("s"),
         QStringLiteral("5")},
        {QStringLiteral("obstacle-anchors"), QStringLiteral("Anchors blocked in one episode."), QStringLiteral("k"),
         QStringLiteral("1")},
        {QStringLiteral("obstacle-material"),
         QStringLiteral("metal (0.18-0.58 m, spikes of metres), wood (0.03-0.40 m) or cardboard (under 0.05 m)."),
         QStringLiteral("name"), QStringLiteral("metal")},
        {QStringLiteral("obstacle-at"),
         QStringLiteral("Comma-separated anchor ids that obstacles may block (default: any)."), QStringLiteral("ids")},
        {QStringLiteral("anchor-late"),
         QStringLiteral("Comma-separated id=metres: the anchor reads every tag late by that range (a calibration "
                        "error; negative: early)."),
         QStringLiteral("list")},
    });
    p.process(app);

    Options o;
    o.config = p.value(QStringLiteral("config"));
    QString error;
    QStringList warnings;
    if (!SiteConfig::load(o.config, site, &error, &warnings))
        fail(error);
    for (const QString &w : warnings)
        std::fprintf(stderr, "solver_sim: %s\n", qPrintable(w));

    o.host = p.value(QStringLiteral("host"));
    o.port = site->anchorPort;
    if (p.isSet(QStringLiteral("port")))
        o.port = quint16(positiveInteger(p, QStringLiteral("port")));
    if (o.port == 0)
        fail(QStringLiteral("no anchor port: give --port or local_udp_listen_anchor_port in the config"));

    o.settings.tags = positiveInteger(p, QStringLiteral("tags"));
    const int anchors = site->anchors.size();
    o.transmissionRate = p.isSet(QStringLiteral("record-rate"))
                             ? positiveNumber(p, QStringLiteral("record-rate")) / anchors
                             : positiveNumber(p, QStringLiteral("rate")) * o.settings.tags;
    o.perDatagram = positiveInteger(p, QStringLiteral("anchors-per-datagram"));
    o.duration = positiveNumber(p, QStringLiteral("duration"));

    bool ok = false;
    o.settings.noiseMetres = p.value(QStringLiteral("noise")).toDouble(&ok);
    if (!ok || o.settings.noiseMetres < 0)
        fail(QStringLiteral("--noise needs a number of metres >= 0"));
    o.settings.seed = p.value(QStringLiteral("seed")).toULongLong(&ok);
    if (!ok)
        fail(QStringLiteral("--seed needs an unsigned integer"));
    o.settings.clockStart = p.value(QStringLiteral("clock-start")).toULongLong(&ok, 0);
    if (!ok || o.settings.clockStart >= sim::kClockModulus)
        fail(QStringLiteral("--clock-start needs a value below 2^40"));
    o.settings.sequenceStart = p.value(QStringLiteral("seq-start")).toInt(&ok);
    if (!ok || o.settings.sequenceStart < 0 || o.settings.sequenceStart > 255)
        fail(QStringLiteral("--seq-start needs 0..255"));
    o.settings.margin = p.value(QStringLiteral("margin")).toDouble(&ok);
    if (!ok || o.settings.margin < 0)
        fail(QStringLiteral("--margin needs a number of metres >= 0"));
    o.churn = p.value(QStringLiteral("churn")).toDouble(&ok);
    if (!ok || o.churn < 0)
        fail(QStringLiteral("--churn needs a number of seconds >= 0"));
    o.spreadMs = p.value(QStringLiteral("spread")).toDouble(&ok);
    if (!ok || o.spreadMs < 0)
        fail(QStringLiteral("--spread needs a number of milliseconds >= 0"));
    o.settings.walk = p.isSet(QStringLiteral("walk"));
    o.settings.walking.speed = positiveNumber(p, QStringLiteral("walk-speed"));
    o.settings.walking.turnRate = positiveNumber(p, QStringLiteral("walk-turn"));
    o.settings.walking.longestPause = p.value(QStringLiteral("walk-pause")).toDouble(&ok);
    if (!ok || o.settings.walking.longestPause < 0)
        fail(QStringLiteral("--walk-pause needs a number of seconds >= 0"));
    if (o.settings.walking.longestPause == 0)
        o.settings.walking.pauseShare = 0;
    sim::ObstacleSettings &obstacles = o.settings.obstacles;
    obstacles.perMinute = p.value(QStringLiteral("obstacles")).toDouble(&ok);
    if (!ok || obstacles.perMinute < 0)
        fail(QStringLiteral("--obstacles needs a number of episodes per minute >= 0"));
    obstacles.seconds = positiveNumber(p, QStringLiteral("obstacle-seconds"));
    obstacles.anchorsPerEpisode = positiveInteger(p, QStringLiteral("obstacle-anchors"));
    if (!sim::materialFromName(p.value(QStringLiteral("obstacle-material")), &obstacles.material))
        fail(QStringLiteral("--obstacle-material needs metal, wood or cardboard"));
    for (const QString &id : p.value(QStringLiteral("obstacle-at")).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QByteArray bytes = QByteArray::fromHex(id.trimmed().toLatin1());
        int found = -1;
        for (int i = 0; i < site->anchors.size() && found < 0; ++i)
            if (site->anchors[i].id == bytes)
                found = i;
        if (found < 0)
            fail(QStringLiteral("--obstacle-at: %1 is not an anchor of the config").arg(id));
        obstacles.candidates.append(found);
    }
    for (const QString &item : p.value(QStringLiteral("anchor-late")).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QByteArray bytes = QByteArray::fromHex(item.section(QLatin1Char('='), 0, 0).trimmed().toLatin1());
        const double metres = item.section(QLatin1Char('='), 1).toDouble(&ok);
        int found = -1;
        for (int i = 0; i < site->anchors.size() && found < 0; ++i)
            if (site->anchors[i].id == bytes)
                found = i;
        if (found < 0 || !ok || !std::isfinite(metres))
            fail(QStringLiteral("--anchor-late: %1 is not id=metres of an anchor of the config").arg(item));
        o.settings.anchorLate.resize(site->anchors.size());
        o.settings.anchorLate[found] = metres;
    }
    o.truth = p.value(QStringLiteral("truth"));
    o.pcap = p.value(QStringLiteral("pcap"));
    o.quiet = p.isSet(QStringLiteral("quiet"));
    return o;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QLatin1String(variant::kHrBuild ? "solver_sim_hr" : "solver_sim"));
    SiteConfig site;
    const Options o = parseOptions(app, &site);

    sim::AnchorSimulator simulator(site.anchors, site.tagHeight, o.settings);
    if (simulator.area().halfX <= 0 || simulator.area().halfY <= 0)
        fail(QStringLiteral("the anchors' hull leaves no room inside a margin of %1 m").arg(o.settings.margin));

    // Where the datagrams go: the program's port, or with --pcap a capture
    // file, written on a simulated clock that jumps to whatever is due next.
    const bool toFile = !o.pcap.isEmpty();
    DatagramSender sender;
    PcapngWriter capture;
    QString error;
    QHostAddress destination;
    if (!destination.setAddress(o.host) || destination.protocol() != QAbstractSocket::IPv4Protocol)
        fail(QStringLiteral("not an IPv4 address: %1").arg(o.host));
    if (toFile ? !capture.open(o.pcap, destination.toIPv4Address(), o.port, QCoreApplication::applicationName(),
                               &error)
               : !sender.open(o.host, o.port, &error))
        fail(error);
    const qint64 startUs = wallMicros();
    double simulated = 0; // seconds from the start, with --pcap
    const auto enqueue = [&](const QByteArray &datagram) {
        if (toFile)
            capture.queue(datagram);
        else
            sender.queue(datagram);
    };

    const bool withObstacles = o.settings.obstacles.perMinute > 0;
    QFile truthFile(o.truth);
    QTextStream truth(&truthFile);
    if (!o.truth.isEmpty()) {
        if (!truthFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
            fail(QStringLiteral("cannot write %1").arg(o.truth));
        // With obstacles a seventh column names the anchors blocked for the
        // transmission (ids separated by spaces); without, the file is as it was.
        truth << (withObstacles ? "sent_us,tag,seq,x,y,z,blocked\n" : "sent_us,tag,seq,x,y,z\n");
    }

    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);

    const int tags = simulator.tagCount();
    const double wrapAfter = double(sim::kClockModulus - o.settings.clockStart) / sim::kTicksPerSecond;
    if (!o.quiet) {
        std::fprintf(stderr,
                     "solver_sim: %d anchors, %d tags, %.1f transmissions/s (%.0f records/s) to %s:%u%s%s for %.1f s; "
                     "area %.2f..%.2f x %.2f..%.2f m; clock wraps after %.3f s\n",
                     site.anchors.size(), tags, o.transmissionRate, o.transmissionRate * site.anchors.size(),
                     qPrintable(o.host), unsigned(o.port), toFile ? " in " : "", qPrintable(o.pcap), o.duration,
                     simulator.area().centre.x() - simulator.area().halfX,
                     simulator.area().centre.x() + simulator.area().halfX,
                     simulator.area().centre.y() - simulator.area().halfY,
                     simulator.area().centre.y() + simulator.area().halfY, wrapAfter);
    }

    // Transmission k is due at k / rate seconds and belongs to tag k mod tags,
    // so every tag blinks at the same rate with the tags evenly staggered.
    // Each datagram waits in a queue ordered by its send time (the
    // transmission's, plus its anchor's delay under --spread); whatever is due
    // is sent at once (bursts at high rates without --spread), otherwise the
    // loop sleeps until the next datagram or transmission is due.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const auto total = static_cast<qint64>(o.duration * o.transmissionRate);
    constexpr int kMostPerBurst = 256;
    qint64 next = 0, records = 0, datagrams = 0, refused = 0, tagsInAll = tags, serial = 0;
    // With --churn S, tag i first leaves after (1 + i / tags) / 2 x S: the
    // departures spread evenly, and no tag stays less than S / 2 (a tag of a
    // transmission or two would have none of its own reported).
    QVector<double> leaves(tags);
    for (int i = 0; i < tags; ++i)
        leaves[i] = o.churn * (1.0 + double(i) / tags) / 2;
    struct Outgoing {
        double at;           // seconds from the start
        qint64 serial;       // keeps the order of datagrams due together
        QByteArray datagram;
        int truth;           // the transmission's row when this is its first datagram, else -1
        bool operator>(const Outgoing &o) const { return at != o.at ? at > o.at : serial > o.serial; }
    };
    std::priority_queue<Outgoing, std::vector<Outgoing>, std::greater<Outgoing>> queue;
    QHash<int, sim::Transmission> unsent; // truth rows waiting for their first datagram
    int truthRows = 0;
    std::uniform_real_distribution<double> delay(0, o.spreadMs / 1000);
    std::mt19937_64 delays(o.settings.seed + 1);
    // Sleeps of a few microseconds: the default slack of 50 us would send
    // spread datagrams in small bursts again.
    if (o.spreadMs > 0)
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    QVector<sim::Transmission> firstSent;
    while ((next < total || !queue.empty()) && !g_stop) {
        const double now = toFile ? simulated : std::chrono::duration<double>(Clock::now() - start).count();
        for (int n = 0; next < total && next / o.transmissionRate <= now && n < kMostPerBurst; ++n, ++next) {
            const double due = next / o.transmissionRate;
            const int tag = int(next % tags);
            if (o.churn > 0 && due >= leaves[tag]) {
                simulator.replaceTag(tag);
                leaves[tag] += o.churn;
                ++tagsInAll;
            }
            const sim::Transmission tx = simulator.transmit(tag, due);
            QVector<double> at;
            for (int i = 0; i < tx.records.size(); i += o.perDatagram)
                at.append(due + (o.spreadMs > 0 ? delay(delays) : 0.0));
            const int first = int(std::min_element(at.cbegin(), at.cend()) - at.cbegin());
            for (int k = 0; k < at.size(); ++k) {
                QByteArray datagram;
                datagram.reserve(o.perDatagram * record::kSize);
                for (int j = k * o.perDatagram; j < std::min(tx.records.size(), (k + 1) * o.perDatagram); ++j)
                    datagram.append(tx.records[j]);
                // Back to back: no queue, which costs the sender a fifth of its rate.
                if (o.spreadMs > 0)
                    queue.push({at[k], serial++, datagram, k == first ? truthRows : -1});
                else
                    enqueue(datagram);
            }
            if (o.spreadMs > 0)
                unsent.insert(truthRows++, tx);
            else
                firstSent.append(tx);
            records += tx.records.size();
            datagrams += o.spreadMs > 0 ? 0 : at.size();
        }
        while (!queue.empty() && queue.top().at <= now) {
            enqueue(queue.top().datagram);
            if (queue.top().truth >= 0)
                firstSent.append(unsent.take(queue.top().truth));
            queue.pop();
            ++datagrams;
        }
        if ((toFile ? capture.queued() : sender.queued()) == 0) { // then firstSent is empty too
            double wake = queue.empty() ? next / o.transmissionRate : queue.top().at;
            if (next < total)
                wake = std::min(wake, next / o.transmissionRate);
            if (toFile)
                simulated = std::max(simulated, wake);
            else
                std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(wake)));
            continue;
        }
        qint64 sentUs = 0;
        if (toFile) {
            // Everything queued is due now: the simulated clock only ever
            // moves to the next datagram or transmission due.
            const qint64 stampNs = startUs * 1000 + std::llround(now * 1e9);
            sentUs = stampNs / 1000;
            bool written = true;
            refused += capture.flush(stampNs, &written);
            if (!written)
                fail(QStringLiteral("cannot write %1: %2").arg(o.pcap, capture.errorString()));
        } else {
            sentUs = wallMicros();
            refused += sender.flush();
        }
        if (!o.truth.isEmpty()) {
            for (const sim::Transmission &tx : firstSent) {
                truth << sentUs << ',' << tx.tagId.toHex().toUpper() << ',' << tx.sequence << ','
                      << QString::number(tx.x, 'f', 4) << ',' << QString::number(tx.y, 'f', 4) << ','
                      << QString::number(tx.z, 'f', 4);
                if (withObstacles) {
                    truth << ',';
                    for (int b = 0; b < tx.blocked.size(); ++b)
                        truth << (b > 0 ? " " : "") << site.anchors[tx.blocked[b].anchor].id.toHex().toUpper();
                }
                truth << '\n';
            }
        }
        firstSent.clear();
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    truth.flush();
    if (toFile && !capture.close())
        fail(QStringLiteral("cannot write %1: %2").arg(o.pcap, capture.errorString()));
    if (!o.quiet) {
        if (toFile)
            std::fprintf(stderr, "solver_sim: %s spans %.3f s\n", qPrintable(o.pcap), simulated);
        std::fprintf(stderr,
                     "solver_sim: %s %lld transmissions, %lld records in %lld datagrams in %.2f s "
                     "(%.0f records/s), %lld refused, %lld tags in all\n",
                     toFile ? "wrote" : "sent", static_cast<long long>(next), static_cast<long long>(records),
                     static_cast<long long>(datagrams), elapsed, elapsed > 0 ? records / elapsed : 0.0,
                     static_cast<long long>(refused), static_cast<long long>(tagsInAll));
        if (o.settings.obstacles.perMinute > 0)
            std::fprintf(stderr, "solver_sim: %d obstacle episodes (%s, %d anchor(s) each, %.1f s)\n",
                         simulator.obstacleEpisodes(), sim::materialModel(o.settings.obstacles.material).name,
                         o.settings.obstacles.anchorsPerEpisode, o.settings.obstacles.seconds);
    }
    return 0;
}
