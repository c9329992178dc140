// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// ToneCapture's edges: which of the streams' faults count as spoiling the
// kept samples.

#include "audio/capturestate.h"

#include <QtTest>

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kOmega = 2 * kPi * 997 / 48000;

} // namespace

class TestToneCapture : public QObject {
    Q_OBJECT

private slots:
    void faultsCounted_data();
    void faultsCounted();
};

// A capture keeping frames 1000 to 2999, its input and output moving 600
// frames at a time, the output first: which faults the streams report
// count against the kept frames. Output buffer 1 plays while the input
// still settles; input buffer 1 holds the first kept frames, buffer 4 the
// last; buffers 5 and 6 come after, while the tone fades out.
void TestToneCapture::faultsCounted_data()
{
    QTest::addColumn<QList<int>>("overflowed");
    QTest::addColumn<QList<int>>("underflowed");
    QTest::addColumn<int>("inputFaults");
    QTest::addColumn<int>("outputFaults");

    QTest::newRow("input: the buffers that hold kept frames")
        << QList<int>{1, 4} << QList<int>{} << 2 << 0;
    QTest::newRow("input: while settling, and after the capture")
        << QList<int>{0, 5} << QList<int>{} << 0 << 0;
    QTest::newRow("output: while the kept frames arrive")
        << QList<int>{} << QList<int>{1, 2, 4} << 0 << 2;
    QTest::newRow("output: during the fade-out after the capture")
        << QList<int>{} << QList<int>{5, 6} << 0 << 0;
}

void TestToneCapture::faultsCounted()
{
    QFETCH(QList<int>, overflowed);
    QFETCH(QList<int>, underflowed);
    QFETCH(int, inputFaults);
    QFETCH(int, outputFaults);

    CaptureState state(CaptureState::Tone{kOmega, 0.5, 480, 2});
    state.setRecording(CaptureState::Recording{2, {0, 1}, 1000, 2000});
    std::vector<float> buffer(600 * 2);
    for (int i = 0; i < 7; ++i) {
        if (i == 5)
            state.fadeOut(std::chrono::milliseconds(0));
        state.play(buffer.data(), 600, underflowed.contains(i));
        state.record(buffer.data(), 600, overflowed.contains(i));
    }
    QVERIFY(state.complete());
    QCOMPARE(state.inputFaults(), inputFaults);
    QCOMPARE(state.outputFaults(), outputFaults);
}

QTEST_GUILESS_MAIN(TestToneCapture)
#include "tst_tonecapture.moc"
