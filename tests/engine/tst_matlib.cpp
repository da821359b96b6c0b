#include "engine/matlib.h"
#include "engine_test_util.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <cstring>

using enginetest::StdoutCapture;

namespace {

struct Freer {
    void operator()(double *m) const { std::free(m); }
};
using Owned = std::unique_ptr<double, Freer>;

QString matrixText(const double *m, int count)
{
    QStringList parts;
    for (int i = 0; i < count; ++i)
        parts << QString::number(m[i], 'g', 12);
    return parts.join(QLatin1Char(' '));
}

QByteArray writeFile(const QTemporaryDir &dir, const QByteArray &content)
{
    const QString path = dir.path() + QStringLiteral("/m.csv");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write the test matrix file");
    return path.toLocal8Bit();
}

bool near(const double *m, const QVector<double> &expected, double tolerance = 1e-12)
{
    for (int i = 0; i < expected.size(); ++i)
        if (std::fabs(m[i] - expected[i]) > tolerance)
            return false;
    return true;
}

} // namespace

class tst_Matlib : public QObject
{
    Q_OBJECT

private slots:
    void productAndTranspose();
    void refusals();
    void determinant_data();
    void determinant();
    void inverse_data();
    void inverse();
    void fileRoundTrip();
    void fileEdgeCases_data();
    void fileEdgeCases();
    void unopenableFiles();
    void parseStopsAtBuffers();
};

void tst_Matlib::productAndTranspose()
{
    // (2 x 3) . (3 x 2)
    double a[] = {1, 2, 3, 4, 5, 6};
    double b[] = {7, 8, 9, 10, 11, 12};
    const Owned c(MatMul_S(a, 2, 3, b, 3, 2));
    QVERIFY2(near(c.get(), {58, 64, 139, 154}), qPrintable(matrixText(c.get(), 4)));

    const Owned t(MatT_S(a, 2, 3)); // 3 x 2: ((1,4),(2,5),(3,6))
    QVERIFY2(near(t.get(), {1, 4, 2, 5, 3, 6}), qPrintable(matrixText(t.get(), 6)));
}

void tst_Matlib::refusals()
{
    // A 2 x 3 times a 2 x 2 matrix, and a singular inverse: null and a printed line.
    double a[6] = {1, 2, 3, 4, 5, 6};
    double b[4] = {1, 2, 3, 4};
    double singular[4] = {1, 2, 2, 4};
    StdoutCapture out;
    double *c = MatMul_S(a, 2, 3, b, 2, 2);
    double *inv = MatInv_S(singular, 2, 2);
    const QString printed = out.text();
    QVERIFY(!c && !inv);
    QVERIFY2(printed == QStringLiteral("        Damn! 矩阵不可乘!\n        Damn! 矩阵不可逆!\n"), qPrintable(printed));
}

void tst_Matlib::determinant_data()
{
    QTest::addColumn<QVector<double>>("matrix");
    QTest::addColumn<int>("n");
    QTest::addColumn<double>("det");
    QTest::newRow("0 x 0 is one") << QVector<double>{0.0} << 0 << 1.0;
    QTest::newRow("2 x 2") << QVector<double>{4, 7, 2, 6} << 2 << 10.0;
    QTest::newRow("3 x 3 odd permutations negative") << QVector<double>{2, 0, 1, 1, 3, 2, 1, 1, 2} << 3 << 6.0;
    QTest::newRow("4 x 4") << QVector<double>{1, 0, 2, -1, 3, 0, 0, 5, 2, 1, 4, -3, 1, 0, 5, 0} << 4 << 30.0;
}

void tst_Matlib::determinant()
{
    QFETCH(QVector<double>, matrix);
    QFETCH(int, n);
    QFETCH(double, det);
    const double got = MatDet_S(matrix.data(), n);
    QVERIFY2(std::fabs(got - det) < 1e-9, qPrintable(QStringLiteral("det %1, expected %2").arg(got).arg(det)));
}

void tst_Matlib::inverse_data()
{
    QTest::addColumn<QVector<double>>("matrix");
    QTest::addColumn<int>("n");
    QTest::addColumn<QVector<double>>("inverse");
    QTest::newRow("2 x 2") << QVector<double>{4, 7, 2, 6} << 2 << QVector<double>{0.6, -0.7, -0.2, 0.4};
    // Checks the adjugate is the transpose of the cofactors, not the cofactors.
    QTest::newRow("3 x 3 unsymmetric") << QVector<double>{1, 2, 3, 0, 1, 4, 5, 6, 0} << 3
                                       << QVector<double>{-24, 18, 5, 20, -15, -4, -5, 4, 1};
}

void tst_Matlib::inverse()
{
    QFETCH(QVector<double>, matrix);
    QFETCH(int, n);
    QFETCH(QVector<double>, inverse);
    const Owned inv(MatInv_S(matrix.data(), n, n));
    QVERIFY(inv);
    QVERIFY2(near(inv.get(), inverse, 1e-12), qPrintable(matrixText(inv.get(), n * n)));
}

void tst_Matlib::fileRoundTrip()
{
    QTemporaryDir dir;
    const QByteArray path = (dir.path() + QStringLiteral("/m.csv")).toLocal8Bit();
    double a[] = {1, 2, 3, 4};
    QCOMPARE(MatWrite_S(path.constData(), a, 2, 2), 0);
    QFile file(QString::fromLocal8Bit(path));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("1.000000,2.000000\n3.000000,4.000000\n"));

    StdoutCapture out;
    const Owned m(MatRead_S(const_cast<char *>(path.constData())));
    const QString printed = out.text();
    QVERIFY(m);
    QVERIFY2(near(m.get(), {1, 2, 3, 4}), qPrintable(matrixText(m.get(), 4)));
    QVERIFY2(printed.contains(QStringLiteral("数组行数：2\n")) && printed.contains(QStringLiteral("数组列数：2\n")),
             qPrintable(printed));
}

void tst_Matlib::fileEdgeCases_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("cols");
    QTest::addColumn<QVector<double>>("values");
    QTest::newRow("last line without newline loses its last value")
        << QByteArray("1,2\n3,4") << 2 << 2 << QVector<double>{1, 2, 3, 0};
    QTest::newRow("short line leaves zeros") << QByteArray("1,2,3\n4\n") << 2 << 3 << QVector<double>{1, 2, 3, 4, 0, 0};
    QTest::newRow("extra values of a line are dropped")
        << QByteArray("1,2\n3,4,5,6\n7,8\n") << 3 << 2 << QVector<double>{1, 2, 3, 4, 7, 8};
    // A line longer than the buffer counts once; its cut tail is no row.
    QByteArray longLine = "5,";
    longLine += QByteArray(5000, '1') + ",9\n6,7\n";
    QTest::newRow("over-long line is cut, still one row")
        << longLine << 2 << 2 << QVector<double>{5, 0, 6, 7};
    // Over-long value text reads as 0.0, not as a truncated number.
    QTest::newRow("over-long value reads as zero")
        << (QByteArray(200, '1') + ",2\n") << 1 << 2 << QVector<double>{0, 2};
}

void tst_Matlib::fileEdgeCases()
{
    QFETCH(QByteArray, content);
    QFETCH(int, rows);
    QFETCH(int, cols);
    QFETCH(QVector<double>, values);
    QTemporaryDir dir;
    const QByteArray path = writeFile(dir, content);

    StdoutCapture out;
    QCOMPARE(FileReadRow_S(path.constData()), rows);
    QCOMPARE(FileReadCol_S(path.constData()), cols);
    const Owned m(MatRead_S(const_cast<char *>(path.constData())));
    out.text();
    QVERIFY(m);
    QVERIFY2(near(m.get(), values), qPrintable(matrixText(m.get(), rows * cols)));
}

void tst_Matlib::unopenableFiles()
{
    StdoutCapture out;
    char missing[] = "/nonexistent-dir/m.csv";
    QCOMPARE(FileReadRow_S(missing), 0);
    QCOMPARE(FileReadCol_S(missing), 0);
    QVERIFY(!MatRead_S(missing));
    double a[] = {1};
    QVERIFY2(MatWrite_S(missing, a, 1, 1) != 0, "a failed write must not report success");

    QTemporaryDir dir;
    const QByteArray empty = writeFile(dir, QByteArray());
    QVERIFY2(!MatRead_S(const_cast<char *>(empty.constData())), "an empty file holds no matrix");
    out.text();
}

void tst_Matlib::parseStopsAtBuffers()
{
    // 200 values into an output of 4: only the first 4 are written.
    QByteArray line;
    for (int i = 0; i < 200; ++i)
        line += QByteArray::number(i + 1) + ',';
    double out[5] = {0, 0, 0, 0, -1};
    GetCommaData_S(line.data(), out, 4);
    QVERIFY2(near(out, {1, 2, 3, 4, -1}), qPrintable(matrixText(out, 5)));

    char text[] = "1.5,-2\n";
    double two[2] = {0, 0};
    GetCommaData_S(text, two, 2);
    QVERIFY2(near(two, {1.5, -2}), qPrintable(matrixText(two, 2)));
}

QTEST_APPLESS_MAIN(tst_Matlib)
#include "tst_matlib.moc"
