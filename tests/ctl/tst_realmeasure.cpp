// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The real sonvalectl, as a user runs it, through the real PortAudio into a
// real sound server: `measure --output default --input default` on the null
// sink of tests/e2e/soundserver.sh. The path adds nothing, so the tone comes
// back at the level asked with THD below -120 dB. Anywhere else it is
// skipped, so that it never plays into somebody's speakers.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

class TestRealMeasure : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void measure_data();
    void measure();
};

void TestRealMeasure::initTestCase()
{
    if (qgetenv("SONVALE_SOUND_SERVER") != "loop")
        QSKIP("needs the null sink of tests/e2e/soundserver.sh as the default devices");
}

void TestRealMeasure::measure_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("level");

    QTest::newRow("the defaults") << QStringList{} << 997.0 << -3.0;
    QTest::newRow("2 kHz at -20 dBFS for 2 s")
        << QStringList{"--frequency", "2000", "--level", "-20", "--seconds", "2"} << 2000.0 << -20.0;
}

void TestRealMeasure::measure()
{
    QFETCH(QStringList, arguments);
    QFETCH(double, frequency);
    QFETCH(double, level);

    QProcess process;
    process.start(QStringLiteral(SONVALECTL),
                  QStringList{"measure", "--output", "default", "--input", "default", "--json"} + arguments);
    QVERIFY(process.waitForFinished(60000));
    const QByteArray err = process.readAllStandardError();
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0, err.constData());
    QJsonParseError error;
    const QJsonObject document = QJsonDocument::fromJson(process.readAllStandardOutput(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(document["problems"].toArray(), QJsonArray());
    QCOMPARE(document["frequency"].toDouble(), frequency);
    QCOMPARE(document["rate"].toInt(), 48000);
    // No DAC is on the path: the level expected is the level asked.
    QCOMPARE(document["output_is_dac"].toBool(), false);
    const QJsonArray channels = document["channels"].toArray();
    QVERIFY(!channels.isEmpty());
    for (const QJsonValue& value : channels) {
        const QJsonObject channel = value.toObject();
        QVERIFY2(std::abs(channel["level_dbfs"].toDouble() - level) < 0.05,
                 qPrintable(QString::number(channel["level_dbfs"].toDouble())));
        QVERIFY2(std::abs(channel["frequency"].toDouble() - frequency) < 0.01,
                 qPrintable(QString::number(channel["frequency"].toDouble())));
        QVERIFY2(channel["thd_db"].toDouble() < -120, qPrintable(QString::number(channel["thd_db"].toDouble())));
    }
}

QTEST_GUILESS_MAIN(TestRealMeasure)
#include "tst_realmeasure.moc"
