// What a real site throws at the engine: an anchor sending before it is configured and then configured at run time,
// identifiers that come and go, config.ini writes that fail or meet a malformed file, non-finite numbers. The
// algorithm thread's registration of tags and anchors, and its maintenance pass.

#include "api/api_udp_socket_thread.h"
#include "common/config_file.h"
#include "engine/algorithm_thread.h"
#include "store/tags.h"
#include "tests/engine/engine_test_util.h"
#include "tests/support/test_support.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <limits>
#include <sys/resource.h>
#include <sys/wait.h>

using namespace enginetest;

namespace {

// Anchors 1 to 4 of the hall are configured; anchor 5 sends too.
const QString kAnchor5 = QStringLiteral(R"({"REQUEST":"SetAnchorsXYZ","content":[{"anchor_imei":"%1","x":5,"y":12,"z":3}]})");
qint64 g_now = 0;
qint64 fakeNow() { return g_now; }

QVector<QByteArray> transmission(int tag, int seq) { return hallTransmission(tagId(tag), seq); }

QString hallIni(const QString &algorithmLines = QString()) { return iniText(kHall.mid(0, 4), 1.2, algorithmLines); }

} // namespace

class tst_Field : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void unconfiguredAnchorThenAddedDuringTraffic();
    void tagExpiryAndLimit();
    void fileSizeLimitStoresNothing();
    void nonFiniteNumbersAndLongKeysInConfig();
    void configWriteRoundTrip();
    void registrationThenOneSolvePerSet();
    void maintenancePassDropsIdleTags_data();
    void maintenancePassDropsIdleTags();

private:
    QScopedPointer<ScopedConfig> hall; // the hall with active_time=5, for tests that set none of their own
};

void tst_Field::init()
{
    // An empty store: every tag of an earlier test expires.
    g_now = std::numeric_limits<qint64>::max() / 2;
    Tags::setArrivalClock(fakeNow);
    g_tags_object.tagsRemoveExpired();
    Tags::setArrivalClock(nullptr);
    g_tags_object.delayWindow = 1;
    fifoClear();
    hall.reset(new ScopedConfig(iniText(kHall, 1.2, QStringLiteral("active_time=5\n"))));
    std::lock_guard<std::mutex> lock(g_timer_thread_mutex);
    g_anchor_online_lists.clear();
    g_tag_online_lists.clear();
}

void tst_Field::unconfiguredAnchorThenAddedDuringTraffic()
{
    ScopedConfig config(hallIni());
    AlgorithmThread thread;
    ApiUdpSocketThread api;
    connect(&api, &ApiUdpSocketThread::apiAnchorsChangedSignal, &thread,
            &AlgorithmThread::algoThreadAnchorsChangedSlot, Qt::DirectConnection);
    std::atomic<int> solved{0};
    connect(&thread, &AlgorithmThread::algoThreadSendTagMsgToRemoteSignal, &thread, [&] { ++solved; },
            Qt::DirectConnection);
    LogCapture log;
    struct Joined {
        AlgorithmThread &thread;
        ~Joined() { thread.algoThreadStop(), thread.wait(); }
    } joined{thread};
    thread.start();
    const auto send = [](int from, int to) {
        for (int seq = from; seq <= to; ++seq)
            fifoAppend(transmission(1, seq).constData(), 5);
    };
    send(1, 20);
    // Transmission 1 registers the tag and its anchors; 2 to 19 are solved.
    QTRY_COMPARE(solved.load(), 18);
    QCOMPARE(log.lines().filter(QStringLiteral("anchors = 4 ")).size(), 18);
    QCOMPARE(log.lines().filter(QStringLiteral("records of anchors without coordinates dropped: 1 so far, anchors ")
                                + anchorKey(5)).size(), 1);

    QVERIFY(api.apiRequestReply(kAnchor5.arg(anchorKey(5)).toUtf8()).contains(anchorKey(5).toUtf8()));
    send(21, 40);
    // 20 and 21 still without anchor 5 (its first record registers it), 22 to 39 with it.
    QTRY_COMPARE(solved.load(), 38);
    QCOMPARE(log.lines().filter(QStringLiteral("anchors = 5 ")).size(), 18);
    QCOMPARE(log.count(QStringLiteral("anchor coordinates changed: 5 anchors, centre (5.00,5.00)")), 1);
    thread.algoThreadStop();
    thread.wait();
    QCOMPARE(thread.droppedUnconfiguredAnchor, quint64(20));
}

void tst_Field::tagExpiryAndLimit()
{
    ScopedConfig config(hallIni(QStringLiteral("tag_expiry_time=10\ntag_limit=2\nnlos_rejection=true\ntrack_filter=true\n")));
    g_now = 1000;
    Tags::setArrivalClock(fakeNow);
    AlgorithmThread thread;
    LogCapture log;
    const auto feed = [&thread](int tag, int seq) {
        for (const QByteArray &r : transmission(tag, seq))
            thread.pollFifoData(r);
    };
    const auto limitLines = [&log] { return log.lines().filter(QStringLiteral("tag_limit 2 reached")).size(); };
    const quint64 droppedBefore = g_tags_object.droppedTagLimit; // the store outlives the test
    feed(1, 1), feed(2, 1), feed(3, 1), feed(3, 2);
    QCOMPARE(g_tags_object.tagMessages.size(), 2);
    QCOMPARE(g_tags_object.droppedTagLimit - droppedBefore, quint64(8));
    QCOMPARE(limitLines(), 1);

    g_now += 8000; // tag 2 is heard again and solved; tag 1, stored before it, stays silent
    feed(2, 2), feed(2, 3);
    QVERIFY(thread.algo.nlos.nlosTrackedTags() == 1 && thread.algo.track.trackedTags() == 1);
    g_now += 2000; // tag 1 silent for 10 s: it goes, and tag 2 moves into its place
    thread.algoThreadExpireTags();
    QCOMPARE(g_tags_object.tagsFindTag(tagId(1)), -1);
    QCOMPARE(g_tags_object.tagsFindTag(tagId(2)), 0);
    feed(2, 4);
    QVERIFY2(g_tags_object.tagMessages.size() == 1, "the moved tag is found again, not registered anew");
    g_now += 9000;
    thread.algoThreadExpireTags();
    QCOMPARE(g_tags_object.tagMessages.size(), 1);
    g_now += 1000;
    thread.algoThreadExpireTags();
    QVERIFY2(g_tags_object.tagMessages.isEmpty() && thread.algo.tagLastXyz.isEmpty()
                 && thread.algo.nlos.nlosTrackedTags() == 0 && thread.algo.track.trackedTags() == 0,
             "solutions, evidence and track go with the tag");

    feed(3, 4), feed(4, 1), feed(5, 1);
    QVERIFY(g_tags_object.tagsFindTag(tagId(3)) >= 0);
    QCOMPARE(limitLines(), 1); // within the minute
    g_now += 60000;
    feed(5, 2);
    QCOMPARE(limitLines(), 2);
    Tags::setArrivalClock(nullptr);
}

// A write that the file-size limit stops leaves config.ini as it was, and no temporary file.
void tst_Field::fileSizeLimitStoresNothing()
{
    ScopedConfig config(QStringLiteral("; site file\n[pan_id]\nPANID=1234\n"));
    const QString before = config.read();
    ApiUdpSocketThread api;
    // A limit that holds for root too, in a child so it binds nothing else.
    const pid_t child = fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{rlim_t(before.size()), RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &limit);
        const bool answered = api.apiRequestReply(kAnchor5.arg("00000000FFFF").toUtf8()) == R"({"INVALID_PARAMETER":1010})";
        limit.rlim_cur = RLIM_INFINITY; // for the coverage profile, when there is one
        setrlimit(RLIMIT_FSIZE, &limit);
        exitChild(answered ? 0 : 1);
    }
    int status = -1;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, "answered as invalid");
    QCOMPARE(config.read(), before);
    // config.ini and the writers' lock file: no temporary file left.
    QCOMPARE(QDir(config.dir()).entryList(QDir::Files | QDir::Hidden),
             (QStringList{QStringLiteral(".config.ini.lock"), QStringLiteral("config.ini")}));
}

void tst_Field::nonFiniteNumbersAndLongKeysInConfig()
{
    ScopedConfig config(QStringLiteral("[anchor_coordinate]\n0A1B2C3D4E5F77=\"nan,1e999,2\"\n"
                                       "[coordinate_reference]\ncoordinate_reference_x=inf\n"));
    const AnchorGeometry geometry = algorithm::algoReadGeometry(false);
    QCOMPARE(geometry.anchorCount, 1);
    QCOMPARE(idText(geometry.anchorImeiList.first().imei), QStringLiteral("0A1B2C3D4E5F"));
    const AnchorXYZ xyz = geometry.anchorXyzMap.first();
    QVERIFY2(xyz.x == 0 && xyz.y == 0 && xyz.z == 2, "nan and 1e999 read as 0");
    QCOMPARE(ConfigFile().real(QStringLiteral("coordinate_reference"), QStringLiteral("coordinate_reference_x")), 0.0);
    ApiUdpSocketThread api;
    QCOMPARE(api.apiGetAnchorsLists().value("anchors_lists").toArray().first().toObject().value("y").toDouble(), 0.0);
}

void tst_Field::configWriteRoundTrip()
{
    // Read back as written: escapes, control characters, quoting, non-ASCII keys; the second write
    // replaces the first's lines. Keys with broken escapes in the file are kept as they stand.
    ScopedConfig config(QStringLiteral("; site file\n[pan_id]\nPANID=1\n%UZZZZ=1\n%G1=2\n"));
    QFile stale(config.dir() + QStringLiteral("/.config.ini.Ab12Cd")); // left by a killed writer
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.close();
    const QStringList keys{QStringLiteral("PANID"), QStringLiteral("k\u00e9y/\u20ac x"), QStringLiteral("%UZZ%G")};
    for (const QString &tail : {QStringLiteral("1 "), QStringLiteral("2")}) {
        const QString value = QStringLiteral("@a\"b\\c\n\t\a\b\f\v\r") + QChar(1) + QChar(0)
                              + QStringLiteral("1\u00e9\u20ac,;=") + tail;
        ConfigFile::KeyValues values;
        for (const QString &key : keys)
            values.append({key, value});
        QString error;
        QVERIFY2(ConfigFile::writeValues(config.path(), QStringLiteral("pan_id"), values, &error), qPrintable(error));
        QSettings settings(config.path(), QSettings::IniFormat);
        settings.setIniCodec("UTF-8");
        for (const QString &key : keys)
            QCOMPARE(settings.value(QStringLiteral("pan_id/") + key).toString(), value);
    }
    QCOMPARE(config.read().count(QStringLiteral("=")), 3 + 3 + 2); // a line per key, a '=' in each value
    QVERIFY2(!stale.exists(), "a killed writer's temporary file is removed");

    // Paths that cannot be replaced: a directory, a directory that is missing.
    QString error;
    QVERIFY(!ConfigFile::writeValues(config.dir(), QStringLiteral("pan_id"), {{"PANID", "3"}}, &error));
    QVERIFY(!ConfigFile::writeValues(config.dir() + "/gone/config.ini", QStringLiteral("pan_id"), {{"PANID", "3"}},
                                     &error));
    QVERIFY2(error.startsWith(QStringLiteral("open the lock file")), qPrintable(error));
}

void tst_Field::registrationThenOneSolvePerSet()
{
    AlgorithmThread thread;
    QSignalSpy spy(&thread, &AlgorithmThread::algoThreadSendTagMsgToRemoteSignal);
    LogCapture log;
    const TAG_IMEI_t tag = tagId(1);
    // Transmission 9 carries one timestamp 200 km out of line: no position.
    const QVector<QByteArray> records = hallTransmission(tag, 7) + hallTransmission(tag, 8)
                                        + hallTransmission(tag, 9, {0, 0, 200000.0, 0, 0})
                                        + hallTransmission(tag, 10).mid(0, 1);
    for (const QByteArray &r : records)
        thread.pollFifoData(r);
    QCOMPARE(log.count("NEW TAG -> " + idText(tag.imei)), 1);
    QCOMPARE(log.count("new anchor add -> " + anchorKey(2) + ' '), 1);
    QCOMPARE(g_anchor_online_lists.size(), 5);
    QCOMPARE(g_tag_online_lists, QSet<QByteArray>({idBytes(tag)}));
    QCOMPARE(log.count("lock synchronize failed!!"), 1);
    QCOMPARE(log.count("algoTaylor divergence!!!"), 1);

    // Registration records never count: only transmission 8 gave a position.
    QCOMPARE(spy.size(), 1);
    const QList<QVariant> args = spy.takeFirst();
    QCOMPARE(idBytes(args.at(0).value<TAG_IMEI_t>()), idBytes(tag));
    QVERIFY(qAbs(args.at(1).toDouble() - 3) < 0.001 && qAbs(args.at(2).toDouble() - 4) < 0.001);
    QCOMPARE(args.at(3).toDouble(), 1.2);
    QCOMPARE(args.at(4).toByteArray(), record::telemetry(records.at(5)));
    QString anchors;
    for (int n = 1; n <= 5; ++n)
        anchors += anchorKey(n) + ' ';
    QCOMPARE(log.count(QStringLiteral("(taylor) -> tag_imei:%1 = (3.00,4.00), anchors = 5 lists = %2")
                           .arg(idText(tag.imei), anchors)), 1);
}

void tst_Field::maintenancePassDropsIdleTags_data()
{
    QTest::addColumn<int>("activeTime");
    QTest::addColumn<qint64>("idleMs");
    QTest::addColumn<bool>("dropped");
    QTest::newRow("idle exactly active_time") << 5 << qint64(5000) << true;
    QTest::newRow("idle 4 s of 5") << 5 << qint64(4000) << false;
    // Whole seconds are compared: 95.001 s and 100.000 s are seconds 95 and 100.
    QTest::newRow("idle 4.999 s of 5 across five seconds") << 5 << qint64(4999) << true;
    QTest::newRow("active_time 0 drops at once") << 0 << qint64(0) << true;
}

void tst_Field::maintenancePassDropsIdleTags()
{
    QFETCH(int, activeTime);
    QFETCH(qint64, idleMs);
    QFETCH(bool, dropped);
    AlgorithmThread thread;
    thread.timer1s->stop(); // passes are driven by hand
    thread.activeTime = activeTime;
    qint64 now = 100000;
    thread.algo.setMonotonicClock([&now] { return now; });
    const TAG_IMEI_t idle = tagId(30), fresh = tagId(31);
    thread.algo.smoothWindow[idle] = thread.algo.smoothWindow[fresh] = {TAG_XYZ_t{3, 4, 1.2}};
    thread.algo.smoothLastTime[idle] = now - idleMs;
    thread.algo.smoothLastTime[fresh] = now + 1; // just accepted
    LogCapture log;
    {
        std::lock_guard<std::mutex> busy(g_timer_1s_mutex);
        thread.timer1sUpDate(); // a busy filter makes the pass skip, never wait
    }
    QCOMPARE(thread.algo.smoothLastTime.size(), 2);
    thread.timer1sUpDate();
    QCOMPARE(!thread.algo.smoothLastTime.contains(idle) && !thread.algo.smoothWindow.contains(idle), dropped);
    QVERIFY(thread.algo.smoothLastTime.contains(fresh) || activeTime == 0);
    QCOMPARE(log.count(QStringLiteral("%1s have not xyz, current active_len=2, then remove tag:%2")
                           .arg(activeTime).arg(idText(idle.imei))), dropped ? 1 : 0);
    QCOMPARE(log.count("tag virtual removed: " + idText(idle.imei)), dropped ? 1 : 0);
}

QTEST_MAIN(tst_Field)
#include "tst_field.moc"
