// config.ini as two writers meet it (the program and an administrator's editor, or another writer holding the lock),
// PAN identifiers of every plane of Unicode written and read back, and the senders a site allows to configure.
#include "api/api_request_senders.h"
#include "api/api_udp_socket_thread.h"
#include "common/config_file.h"
#include "tests/support/test_support.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

namespace {

const QByteArray kInvalid = R"({"INVALID_PARAMETER":1010})";
const QString kIni = QStringLiteral("[network_setting]\nremote_udp_server_parameters_configuration_ip=127.0.0.1\n"
                                    "[tag_high]\ntag1=1.2\n[pan_id]\nPANID=1A2B\n");

QByteArray setPanId(const QByteArray &panIdJson)
{
    return R"({"REQUEST":"SetPANID","content":[{"PANID":)" + panIdJson + "}]}";
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// How the hand edit of a row reaches the file while the program writes it.
enum class Edit { Rename, InPlaceLonger, InPlaceSameSizeLaterTime };
Edit g_edit = Edit::Rename;
std::atomic<int> g_hookCalls{0};

// An administrator's change, made once: tag1 1.2 -> 1.7 and a comment line.
void handEdit(const QString &target)
{
    if (g_hookCalls++ != 0)
        return;
    QByteArray text = readFile(target);
    const QByteArray path = QFile::encodeName(target);
    switch (g_edit) {
    case Edit::Rename: { // most editors: a new file renamed over the old one
        text.replace("tag1=1.2", "tag1=1.7").append("; surveyed again\n");
        const QByteArray temp = path + ".edit";
        QFile out(QFile::decodeName(temp));
        if (out.open(QIODevice::WriteOnly) && out.write(text) == text.size()) {
            out.close();
            ::rename(temp.constData(), path.constData());
        }
        break;
    }
    case Edit::InPlaceLonger:
        text.replace("tag1=1.2", "tag1=1.75");
        [[fallthrough]];
    case Edit::InPlaceSameSizeLaterTime: {
        text.replace("tag1=1.2", "tag1=1.7");
        QFile out(target);
        if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            out.write(text);
        out.close();
        // Within the same clock tick as the read the time may not move: moved on, as a later save would.
        struct stat st;
        if (::stat(path.constData(), &st) == 0) {
            struct timespec times[2] = {st.st_atim, st.st_mtim};
            times[1].tv_sec += 1;
            ::utimensat(AT_FDCWD, path.constData(), times, 0);
        }
        break;
    }
    }
}

} // namespace

Q_DECLARE_METATYPE(Edit)

class tst_ConfigWrite : public QObject
{
    Q_OBJECT
private slots:
    void panIdRoundTrip_data();
    void panIdRoundTrip();
    void handEditSurvivesRequest_data();
    void handEditSurvivesRequest();
    void waitsForLockHolder();
    void plantedLockLinkNotFollowed();
    void allowedSenders_data();
    void allowedSenders();
};

void tst_ConfigWrite::panIdRoundTrip_data()
{
    QTest::addColumn<QByteArray>("panIdJson");
    QTest::addColumn<QString>("stored"); // null: refused, file unchanged
    QTest::addColumn<QByteArray>("fileBytes");

    QTest::newRow("ASCII, upper-cased") << QByteArray(R"("ab12")") << QStringLiteral("AB12") << QByteArray("PANID=AB12");
    QTest::newRow("BMP letter") << QByteArray(R"("\u00e4b")") << QStringLiteral("\u00c4B")
                                << QByteArray("PANID=\xc3\x84" "B");
    QTest::newRow("emoji, escaped in JSON") << QByteArray(R"("\ud83d\ude00a1")") << QString::fromUtf8("\xF0\x9F\x98\x80" "A1")
                                            << QByteArray("PANID=\xF0\x9F\x98\x80" "A1");
    QTest::newRow("emoji, raw UTF-8, then a hex digit") << QByteArray("\"\xF0\x9F\x8E\x89" "0\"")
                                                       << QString::fromUtf8("\xF0\x9F\x8E\x89" "0")
                                                       << QByteArray("PANID=\xF0\x9F\x8E\x89" "0");
    QTest::newRow("lone high surrogate: refused") << QByteArray(R"("\ud83dA")") << QString() << QByteArray();
}

void tst_ConfigWrite::panIdRoundTrip()
{
    QFETCH(QByteArray, panIdJson);
    QFETCH(QString, stored);
    QFETCH(QByteArray, fileBytes);

    ScopedConfig config(kIni);
    ApiUdpSocketThread api;
    const QByteArray before = readFile(config.path());
    const QByteArray reply = api.apiRequestReply(setPanId(panIdJson));
    if (stored.isNull()) {
        QCOMPARE(reply, kInvalid);
        QCOMPARE(readFile(config.path()), before);
        return;
    }
    QJsonObject expected;
    expected.insert(QStringLiteral("PANID"), stored);
    QCOMPARE(QJsonDocument::fromJson(reply).object(), expected);
    QVERIFY2(readFile(config.path()).contains(fileBytes + '\n'), readFile(config.path()).constData());
    QCOMPARE(ConfigFile().text(QStringLiteral("pan_id"), QStringLiteral("PANID")), stored);
    // Read back by a request as it was stored.
    QCOMPARE(api.apiRequestReply(R"({"REQUEST":"GetPANID"})"), reply);
}

void tst_ConfigWrite::handEditSurvivesRequest_data()
{
    QTest::addColumn<Edit>("edit");
    QTest::addColumn<QString>("tag1");
    QTest::newRow("editor renames a new file in") << Edit::Rename << QStringLiteral("1.7");
    QTest::newRow("edited in place, longer") << Edit::InPlaceLonger << QStringLiteral("1.75");
    QTest::newRow("edited in place, same size, later time") << Edit::InPlaceSameSizeLaterTime << QStringLiteral("1.7");
}

// The hand edit lands after the program read the file and before it replaced it: both changes are in the file.
void tst_ConfigWrite::handEditSurvivesRequest()
{
    QFETCH(Edit, edit);
    QFETCH(QString, tag1);

    ScopedConfig config(kIni);
    ApiUdpSocketThread api;
    g_edit = edit;
    g_hookCalls = 0;
    ConfigFile::setBeforeReplaceHookForTesting(handEdit);
    const QByteArray reply = api.apiRequestReply(setPanId(R"("cd34")"));
    ConfigFile::setBeforeReplaceHookForTesting(nullptr);

    QCOMPARE(reply, QByteArray(R"({"PANID":"CD34"})"));
    QCOMPARE(g_hookCalls.load(), 2); // read again once, and the request set anew
    const ConfigFile file;
    QCOMPARE(file.text(QStringLiteral("pan_id"), QStringLiteral("PANID")), QStringLiteral("CD34"));
    QCOMPARE(file.text(QStringLiteral("tag_high"), QStringLiteral("tag1")), tag1);
    if (edit == Edit::Rename)
        QVERIFY(readFile(config.path()).endsWith("; surveyed again\n"));
}

// Another writer holds the lock file: the write waits for it, then goes through.
void tst_ConfigWrite::waitsForLockHolder()
{
    ScopedConfig config(kIni);
    const int lock = ::open(QFile::encodeName(config.dir() + "/.config.ini.lock").constData(),
                            O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    QVERIFY(lock >= 0 && ::flock(lock, LOCK_EX) == 0);
    std::atomic<bool> written{false};
    std::thread writer([&] {
        QString error;
        written = ConfigFile::writeValues(config.path(), QStringLiteral("pan_id"), {{"PANID", "EF56"}}, &error);
    });
    // Given time enough to have written were it not waiting.
    QTest::qWait(300);
    const bool changedWhileLocked = config.read().contains(QStringLiteral("EF56"));
    ::close(lock);
    writer.join();
    QVERIFY(!changedWhileLocked);
    QVERIFY(written.load());
    QVERIFY(config.read().contains(QStringLiteral("PANID=EF56")));
}

// A link planted where the lock file goes is neither followed nor created through: the write fails.
void tst_ConfigWrite::plantedLockLinkNotFollowed()
{
    ScopedConfig config(kIni);
    QTemporaryDir elsewhere;
    const QString victim = elsewhere.path() + "/victim";
    QVERIFY(QFile::link(victim, config.dir() + "/.config.ini.lock"));
    const QByteArray before = readFile(config.path());
    QString error;
    QVERIFY(!ConfigFile::writeValues(config.path(), QStringLiteral("pan_id"), {{"PANID", "EF56"}}, &error));
    QVERIFY2(error.contains(QStringLiteral("lock file")), qPrintable(error));
    QVERIFY(!QFileInfo::exists(victim));
    QCOMPARE(readFile(config.path()), before);
}

void tst_ConfigWrite::allowedSenders_data()
{
    QTest::addColumn<QString>("endpoint");
    QTest::addColumn<QString>("allow");
    QTest::addColumn<QStringList>("refused"); // parts of allow logged and left out
    QTest::addColumn<QStringList>("allowed");
    QTest::addColumn<QStringList>("ignored");

    const QStringList none;
    QTest::newRow("endpoint alone") << "127.0.0.1" << QString() << none
                                    << QStringList{"127.0.0.1", "::ffff:127.0.0.1"}
                                    << QStringList{"127.0.0.2", "::1", "::ffff:127.0.0.2", "10.0.0.1"};
    QTest::newRow("IPv6 endpoint") << "fd00::7" << QString() << none << QStringList{"fd00::7"}
                                   << QStringList{"fd00::8", "127.0.0.1"};
    QTest::newRow("mapped endpoint counts as IPv4") << "::ffff:10.1.2.3" << QString() << none
                                                    << QStringList{"10.1.2.3", "::ffff:10.1.2.3"}
                                                    << QStringList{"10.1.2.4"};
    QTest::newRow("list of addresses and prefixes")
        << "127.0.0.1" << "10.1.2.0/24, fd00::/64,192.0.2.9" << none
        << QStringList{"127.0.0.1", "10.1.2.200", "::ffff:10.1.2.1", "fd00::1:2", "192.0.2.9"}
        << QStringList{"10.1.3.1", "fd00:0:0:1::1", "192.0.2.10"};
    QTest::newRow("bad parts refused, the rest applies")
        << "127.0.0.1" << "10.1.2.0/33,host.invalid, 127.0.0.2 ,fd00::/129,10.9.0.0/16" << QStringList{"10.1.2.0/33", "host.invalid", "fd00::/129"}
        << QStringList{"127.0.0.2", "10.9.200.1"} << QStringList{"10.1.2.1", "127.0.0.3"};
    QTest::newRow("no endpoint: nobody") << QString() << QString() << none << QStringList()
                                         << QStringList{"127.0.0.1", "::1"};
}

void tst_ConfigWrite::allowedSenders()
{
    QFETCH(QString, endpoint);
    QFETCH(QString, allow);
    QFETCH(QStringList, refused);
    QFETCH(QStringList, allowed);
    QFETCH(QStringList, ignored);

    // Through config.ini as the program reads it: the list quoted, as its commas require.
    ScopedConfig config("[network_setting]\nremote_udp_server_parameters_configuration_ip=" + endpoint
                        + "\nparameters_configuration_allow=\"" + allow + "\"\n");
    ApiRequestSenders senders;
    senders.addHost(endpoint);
    QCOMPARE(senders.addList(allow), refused);
    const ApiUdpSocketThread api;
    QCOMPARE(api.requestSenders().describe(), senders.describe());
    for (const QString &address : qAsConst(allowed))
        QVERIFY2(api.requestSenders().allows(QHostAddress(address)), qPrintable(address));
    for (const QString &address : qAsConst(ignored))
        QVERIFY2(!api.requestSenders().allows(QHostAddress(address)), qPrintable(address));
}

QTEST_GUILESS_MAIN(tst_ConfigWrite)
#include "tst_config_write.moc"
