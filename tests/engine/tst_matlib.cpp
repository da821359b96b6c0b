#include "engine/matlib.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QVector<double> taken(double *m, int count)
{
    const std::unique_ptr<double, void (*)(void *)> owned(m, std::free);
    return m ? QVector<double>(m, m + count) : QVector<double>();
}

} // namespace

// The solver uses product, transpose and the 2 x 2 inverse; the file
// functions are checked on the worked example and the cut buffers.
class tst_Matlib : public QObject
{
    Q_OBJECT

private slots:
    void arithmetic()
    {
        double a[] = {1, 2, 3, 4, 5, 6};
        double b[] = {7, 8, 9, 10, 11, 12};
        QCOMPARE(taken(MatMul_S(a, 2, 3, b, 3, 2), 4), (QVector<double>{58, 64, 139, 154}));
        QCOMPARE(taken(MatT_S(a, 2, 3), 6), (QVector<double>{1, 4, 2, 5, 3, 6}));
        // Unsymmetric: the adjugate is the transpose of the cofactors.
        double m[] = {1, 2, 3, 0, 1, 4, 5, 6, 0};
        QCOMPARE(taken(MatInv_S(m, 3, 3), 9), (QVector<double>{-24, 18, 5, 20, -15, -4, -5, 4, 1}));
        double singular[4] = {1, 2, 2, 4};
        QVERIFY(!MatMul_S(a, 2, 3, b, 2, 2) && !MatInv_S(singular, 2, 2));
    }
    void files_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QVector<double>>("values");
        QTest::newRow("written by MatWrite_S") << QByteArray("1.000000,2.000000\n3.000000,4.000000\n")
                                               << QVector<double>{1, 2, 3, 4};
        QTest::newRow("short line leaves zeros, extra values dropped")
            << QByteArray("1,2,3\n4\n5,6,7,8\n") << QVector<double>{1, 2, 3, 4, 0, 0, 5, 6, 7};
        // A line longer than the buffer counts once; over-long value text reads 0.
        QTest::newRow("over-long line and value") << "5," + QByteArray(5000, '1') + ",9\n6,7\n"
                                                  << QVector<double>{5, 0, 6, 7};
        QTest::newRow("empty file holds no matrix") << QByteArray() << QVector<double>();
    }
    void files()
    {
        QFETCH(QByteArray, content);
        QFETCH(QVector<double>, values);
        QTemporaryDir dir;
        QByteArray path = dir.filePath(QStringLiteral("m.csv")).toLocal8Bit();
        QFile file(QString::fromLocal8Bit(path));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        file.close();
        QCOMPARE(taken(MatRead_S(path.data()), values.size()), values);
        if (content.startsWith("1.000000")) {
            QCOMPARE(MatWrite_S(path.constData(), values.data(), 2, 2), 0);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), QByteArray("1.000000,2.000000\n3.000000,4.000000\n"));
        }
        double one = 1;
        QVERIFY2(MatWrite_S("/nonexistent-dir/m.csv", &one, 1, 1) != 0, "a failed write reports failure");
    }
};

QTEST_APPLESS_MAIN(tst_Matlib)
#include "tst_matlib.moc"
