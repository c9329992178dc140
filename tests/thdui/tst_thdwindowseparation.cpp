// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// "Separate the interface" in the THD assistant, driven as a user drives it
// on the simulated DAC and an audio interface with distortion of its own:
// the question between the two captures, the DAC's share against the
// model's, what a tuning writes once the interface's share is out of the
// way, a Cancel in the question, and a gain hardly changed.

#include "assistanttest.h"
#include "thdui/separationtable.h"

#include <QCheckBox>

#include <cmath>
#include <complex>

using namespace AssistantTests;
using namespace TestBytes;

namespace {

// The simulated DAC's analog path (sim/audiosim) at the factory values.
struct Model {
    double h2[2] = {2e-5, -1.2e-5};
    double h3[2] = {1.5e-5, 2.5e-5};
    double k = 1e-7;
    int pairs[2][2] = {{-300, 260}, {45, -120}}; // thd_range0 drives left, 1 right

    // The DAC's harmonic `order` of `output` at the pair's `value`s,
    // relative to the fundamental, at the default -3 dBFS.
    double relative(int output, int order, int value) const
    {
        const double a = (order == 2 ? h2[output] : h3[output]) + k * value;
        const double amplitude = std::pow(10.0, -3.0 / 20);
        return order == 2 ? a * amplitude / 2 : a * amplitude * amplitude / 4;
    }
    double factoryDbc(int output, int order) const
    {
        return 20 * std::log10(std::abs(relative(output, order, pairs[output][order - 2])));
    }
    // The value that nulls the DAC's own harmonic.
    double optimum(int output, int order) const
    {
        return -(order == 2 ? h2[output] : h3[output]) / k;
    }
};

enum class Expect { Told, Cancelled, Unsplit };

// The values the DAC holds null its own share, not the sum.
void checkNulled(const Model& model)
{
    const auto kept = AssistantTests::thdPairs(TestBytes::bytesOf(UsbSim::block()));
    for (int output = 0; output < 2; ++output) {
        for (int order = 2; order <= 3; ++order) {
            const double optimum = model.optimum(output, order);
            const int value = kept[output][order - 2];
            QVERIFY2(std::abs(value - optimum) <= std::max(2.0, 0.01 * std::abs(optimum)),
                     qPrintable(QString("output %1, H%2: %3, optimum %4")
                                    .arg(output)
                                    .arg(order)
                                    .arg(value)
                                    .arg(optimum)));
        }
    }
}

} // namespace

Q_DECLARE_METATYPE(Expect)

class TestThdWindowSeparation : public AssistantTest {
    Q_OBJECT

private slots:
    void separates_data();
    void separates();
};

void TestThdWindowSeparation::separates_data()
{
    QTest::addColumn<QByteArray>("analog");
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("cancel"); // in the question
    QTest::addColumn<Expect>("expect");
    QTest::addColumn<QString>("line"); // the console's, after "not measured: "/"not tuned: "

    // An interface 6 to 12 dB louder than the DAC, its gain then turned
    // down 6 dB: measured or tuned on the sum, the DAC's own share is lost.
    const QByteArray louder("noise=-150,adcgain=0,-6,adc2=4e-5,adc3=2e-4");
    const QByteArray hardly("noise=-150,adcgain=0,-1,adc2=4e-5");
    const QString unsplit =
        "The level at the input changed by 1.0 dB on the left channel: the interface's "
        "share needs a change of 3 dB or more to be told from the DAC's";
    QTest::newRow("measure") << louder << "measureButton" << false << Expect::Told << QString();
    QTest::newRow("tune") << louder << "tuneButton" << false << Expect::Told << QString();
    QTest::newRow("measure, Cancel in the question")
        << louder << "measureButton" << true << Expect::Cancelled << "cancelled";
    QTest::newRow("tune, Cancel in the question")
        << louder << "tuneButton" << true << Expect::Cancelled << "cancelled";
    QTest::newRow("measure, the gain hardly turned")
        << hardly << "measureButton" << false << Expect::Unsplit << unsplit;
    QTest::newRow("tune, the gain hardly turned")
        << hardly << "tuneButton" << false << Expect::Unsplit << unsplit;
}

void TestThdWindowSeparation::separates()
{
    QFETCH(QByteArray, analog);
    QFETCH(QString, button);
    QFETCH(bool, cancel);
    QFETCH(Expect, expect);
    QFETCH(QString, line);
    // Full volume: the tone reaches the input at the level played.
    UsbSim::setBlock(blockOf(patched(bytesOf(UsbSim::block()), 4, "00 00")));
    start(analog);
    AssistantWindow& a = *assistant;
    const QByteArray held = bytesOf(UsbSim::block());
    a.widget<QCheckBox>("separateCheck")->setChecked(true);
    UsbSim::clearLog();
    // The wiring question is answered with OK as the button is clicked;
    // the next question is the one between the captures.
    a.button(qPrintable(button))->click();
    a.dialogs.cancelQuestions = cancel;
    QTRY_VERIFY_WITH_TIMEOUT(a.idle(), kWaitMs);

    QCOMPARE(a.dialogs.count(QStringLiteral("question")), 2);
    QCOMPARE(a.dialogs.seen.last().title, QStringLiteral("Separate the interface"));
    QCOMPARE(
        a.dialogs.seen.last().text,
        QStringLiteral("Turn the interface's input gain down by about 6 dB, then press Continue."));
    const bool tuning = button == QLatin1String("tuneButton");
    const QString prefix =
        tuning ? QStringLiteral("not tuned: ") : QStringLiteral("not measured: ");
    auto* table = a.widget<SeparationTable>("separationTable");
    auto* title = a.widget<QLabel>("separationTitle");
    if (expect != Expect::Told) {
        QCOMPARE(a.console.lines(prefix), QStringList{prefix + line});
        QVERIFY(!table->isVisible());
        QCOMPARE(title->isVisible(), expect == Expect::Unsplit);
        if (expect == Expect::Unsplit)
            QCOMPARE(title->text(), line + QLatin1Char('.'));
        // Nothing written, or what was written put back.
        QCOMPARE(bytesOf(UsbSim::block()), held);
        return;
    }
    QVERIFY(table->isVisible());
    QVERIFY2(title->text().startsWith(
                 "The DAC's and the interface's shares (the input's level changed by -"),
             qPrintable(title->text()));
    const Model model;
    for (int output = 0; output < 2; ++output) {
        for (int order = 2; order <= 3; ++order) {
            const int row = SeparationTable::rowOf(output, order, SeparationTable::Dac);
            const double dbc = table->cellText(row, SeparationTable::Dbc).toDouble();
            QVERIFY2(std::abs(dbc - model.factoryDbc(output, order)) < 1,
                     qPrintable(QString("output %1, H%2: %3 dBc, the model's %4")
                                    .arg(output)
                                    .arg(order)
                                    .arg(dbc)
                                    .arg(model.factoryDbc(output, order))));
            const int interfaceRow =
                SeparationTable::rowOf(output, order, SeparationTable::Interface);
            // What a tuning left of the interface's share, shown after one alone.
            const QString left = table->cellText(interfaceRow, SeparationTable::LeftAfterTuning);
            QCOMPARE(table->isColumnHidden(SeparationTable::LeftAfterTuning), !tuning);
            if (tuning)
                QVERIFY2(std::isfinite(left.toDouble()) && left != "-", qPrintable(left));
        }
    }
    if (tuning)
        checkNulled(model);
}

QTEST_MAIN(TestThdWindowSeparation)
#include "tst_thdwindowseparation.moc"
