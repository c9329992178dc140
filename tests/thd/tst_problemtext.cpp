// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The problems of a capture in words: what a person reads, and does, when a
// measurement goes wrong.

#include "thd/problemtext.h"

#include <QtTest>

class TestProblemText : public QObject {
    Q_OBJECT

private slots:
    void problemSentences_data();
    void problemSentences();
};

void TestProblemText::problemSentences_data()
{
    QTest::addColumn<QStringList>("left");
    QTest::addColumn<QStringList>("right");
    QTest::addColumn<QString>("text");
    const QString clip = "The input clips: turn the level down or the interface's input gain down.";
    const QString drop = "Samples were lost during the capture: close other audio programs and measure again.";
    const QString none = "No signal reached the input: connect the DAC's output to the interface's input and "
                         "choose that input.";
    QTest::newRow("none") << QStringList{} << QStringList{} << QString();
    QTest::newRow("both clip: said once") << QStringList{Problem::clipping} << QStringList{Problem::clipping} << clip;
    QTest::newRow("right clips") << QStringList{} << QStringList{Problem::clipping} << "Right: " + clip;
    QTest::newRow("dropout on both") << QStringList{Problem::dropout} << QStringList{Problem::dropout} << drop;
    QTest::newRow("no signal on both") << QStringList{Problem::noSignal} << QStringList{Problem::noSignal} << none;
    QTest::newRow("left silent, right level")
        << QStringList{Problem::noSignal} << QStringList{Problem::level}
        << "Right: The level at the input changed by 6.2 dB since the first capture: was a knob or cable moved?\n"
           "Left: "
               + none;
    QTest::newRow("weak signal on both")
        << QStringList{Problem::weakSignal} << QStringList{Problem::weakSignal}
        << "The tone arrives so low that the input's noise hides the harmonics: "
           "raise the interface's input gain.";
}

void TestProblemText::problemSentences()
{
    QFETCH(QStringList, left);
    QFETCH(QStringList, right);
    QFETCH(QString, text);
    CaptureAnalysis analysis;
    analysis.channels.resize(2);
    analysis.channels[1].levelDbfs = -9.24;
    for (const QString& p : left)
        analysis.channels[0].problems.push_back(p.toStdString());
    for (const QString& p : right)
        analysis.channels[1].problems.push_back(p.toStdString());
    for (const char* p : {Problem::clipping, Problem::dropout, Problem::level, Problem::weakSignal,
                          Problem::noSignal}) {
        if (left.contains(QLatin1String(p)) || right.contains(QLatin1String(p)))
            analysis.problems.push_back(p);
    }
    QStringList lines;
    for (const ProblemText::Line& line : ProblemText::lines(analysis, {-3.0, -3.0}))
        lines << line.text;
    QCOMPARE(lines.join('\n'), text);
}

QTEST_GUILESS_MAIN(TestProblemText)
#include "tst_problemtext.moc"
