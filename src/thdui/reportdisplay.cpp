// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thdui/reportdisplay.h"

#include "thd/problemtext.h"
#include "thdui/pairmaptable.h"
#include "thdui/resulttable.h"
#include "thdui/separationtable.h"
#include "thdui/spectrumplot.h"

#include <QLabel>
#include <QStringList>

#include <algorithm>

namespace {

QString pairName(int pair)
{
    return QStringLiteral("thd_range%1").arg(pair);
}

// What a map left on the DAC.
QString putBack(const ThdReport& report)
{
    if (!report.wrote)
        return QString();
    if (report.restored)
        return QStringLiteral("; the volume and the values held before are back");
    return QStringLiteral("; the volume and the values held before could not be put back: %1")
        .arg(report.restoreError);
}

} // namespace

ReportDisplay::ReportDisplay(ResultTable* left, ResultTable* right, SpectrumPlot* plot,
                             PairMapTable* map, QLabel* problems, SeparationTable* separation,
                             QLabel* separationTitle)
    : tables{left, right}, plot(plot), map(map), problems(problems), separation(separation),
      separationLabel(separationTitle)
{
    separation->hide();
    separationLabel->hide();
}

void ReportDisplay::showMeasurement(const ThdReport& report)
{
    if (!report.before.isEmpty()) {
        showCapture(report.before, ResultTable::Before);
        showCapture(ThdCapture{}, ResultTable::After);
        showValues(report);
        showSeparation(report);
    }
    showProblems(report);
}

void ReportDisplay::showTuning(const ThdReport& report)
{
    drives = report.drives;
    showCapture(report.before, ResultTable::Before);
    showCapture(report.after, ResultTable::After);
    showValues(report);
    showProblems(report);
    showSeparation(report);
}

void ReportDisplay::showMap(const ThdReport& report)
{
    std::vector<PairMapTable::Column> columns;
    for (const ThdReport::PairsAt& at : report.map)
        columns.push_back({at.volumeDb, at.pairs});
    map->setMap(columns);
    showProblems(report);
}

bool ReportDisplay::kept(const ThdReport& report)
{
    return report.outcome == ThdSolver::Outcome::Improved && !report.cancelled
           && report.failure.isEmpty() && report.values != report.start;
}

QString ReportDisplay::measuredOutcome(const ThdReport& report)
{
    return report.cancelled              ? QStringLiteral("Measurement cancelled")
           : !report.failure.isEmpty()   ? QStringLiteral("Not measured")
           : report.before.analysis.ok() ? QStringLiteral("Measured")
                                         : QStringLiteral("Measured, with problems: see below");
}

QString ReportDisplay::tunedOutcome(const ThdReport& report)
{
    QString outcome = kept(report) ? QStringLiteral("Tuned in %1 captures").arg(report.captures)
                      : report.cancelled ? QStringLiteral("Tuning cancelled")
                                         : QStringLiteral("Not tuned");
    if (report.tunedAtDb) {
        if (kept(report))
            outcome += QStringLiteral(" at %1 dB").arg(ResultTable::fixed(*report.tunedAtDb, 1));
        outcome += report.volumeRestored ? QStringLiteral("; the volume is back")
                                         : QStringLiteral("; the volume could not be put back");
    }
    return outcome;
}

QString ReportDisplay::mappedOutcome(const ThdReport& report)
{
    return report.cancelled ? QStringLiteral("Map cancelled")
           : report.outcome != ThdSolver::Outcome::Improved
               ? QStringLiteral("Not mapped")
               : QStringLiteral("Mapped in %1 captures").arg(report.captures);
}

QString ReportDisplay::mappedLine(const ThdReport& report)
{
    if (report.outcome != ThdSolver::Outcome::Improved || report.cancelled) {
        const QString reason = report.cancelled ? QStringLiteral("cancelled") : report.failure;
        return QStringLiteral("not mapped: %1%2").arg(reason, putBack(report));
    }
    QStringList volumes;
    for (const ThdReport::PairsAt& at : report.map) {
        // "thd_range2 (shared)" where one pair moves every output.
        QStringList outputs{PairMapTable::pairText(at.pairs, 0)};
        if (!PairMapTable::shared(at.pairs, 0)) {
            outputs.clear();
            for (std::size_t output = 0; output < at.pairs.size(); ++output)
                outputs << ProblemText::channelWord(output, at.pairs.size()) + QLatin1Char(' ')
                               + PairMapTable::pairText(at.pairs, output);
        }
        volumes << QStringLiteral("%1 dB: %2")
                       .arg(ResultTable::fixed(at.volumeDb, 1), outputs.join(QStringLiteral(", ")));
    }
    return QStringLiteral("mapped: %1%2").arg(volumes.join(QStringLiteral("; ")), putBack(report));
}

QString ReportDisplay::measuredLine(const ThdReport& report)
{
    if (report.cancelled)
        return QStringLiteral("not measured: cancelled");
    if (!report.failure.isEmpty())
        return QStringLiteral("not measured: %1").arg(report.failure);
    return QStringLiteral("measured: %1").arg(thdLine(report.before.analysis));
}

QString ReportDisplay::tunedLine(const ThdReport& report)
{
    // "; run at -15.0 dB, the volume held before is back"
    QString volume;
    if (report.tunedAtDb) {
        volume = QStringLiteral("; run at %1 dB, the volume held before %2")
                     .arg(ResultTable::fixed(*report.tunedAtDb, 1),
                          report.volumeRestored ? QStringLiteral("is back")
                                                : QStringLiteral("could not be put back"));
    }
    if (kept(report))
        return QStringLiteral("tuned: %1%2").arg(thdLine(report.after.analysis), volume);
    QString reason = report.cancelled            ? QStringLiteral("cancelled")
                     : !report.failure.isEmpty() ? report.failure
                                                 : report.reason;
    if (reason.isEmpty())
        reason = QStringLiteral("the values found measured no better than those held before");
    if (report.wrote) {
        reason += report.restored
                      ? QStringLiteral("; the values held before are back")
                      : QStringLiteral("; the values held before could not be put back: %1")
                            .arg(report.restoreError);
    }
    return QStringLiteral("not tuned: %1%2").arg(reason, volume);
}

QString ReportDisplay::thdLine(const CaptureAnalysis& analysis)
{
    QStringList parts;
    const std::size_t channels = analysis.channels.size();
    for (std::size_t c = 0; c < channels; ++c) {
        parts << QStringLiteral("%1 THD %2 dB")
                     .arg(ProblemText::channelWord(c, channels),
                          ResultTable::fixed(analysis.channels[c].thdDb, 2));
    }
    return parts.join(QStringLiteral(", "));
}

void ReportDisplay::showCapture(const ThdCapture& capture, int column)
{
    const auto stage = column == ResultTable::Before ? SpectrumPlot::Before : SpectrumPlot::After;
    for (int channel = 0; channel < 2; ++channel) {
        ResultTable* table = tables[std::size_t(channel)];
        const auto shown = ResultTable::Column(column);
        const std::size_t c = std::size_t(channel);
        if (c < capture.analysis.channels.size())
            table->setAnalysis(shown, capture.analysis.channels[c],
                               c < capture.pathGainsDb.size() ? capture.pathGainsDb[c]
                                                              : ChannelAnalysis::none);
        else
            table->clearColumn(shown);
        std::vector<double> levels;
        if (std::size_t(channel) < capture.spectra.size())
            levels.assign(capture.spectra[std::size_t(channel)].begin(),
                          capture.spectra[std::size_t(channel)].end());
        plot->setSpectrum(channel, stage, levels, capture.binHz);
    }
    if (!capture.isEmpty()) {
        plot->setRate(capture.analysis.rateHz);
        const ChannelAnalysis& first = capture.analysis.channels.front();
        if (first.hasTone)
            plot->setFundamental(first.frequencyHz);
    }
}

// The values of the pair that drives each output, once a tuning has found
// which one does: a measurement alone cannot tell.
void ReportDisplay::showValues(const ThdReport& report)
{
    for (int channel = 0; channel < 2; ++channel) {
        int pair = -1;
        for (int p = 0; p < ThdValues::pairCount && pair < 0; ++p) {
            const auto& outputs = drives[std::size_t(p)];
            if (std::find(outputs.begin(), outputs.end(), channel) != outputs.end())
                pair = p;
        }
        ResultTable* table = tables[std::size_t(channel)];
        if (pair < 0 || !report.valuesKnown) {
            table->setValuesUnknown(ResultTable::Before);
            continue;
        }
        const auto& start = report.kind == ThdReport::Kind::Tuning ? report.start : report.values;
        table->setValues(ResultTable::Before, start.pairs[std::size_t(pair)][0],
                         start.pairs[std::size_t(pair)][1], pairName(pair));
        if (report.kind == ThdReport::Kind::Tuning && !report.after.isEmpty()) {
            table->setValues(ResultTable::After, report.values.pairs[std::size_t(pair)][0],
                             report.values.pairs[std::size_t(pair)][1], pairName(pair));
        }
    }
}

void ReportDisplay::showProblems(const ThdReport& report)
{
    QString text = report.findings.join(QLatin1Char('\n'));
    if (!report.failure.isEmpty())
        text = report.failure + (text.isEmpty() ? QString() : QLatin1Char('\n') + text);
    problems->setText(text.isEmpty() ? QStringLiteral("No problems: the capture is clean.") : text);
}

QString ReportDisplay::separationTitle(const InterfaceSeparation& separation)
{
    if (!separation.ok())
        return ProblemText::capitalised(separation.unsplit) + QLatin1Char('.');
    return QStringLiteral(
               "The DAC's and the interface's shares (the input's level changed by %1 dB "
               "between the captures)")
        .arg(ResultTable::fixed(separation.gainChangeDb(), 2));
}

// A run that told no shares leaves none shown: they belong to another
// capture.
void ReportDisplay::showSeparation(const ThdReport& report)
{
    const bool told = report.separation && report.separation->ok();
    separation->setVisible(told);
    separationLabel->setVisible(report.separation.has_value());
    if (!report.separation) {
        separation->clearSeparation();
        return;
    }
    separationLabel->setText(separationTitle(*report.separation));
    if (told)
        separation->setSeparation(*report.separation, report.kind == ThdReport::Kind::Tuning
                                                          && !report.after.isEmpty());
    else
        separation->clearSeparation();
}
