// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The real sonvalectl, as a user runs it, through the real PortAudio into a
// real sound server: `measure --output default --input default` on the null
// sink of tests/e2e/soundserver.sh. The path adds nothing but the capture's
// volume, which stands for an interface's input gain: the tone comes back
// at the level asked times that gain, which measure reports as the path
// gain, with THD below -120 dB. Anywhere else it is skipped, so that it
// never plays into somebody's speakers.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <cmath>

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
    QTest::addColumn<int>("captureVolume");   // per cent, as pactl sets it

    QTest::newRow("the defaults") << QStringList{} << 997.0 << -3.0 << 100;
    QTest::newRow("2 kHz at -20 dBFS for 2 s")
        << QStringList{"--frequency", "2000", "--level", "-20", "--seconds", "2"} << 2000.0 << -20.0 << 100;
    // 70 % of the server's cubic volume scale: 60·log10(0.7) = -9.29 dB.
    QTest::newRow("the capture's volume at 70 %") << QStringList{} << 997.0 << -3.0 << 70;
}

void TestRealMeasure::measure()
{
    QFETCH(QStringList, arguments);
    QFETCH(double, frequency);
    QFETCH(double, level);
    QFETCH(int, captureVolume);

    const auto setCaptureVolume = [](int percent) {
        return QProcess::execute("pactl", {"set-source-volume", "@DEFAULT_SOURCE@", QString("%1%").arg(percent)});
    };
    QCOMPARE(setCaptureVolume(captureVolume), 0);
    const double gain = 60 * std::log10(captureVolume / 100.0);
    QProcess process;
    process.start(QStringLiteral(SONVALECTL),
                  QStringList{"measure", "--output", "default", "--input", "default", "--json"} + arguments);
    QVERIFY(process.waitForFinished(60000));
    setCaptureVolume(100);
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
        QVERIFY2(std::abs(channel["level_dbfs"].toDouble() - (level + gain)) < 0.2,
                 qPrintable(QString::number(channel["level_dbfs"].toDouble())));
        QVERIFY2(std::abs(channel["path_gain_db"].toDouble() - gain) < 0.2,
                 qPrintable(QString::number(channel["path_gain_db"].toDouble())));
        QVERIFY2(std::abs(channel["frequency"].toDouble() - frequency) < 0.01,
                 qPrintable(QString::number(channel["frequency"].toDouble())));
        QVERIFY2(channel["thd_db"].toDouble() < -120, qPrintable(QString::number(channel["thd_db"].toDouble())));
    }
}

QTEST_GUILESS_MAIN(TestRealMeasure)
#include "tst_realmeasure.moc"
