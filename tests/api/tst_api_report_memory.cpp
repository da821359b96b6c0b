#include "../support/test_support.h"
#include "api/api_json.h"
#include "common/config_file.h"

#include <QFile>
#include <QJsonDocument>
#include <QTest>

// A long run of reports: the report document keeps no trace of the values it
// replaced (Qt 5's JSON object does, about 55 bytes a report) and stays right.
class tst_ApiReportMemory : public QObject
{
    Q_OBJECT
private slots:
    void memoryStaysFlat();
};

namespace {
long residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}
} // namespace

void tst_ApiReportMemory::memoryStaysFlat()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__has_feature)
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
    QSKIP("freed memory sits in AddressSanitizer's quarantine");
#endif
#endif
    const ScopedConfig config(QStringLiteral("[coordinate_reference]\ncoordinate_reference_x=116.25\n"));
    ApiJson json = ApiJson::fromConfig(ConfigFile());
    const QByteArray telemetry(26, '\x11');
    const auto reports = [&](int count) {
        for (int i = 0; i < count; ++i)
            json.indoorLocationData().setTagMessage(QStringLiteral("0A1B2C3D4E%1").arg(i % 100, 2, 10, QLatin1Char('0')),
                                                     i, -i, telemetry);
    };
    reports(5000);
    const long before = residentKb();
    reports(100000);
    QVERIFY2(residentKb() - before < 1500, qPrintable(QString::number(residentKb() - before))); // 5.5 MB without the fix
    QCOMPARE(json.getMessagesJson(), QJsonDocument(json.getMessages()).toJson(QJsonDocument::Compact));
    QVERIFY(json.getMessagesJson().contains("\"coordx\":99999,\"coordy\":-99999"));
}

QTEST_GUILESS_MAIN(tst_ApiReportMemory)
#include "tst_api_report_memory.moc"
