// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thdui/steptext.h"

#include "thd/problemtext.h"
#include "tuning/thdtuning.h"

#include <cmath>

namespace {

QString ordinalOutputs(const std::vector<int>& outputs)
{
    if (outputs.size() >= 2)
        return QStringLiteral("both outputs'");
    if (outputs.empty())
        return QStringLiteral("the outputs'");
    return QStringLiteral("the %1 output's")
        .arg(ProblemText::channelWord(std::size_t(outputs.front()), 2));
}

QString volumeText(const ThdStep& step)
{
    return QString::number(step.volumeDb.value_or(0), 'f', 1);
}

} // namespace

QString StepText::of(const ThdStep& step)
{
    QString what;
    switch (step.request) {
    case ThdStep::Request::Measure:
        what = step.newGain ? QStringLiteral("Measuring at the new input gain")
                            : QStringLiteral("Measuring");
        break;
    case ThdStep::Request::Tune: what = solverStep(step); break;
    case ThdStep::Request::Map:
        what = QStringLiteral("At %1 dB: %2").arg(volumeText(step), solverStep(step));
        break;
    case ThdStep::Request::Sweep: what = QStringLiteral("At %1 dB").arg(volumeText(step)); break;
    }
    return QStringLiteral("%1, capture %2 of %3").arg(what).arg(step.capture).arg(step.captures);
}

QString StepText::solverStep(const ThdStep& step)
{
    const ThdSolver::Step& solver = step.solver;
    const QString pair = QString::fromStdString(ThdTuning::pairName(solver.pair));
    QString text;
    switch (solver.purpose) {
    case ThdSolver::Step::Purpose::Start: text = QStringLiteral("Measuring the start"); break;
    case ThdSolver::Step::Purpose::Probe:
        text = solver.attempt == 0
                   ? QStringLiteral("Probing %1 (the 2nd and 3rd harmonic)").arg(pair)
                   : QStringLiteral("Probing %1 again with a larger step").arg(pair);
        break;
    case ThdSolver::Step::Purpose::Solved:
        text = QStringLiteral("Measuring the values found");
        break;
    case ThdSolver::Step::Purpose::Refine:
        text = QStringLiteral("Refining %1 values").arg(ordinalOutputs(solver.outputs));
        break;
    }
    if (solver.lengthFactor > 1)
        text += QStringLiteral(" (a %1-second capture)").arg(std::lround(step.seconds));
    return text;
}
