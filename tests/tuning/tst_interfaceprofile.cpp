// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The file of the interface's profiles: what it refuses and why, what it
// holds once written and read back, and which profile applies to a capture.

#include "tuning/interfaceprofile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A profile of two inputs whose fundamentals arrived at `arrived` dBFS.
InterfaceProfile::Entry entry(const std::string& input, int rate, double played, double arrived,
                              double h2)
{
    InterfaceProfile::Entry e;
    e.input = input;
    e.rateHz = rate;
    e.levelDbfs = played;
    e.measured = "2026-12-08T21:00:00Z";
    for (int i = 1; i <= 2; ++i) {
        InterfaceProfile::Channel c;
        c.input = i;
        c.levelDbfs = arrived - (i - 1) * 0.5; // the loudest is the first
        c.thdDb = h2;
        c.thdnDb = h2 + 1;
        c.noiseDbc = -150;
        c.dbc = {h2, -140, NAN, -170};
        c.phaseDeg = {0, 180, NAN, 12.5};
        e.channels.push_back(c);
    }
    return e;
}

} // namespace

class TestInterfaceProfile : public QObject {
    Q_OBJECT

private slots:
    void refused_data();
    void refused();
    void lookup_data();
    void lookup();
};

// A file that is no profile file of this version is refused with its
// reason, holds no profile, and is left as it was.
void TestInterfaceProfile::refused_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("reason");

    QTest::newRow("not JSON") << QByteArray("{\"format\": ")
                              << "not JSON (unterminated object at byte 11)";
    QTest::newRow("a list") << QByteArray("[]")
                            << "not a file of interface profiles (not a JSON object)";
    QTest::newRow("another program's")
        << QByteArray("{\"format\": \"presets\", \"version\": 1, \"profiles\": []}")
        << "not a file of interface profiles (its \"format\" is not \"sonvale interface profiles\")";
    QTest::newRow("a later version")
        << QByteArray(
               "{\"format\": \"sonvale interface profiles\", \"version\": 2, \"profiles\": []}")
        << "version 2 of the interface profiles; this program reads version 1";
    QTest::newRow("a profile without channels")
        << QByteArray("{\"format\": \"sonvale interface profiles\", \"version\": 1, \"profiles\": "
                      "[{\"input\": \"x\", \"rate\": 48000, \"level_dbfs\": -3}]}")
        << "profile 1 is not one of an input, a rate, a level and its channels";
}

void TestInterfaceProfile::refused()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);

    const QTemporaryDir dir;
    const QString path = dir.filePath("interface-profiles.json");
    QVERIFY(writeAll(path, content));
    InterfaceProfile profile(path.toStdString());
    const Error error = profile.read();
    QCOMPARE(error.kind, Error::Kind::File);
    QCOMPARE(QString::fromStdString(error.cause), reason);
    QVERIFY(profile.entries().empty());
    QCOMPARE(readAll(path), content);
}

// Profiles written and read back: the one applying to a capture is of the
// same input and rate, the nearest whose loudest fundamental lies within
// 3 dB of the capture's; one kept again at the same input, rate and level
// replaces the old.
void TestInterfaceProfile::lookup_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("rate");
    QTest::addColumn<double>("arrived");
    QTest::addColumn<double>("h2"); // of the profile found; NaN: none

    const QString name = "Line In";
    QTest::newRow("the nearest of two, not the first") << name << 48000 << -5.0 << -105.0;
    QTest::newRow("3 dB off") << name << 48000 << 0.0 << -100.0;
    QTest::newRow("more than 3 dB off") << name << 48000 << -24.5 << double(NAN);
    QTest::newRow("kept again, replaced") << name << 48000 << -21.0 << -115.0;
    QTest::newRow("another rate") << name << 96000 << -10.0 << -90.0;
    QTest::newRow("another input") << "Line In 2" << 48000 << -3.0 << double(NAN);
}

void TestInterfaceProfile::lookup()
{
    QFETCH(QString, input);
    QFETCH(int, rate);
    QFETCH(double, arrived);
    QFETCH(double, h2);

    const QTemporaryDir dir;
    const std::string path = dir.filePath("sonvale/interface-profiles.json").toStdString();
    {
        InterfaceProfile kept(path);
        kept.keep(entry("Line In", 48000, -3, -3, -100));
        kept.keep(entry("Line In", 48000, -6, -6, -105));
        kept.keep(entry("Line In", 48000, -20, -20, -110));
        kept.keep(entry("Line In", 96000, -10, -10, -90));
        kept.keep(entry("Line In", 48000, -20, -20.5, -115));
        QVERIFY(!kept.write());
    }
    InterfaceProfile profile(path);
    QVERIFY(!profile.read());
    QCOMPARE(profile.entries().size(), size_t(4));
    const InterfaceProfile::Entry* found = profile.find(input.toStdString(), rate, arrived);
    QCOMPARE(found != nullptr, !std::isnan(h2));
    if (!found)
        return;
    QCOMPARE(found->channels.size(), size_t(2));
    const InterfaceProfile::Channel* second = found->channel(2);
    QVERIFY(second);
    QCOMPARE(second->dbc[0], h2);
    QVERIFY(std::isnan(second->dbc[2]));
    QCOMPARE(second->phaseDeg[3], 12.5);
    QCOMPARE(found->measured, std::string("2026-12-08T21:00:00Z"));
}

QTEST_GUILESS_MAIN(TestInterfaceProfile)
#include "tst_interfaceprofile.moc"
