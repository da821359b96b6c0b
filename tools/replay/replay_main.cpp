// solver_replay: runs the anchor datagrams of a capture (pcap or pcapng)
// through the program's own pipeline (classification, FIFO, tag store,
// solver, NLOS rejection, filters, report formatting) on the capture's time,
// and writes or sends the position reports. The same capture and
// configuration give the same bytes every time.
#include "api/api_json.h"
#include "api/mqtt_publisher.h"
#include "common/common_function.h"
#include "common/config_file.h"
#include "common/global_data.h"
#include "common/metrics.h"
#include "engine/algorithm_thread.h"
#include "ingest/anchor_datagram_batch.h"
#include "ingest/anchor_udp_socket_thread.h"
#include "store/tags.h"
#include "tools/common/tool_fail.h"
#include "tools/replay/capture_reader.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QUdpSocket>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>

namespace {

// The capture's time as every clock of the pipeline reads it: the newest
// capture timestamp so far (a capture may step back a little between
// interfaces; the engine's clocks never do).
qint64 g_captureNs = 0;
qint64 captureNs() { return g_captureNs; }
qint64 captureMs() { return g_captureNs / 1000000; }
std::time_t captureSeconds() { return std::time_t(g_captureNs / 1000000000); }

constexpr qint64 kMaintenancePeriodNs = 1000000000; // the program's one-second timer
// A gather window of the receive thread, and the records the algorithm
// thread takes at once.
constexpr qint64 kGatherNs = qint64(AnchorUdpSocketThread::kGatherWindowUs) * 1000;
constexpr int kGatherRecords = 128;

[[noreturn]] void fail(const QString &message) { toolFail("solver_replay", message); }

struct Options {
    QString config;
    QString capture;
    quint16 port = 0;
    double speed = 1.0; // 0: as fast as possible
    bool fast = false;
    QString out;
    bool send = false;
    QString from;
    QString to;
    QByteArray tag; // 6 bytes; empty: every tag
};

// A --from/--to value: seconds after the first packet, or a local date-time.
// Null when absent; fails on a value of neither form.
qint64 timeLimitNs(const QString &text, const char *option, qint64 firstNs, bool *set)
{
    *set = !text.isEmpty();
    if (!*set)
        return 0;
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (ok && std::isfinite(seconds))
        return firstNs + qint64(std::llround(seconds * 1e9));
    QDateTime at = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!at.isValid())
        fail(QStringLiteral("--%1 needs seconds from the capture's start or a date-time like 2026-12-07T14:02:00, "
                            "not \"%2\"")
                 .arg(QLatin1String(option), text));
    return at.toMSecsSinceEpoch() * 1000000;
}

Options parseOptions(const QCoreApplication &app)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Replays the anchor datagrams of a pcap or pcapng capture through the engine's own pipeline, on the "
        "capture's time, and writes or sends the position reports."));
    p.addHelpOption();
    p.addOptions({
        {QStringLiteral("config"), QStringLiteral("The site's config.ini, read as the program reads it."),
         QStringLiteral("file")},
        {QStringLiteral("port"), QStringLiteral("Anchor port (default: local_udp_listen_anchor_port)."),
         QStringLiteral("port")},
        {QStringLiteral("speed"), QStringLiteral("Keeps the capture's pacing scaled by x (default 1)."),
         QStringLiteral("x")},
        {QStringLiteral("fast"),
         QStringLiteral("As fast as the machine allows; prints records per second and CPU per record.")},
        {QStringLiteral("out"), QStringLiteral("Writes the reports as JSON lines to file (- : standard output, "
                                               "the default)."),
         QStringLiteral("file")},
        {QStringLiteral("send"), QStringLiteral("Sends the reports to the configuration's location endpoint.")},
        {QStringLiteral("from"),
         QStringLiteral("Starts at this time: seconds from the capture's first packet, or a local date-time "
                        "(2026-12-07T14:02:00)."),
         QStringLiteral("t")},
        {QStringLiteral("to"), QStringLiteral("Ends at this time (same forms as --from)."), QStringLiteral("t")},
        {QStringLiteral("tag"), QStringLiteral("Reports of this tag only (12 hexadecimal digits)."),
         QStringLiteral("id")},
    });
    p.addPositionalArgument(QStringLiteral("capture"), QStringLiteral("The pcap or pcapng file."));
    p.process(app);

    Options o;
    o.config = p.value(QStringLiteral("config"));
    if (o.config.isEmpty())
        fail(QStringLiteral("--config is required"));
    if (!QFileInfo(o.config).isFile())
        fail(QStringLiteral("--config %1: no such file").arg(o.config));
    if (p.positionalArguments().size() != 1)
        fail(QStringLiteral("give exactly one capture file"));
    o.capture = p.positionalArguments().first();
    if (p.isSet(QStringLiteral("port"))) {
        bool ok = false;
        const uint port = p.value(QStringLiteral("port")).toUInt(&ok);
        if (!ok || port == 0 || port > 65535)
            fail(QStringLiteral("--port needs a port number 1..65535, not \"%1\"").arg(p.value(QStringLiteral("port"))));
        o.port = quint16(port);
    }
    o.fast = p.isSet(QStringLiteral("fast"));
    if (p.isSet(QStringLiteral("speed"))) {
        if (o.fast)
            fail(QStringLiteral("--speed and --fast exclude each other"));
        bool ok = false;
        o.speed = p.value(QStringLiteral("speed")).toDouble(&ok);
        if (!ok || !(o.speed > 0) || !std::isfinite(o.speed))
            fail(QStringLiteral("--speed needs a positive number, not \"%1\"").arg(p.value(QStringLiteral("speed"))));
    }
    if (o.fast)
        o.speed = 0;
    o.send = p.isSet(QStringLiteral("send"));
    o.out = p.value(QStringLiteral("out"));
    if (o.send && !o.out.isEmpty())
        fail(QStringLiteral("--out and --send exclude each other"));
    if (!o.send && o.out.isEmpty())
        o.out = QStringLiteral("-");
    o.from = p.value(QStringLiteral("from"));
    o.to = p.value(QStringLiteral("to"));
    bool set = false;
    timeLimitNs(o.from, "from", 0, &set); // only checked here: seconds count from the first packet
    timeLimitNs(o.to, "to", 0, &set);
    if (p.isSet(QStringLiteral("tag"))) {
        const QString id = p.value(QStringLiteral("tag"));
        o.tag = QByteArray::fromHex(id.toLatin1());
        if (id.size() != 12 || o.tag.size() != 6)
            fail(QStringLiteral("--tag needs 12 hexadecimal digits, not \"%1\"").arg(id));
    }
    return o;
}

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

quint64 counter(metrics::Counter c) { return metrics::value(c); }

// "name{labels} value", the words of the program's metrics.
void printCounter(metrics::Counter c)
{
    const char *labels = metrics::labelText(c);
    std::fprintf(stderr, "  %s%s%s%s %llu\n", metrics::familyName(c), *labels ? "{" : "", labels, *labels ? "}" : "",
                 static_cast<unsigned long long>(counter(c)));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("solver_replay"));
    const Options o = parseOptions(app);

    // Every reader of the pipeline reads this file, before any of them runs.
    ConfigFile::setFileForTools(QFileInfo(o.config).absoluteFilePath());
    const ConfigFile config;
    const QString network = QStringLiteral("network_setting");
    const quint16 port = o.port ? o.port : config.port(network, QStringLiteral("local_udp_listen_anchor_port"));
    if (port == 0)
        fail(QStringLiteral("no anchor port: give --port or local_udp_listen_anchor_port in %1").arg(o.config));

    CaptureReader reader;
    QString error;
    if (!reader.open(o.capture, port, &error))
        fail(error);

    QFile outFile;
    QUdpSocket sendSocket;
    QHostAddress locationAddress(config.text(network, QStringLiteral("remote_udp_server_location_ip")));
    const quint16 locationPort = config.port(network, QStringLiteral("remote_udp_server_location_port"));
    if (o.send) {
        if (locationAddress.isNull() || locationPort == 0)
            fail(QStringLiteral("--send: %1 names no location endpoint (remote_udp_server_location_ip and _port)")
                     .arg(o.config));
        if (!sendSocket.bind(QHostAddress(locationAddress.protocol() == QAbstractSocket::IPv6Protocol
                                              ? QHostAddress::AnyIPv6
                                              : QHostAddress::AnyIPv4),
                             0))
            fail(QStringLiteral("--send: no socket: %1").arg(sendSocket.errorString()));
    } else if (o.out == QLatin1String("-")) {
        if (!outFile.open(stdout, QIODevice::WriteOnly))
            fail(QStringLiteral("cannot write to standard output"));
    } else {
        outFile.setFileName(o.out);
        if (!outFile.open(QIODevice::WriteOnly | QIODevice::Truncate))
            fail(QStringLiteral("cannot write %1: %2").arg(o.out, outFile.errorString()));
    }

    // Every clock the pipeline reads is the capture's.
    Tags::setArrivalClock(captureMs);
    fifoSetClock(captureNs);
    apiSetTimeSource(captureSeconds);
    // The store was built before main; the program reads its window the same way.
    g_tags_object.delayWindow = Tags::checkedDelayWindow(
        config.integer(QStringLiteral("algorithm_config"), QStringLiteral("delay_window_1908")));
    fifoSetLimit(config.integer(network, QStringLiteral("anchor_fifo_limit")));

    AlgorithmThread engine; // never started: its passes run here
    engine.algo.setMonotonicClock(captureMs);
    ApiJson api = ApiJson::fromConfig(config);
    AnchorDatagramBatch batch;

    // With --send the reports are also published as the program publishes
    // them when [mqtt] turns that on.
    std::unique_ptr<MqttPublisher> mqtt;
    if (o.send) {
        mqtt = std::make_unique<MqttPublisher>();
        if (mqtt->mqttEnabled())
            mqtt->start();
        else
            mqtt.reset();
    }

    quint64 reports = 0, reportsOut = 0, notSent = 0;
    const auto report = [&](const TAG_IMEI_t &tag, double x, double y, double accuracy, const QByteArray &health) {
        ++reports;
        const QByteArray bytes = api.positionReport(tag, x, y, accuracy, health);
        if (!o.tag.isEmpty() && std::memcmp(o.tag.constData(), tag.imei, sizeof tag.imei) != 0)
            return;
        ++reportsOut;
        if (o.send) {
            if (sendSocket.writeDatagram(bytes, locationAddress, locationPort) < 0)
                ++notSent;
            if (mqtt)
                mqtt->mqttPublishReport(idText(tag.imei), bytes);
            return;
        }
        outFile.write(bytes);
        outFile.write("\n", 1);
    };
    QObject::connect(&engine, &AlgorithmThread::algoThreadSendTagMsgToRemoteSignal,
                     [&](TAG_IMEI_t tag, double x, double y, double, QByteArray health) {
                         report(tag, x, y, std::nan(""), health);
                     });
    QObject::connect(&engine, &AlgorithmThread::algoThreadSendTagFixToRemoteSignal,
                     [&](TAG_IMEI_t tag, double x, double y, double, double accuracy, QByteArray health) {
                         report(tag, x, y, ApiJson::reportedAccuracy(accuracy), health);
                     });

    quint64 outsideRange = 0;
    bool haveFirst = false, fromSet = false, toSet = false;
    qint64 firstNs = 0, fromNs = 0, toNs = 0, nextTimerNs = 0;
    using Clock = std::chrono::steady_clock;
    Clock::time_point paceStart;
    const double cpuStart = cpuSeconds();
    const Clock::time_point wallStart = Clock::now();
    qint64 gatherStartNs = 0;
    const auto drain = [&engine, &batch] {
        batch.flush();
        while (fifoSize() > 0)
            engine.algoThreadPass();
    };
    CaptureReader::Datagram datagram;
    while (reader.next(&datagram, &error)) {
        if (!haveFirst) {
            haveFirst = true;
            firstNs = datagram.timeNs;
            fromNs = timeLimitNs(o.from, "from", firstNs, &fromSet);
            toNs = timeLimitNs(o.to, "to", firstNs, &toSet);
        }
        if ((fromSet && datagram.timeNs < fromNs) || (toSet && datagram.timeNs > toNs)) {
            ++outsideRange;
            continue;
        }
        const qint64 t = std::max(g_captureNs, datagram.timeNs);
        if (nextTimerNs == 0) {
            nextTimerNs = t + kMaintenancePeriodNs;
            paceStart = Clock::now();
            firstNs = t;
        }
        // The datagrams of one gather window go to the FIFO together, as the
        // receive thread hands them over, on the time of the last of them.
        if (batch.pendingRecords() > 0
            && (t - gatherStartNs >= kGatherNs || batch.pendingRecords() >= kGatherRecords || t >= nextTimerNs))
            drain();
        if (o.speed > 0) {
            const auto due = paceStart + std::chrono::nanoseconds(qint64(double(t - firstNs) / o.speed));
            if (due > Clock::now()) {
                drain();
                std::this_thread::sleep_until(due);
            }
        }
        g_captureNs = t;
        // The program's one-second timer: the smoothing windows of tags gone
        // quiet. Once for a gap of many seconds: further passes at the same
        // time would find nothing more (and a capture's clock may jump years).
        if (g_captureNs >= nextTimerNs) {
            engine.timer1sUpDate();
            nextTimerNs += ((g_captureNs - nextTimerNs) / kMaintenancePeriodNs + 1) * kMaintenancePeriodNs;
        }
        if (batch.pendingRecords() == 0)
            gatherStartNs = t;
        batch.add(datagram.data, datagram.size);
    }
    drain();
    const double cpu = cpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
    if (mqtt) {
        mqtt->mqttPublisherStop();
        mqtt->wait();
    }
    if (!error.isEmpty())
        fail(QStringLiteral("%1: %2").arg(o.capture, error));
    if (outFile.isOpen() && (!outFile.flush() || outFile.error() != QFileDevice::NoError))
        fail(QStringLiteral("writing the reports failed: %1").arg(outFile.errorString()));
    outFile.close();

    // The summary, in the words of the program's counters.
    using C = metrics::Counter;
    const quint64 records = counter(C::RecordsReceived);
    std::fprintf(stderr, "solver_replay: %s, link type %s, snap length %d\n", qPrintable(o.capture),
                 qPrintable(reader.linkTypeName()), reader.snapLength());
    std::fprintf(stderr,
                 "datagrams read %llu (to port %u), frames skipped: other traffic %llu, ip fragments %llu, truncated "
                 "%llu, outside --from/--to %llu\n",
                 static_cast<unsigned long long>(reader.datagrams() - outsideRange), unsigned(port),
                 static_cast<unsigned long long>(reader.skipped(CaptureReader::Skip::OtherTraffic)),
                 static_cast<unsigned long long>(reader.skipped(CaptureReader::Skip::Fragment)),
                 static_cast<unsigned long long>(reader.skipped(CaptureReader::Skip::Truncated)),
                 static_cast<unsigned long long>(outsideRange));
    if (reader.endedInsidePacket())
        std::fprintf(stderr, "the capture ends inside its last packet (counted as truncated)\n");
    if (reader.skipped(CaptureReader::Skip::Truncated) > (reader.endedInsidePacket() ? 1u : 0u))
        std::fprintf(stderr,
                     "datagrams were cut by the capture's snap length of %d bytes: capture with -s 0 to keep them "
                     "whole\n",
                     reader.snapLength());
    for (const C c : {C::RecordsReceived, C::DatagramsMalformed, C::DroppedFifoLimit, C::DroppedTooOld,
                      C::DroppedUnconfiguredAnchor, C::DroppedTagLimit, C::DroppedArrivalSpread,
                      C::DroppedPendingEvicted, C::DroppedBehindWindow, C::DroppedSequenceReset,
                      C::TransmissionsSolved, C::FailedDivergence, C::FailedOutsideRegion, C::FailedTooFewAnchors,
                      C::FailedClockSync, C::FailedSmoothing, C::FixesGated, C::TrackRestarts})
        printCounter(c);
    std::fprintf(stderr, "reports %llu, %s %llu%s\n", static_cast<unsigned long long>(reports),
                 o.send ? "sent" : "written", static_cast<unsigned long long>(reportsOut - notSent),
                 o.send ? qPrintable(QStringLiteral(", not sent %1").arg(notSent)) : "");
    std::fprintf(stderr, "tags heard %d, held at the end %d\n", int(g_tag_online_lists.size()),
                 int(g_tags_object.tagIndexMap.size()));
    QList<QByteArray> anchors = g_anchor_online_lists.values();
    std::sort(anchors.begin(), anchors.end());
    QByteArray unconfigured;
    int configured = 0;
    for (const QByteArray &id : qAsConst(anchors)) {
        ANCHOR_IMEI_t anchor;
        std::memcpy(anchor.imei, id.constData(), sizeof anchor.imei);
        if (engine.algo.algoHasAnchor(anchor))
            ++configured;
        else
            unconfigured += ' ' + id.toHex().toUpper();
    }
    std::fprintf(stderr, "anchors heard %d, without coordinates %d%s\n", int(anchors.size()),
                 int(anchors.size()) - configured, unconfigured.constData());
    if (engine.algo.nlosEnable) {
        std::fprintf(stderr, "anchors left out by nlos_rejection:");
        bool any = false;
        for (const QByteArray &id : qAsConst(anchors)) {
            const auto *bytes = reinterpret_cast<const quint8 *>(id.constData());
            const quint64 left = metrics::anchorValue(metrics::AnchorCounter::LeftOut, bytes);
            if (left == 0)
                continue;
            const quint64 taken = metrics::anchorValue(metrics::AnchorCounter::Records, bytes);
            std::fprintf(stderr, "\n  solver_anchor_left_out_total{anchor=\"%s\"} %llu (%.1f%% of its %llu records)",
                         id.toHex().toUpper().constData(), static_cast<unsigned long long>(left),
                         taken ? 100.0 * double(left) / double(taken) : 0.0, static_cast<unsigned long long>(taken));
            any = true;
        }
        std::fprintf(stderr, "%s\n", any ? "" : " none");
    }
    if (o.fast && records > 0)
        std::fprintf(stderr,
                     "fast: %llu records in %.3f s: %.0f records/s, %.3f us CPU per record (%.0f records per CPU "
                     "second)\n",
                     static_cast<unsigned long long>(records), wall, wall > 0 ? double(records) / wall : 0.0,
                     1e6 * cpu / double(records), cpu > 0 ? double(records) / cpu : 0.0);
    return 0;
}
