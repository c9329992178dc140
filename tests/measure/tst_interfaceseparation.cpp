// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The DAC's and the interface's shares of each harmonic, told apart by two
// captures at different input gains, against a DAC and an interface whose
// own distortion is known.

#include "measure/decibels.h"
#include "measure/interfaceseparation.h"
#include "synthetic.h"

#include <QTest>

namespace {

constexpr double levelDbfs = -3;
const Synthetic::Harmonic dac2{-110, 40}, dac3{-115, -70};

// The DAC's output as an interface records it at an input gain of `gainDb`.
CaptureAnalysis capture(double gainDb, double c2, double c3, unsigned seed)
{
    Synthetic::Tone tone;
    tone.levelDbfs = levelDbfs;
    tone.harmonics = {{2, dac2}, {3, dac3}};
    std::vector<double> samples = Synthetic::synthesize(tone);
    Synthetic::throughInterface(samples, gainDb, c2, c3, -135, seed);
    return analyseCapture({samples}, tone.rateHz);
}

double wrapDeg(double degrees)
{
    return std::remainder(degrees, 360.0);
}

} // namespace

class TestInterfaceSeparation : public QObject {
    Q_OBJECT

private slots:
    void recoversTheDacsShare_data();
    void recoversTheDacsShare();
    void refusesASmallChange();
};

void TestInterfaceSeparation::recoversTheDacsShare_data()
{
    QTest::addColumn<double>("aboveDb"); // the interface's H2 and H3 over the DAC's
    QTest::addColumn<double>("changeDb");
    QTest::newRow("interface as loud as the DAC, -6 dB") << 0.0 << -6.0;
    QTest::newRow("interface 12 dB above, -6 dB") << 12.0 << -6.0;
    QTest::newRow("interface 6 dB above, gain raised 4 dB") << 6.0 << 4.0;
}

// A sign or an order wrong in the split (E from the wrong capture, q not
// r^(k-1), the change taken the wrong way round) moves the DAC's share by
// decibels; an interface whose phase differs from the DAC's shows it.
void TestInterfaceSeparation::recoversTheDacsShare()
{
    QFETCH(double, aboveDb);
    QFETCH(double, changeDb);
    // At the first capture, the interface's H2 = c2·A/2 and H3 = c3·A²/4.
    const double amplitude = dbToLinear(levelDbfs);
    const double c2 = -2 * dbToLinear(dac2.dbc + aboveDb) / amplitude;
    const double c3 = 4 * dbToLinear(dac3.dbc + aboveDb) / (amplitude * amplitude);
    const InterfaceSeparation split =
        InterfaceSeparation::split(capture(0, c2, c3, 1), capture(changeDb, c2, c3, 2), {"mono"});
    QVERIFY2(split.ok(), split.unsplit.c_str());
    QVERIFY(std::abs(split.gainChangeDb() - changeDb) < 0.01);
    const auto& harmonics = split.channels.at(0).harmonics;
    const Synthetic::Harmonic dac[] = {dac2, dac3};
    for (int k = 0; k < 2; ++k) {
        const InterfaceSeparation::Share& share = harmonics[std::size_t(k)].dac;
        QVERIFY2(std::abs(share.dbc() - dac[k].dbc) < 0.2,
                 qPrintable(QString::number(share.dbc())));
        QVERIFY2(std::abs(wrapDeg(share.phaseDeg() - dac[k].phaseDeg)) < 2,
                 qPrintable(QString::number(share.phaseDeg())));
        const InterfaceSeparation::Share& other = harmonics[std::size_t(k)].interface1;
        QVERIFY(std::abs(other.dbc() - (dac[k].dbc + aboveDb)) < 0.2);
        QVERIFY(std::abs(wrapDeg(other.phaseDeg() - (k == 0 ? 180 : 0))) < 2);
        QVERIFY(share.uncertaintyDb() > 0 && share.uncertaintyDb() < 0.2);
    }
    // Taken out of a capture at the second gain, the interface leaves the
    // DAC's own figures.
    CaptureAnalysis second = capture(changeDb, c2, c3, 3);
    split.removeInterface(second);
    QVERIFY(std::abs(second.channels[0].harmonicDbc(2) - dac2.dbc) < 0.2);
    QVERIFY(std::abs(second.channels[0].thdDb
                     - linearToDb(std::hypot(dbToLinear(dac2.dbc), dbToLinear(dac3.dbc))))
            < 0.2);
}

void TestInterfaceSeparation::refusesASmallChange()
{
    const InterfaceSeparation split =
        InterfaceSeparation::split(capture(0, 0, 0, 1), capture(-2.5, 0, 0, 2), {"left"});
    QCOMPARE(
        split.unsplit,
        std::string("the level at the input changed by 2.5 dB on the left channel: the "
                    "interface's share needs a change of 3 dB or more to be told from the DAC's"));
}

QTEST_APPLESS_MAIN(TestInterfaceSeparation)
#include "tst_interfaceseparation.moc"
