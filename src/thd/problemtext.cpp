// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thd/problemtext.h"

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <utility>

QString ProblemText::channelWord(std::size_t channel, std::size_t channels, bool capital)
{
    return QString::fromStdString(CaptureAnalysis::channelName(channel, channels, capital));
}

QString ProblemText::sentence(const std::string& problem, double expectedDbfs, double gotDbfs)
{
    if (problem == Problem::clipping)
        return QStringLiteral("The input clips: turn the level down or the interface's input gain down.");
    if (problem == Problem::dropout)
        return QStringLiteral("Samples were lost during the capture: close other audio programs and measure again.");
    if (problem == Problem::noSignal)
        return QStringLiteral("No signal reached the input: connect the DAC's output to the interface's input and "
                              "choose that input.");
    if (problem == Problem::weakSignal)
        return QStringLiteral(
            "The tone arrives so low that the input's noise hides the harmonics: raise the "
            "interface's input gain.");
    if (problem == Problem::level) {
        QString by;
        if (std::isfinite(expectedDbfs) && std::isfinite(gotDbfs))
            by = QStringLiteral(" by %1 dB")
                     .arg(QString::number(std::abs(gotDbfs - expectedDbfs), 'f', 1));
        return QStringLiteral(
                   "The level at the input changed%1 since the first capture: was a knob or cable "
                   "moved?")
            .arg(by);
    }
    return QString::fromStdString(problem);
}

// A problem every channel has is said once; one that only some channels have
// is said for each of them, by name.
std::vector<ProblemText::Line> ProblemText::lines(const CaptureAnalysis& analysis,
                                                  const std::vector<double>& expectedLevelsDbfs)
{
    const std::size_t channels = analysis.channels.size();
    std::vector<Line> said;
    for (const std::string& problem : analysis.problems) {
        std::vector<std::size_t> having;
        for (std::size_t c = 0; c < channels; ++c) {
            const auto& found = analysis.channels[c].problems;
            if (std::find(found.begin(), found.end(), problem) != found.end())
                having.push_back(c);
        }
        const bool perChannel = problem == Problem::level || (having.size() < channels && channels > 1);
        if (!perChannel || having.empty()) {
            said.push_back({problem, -1, sentence(problem, ChannelAnalysis::none, ChannelAnalysis::none)});
            continue;
        }
        for (std::size_t c : having) {
            const double expected = c < expectedLevelsDbfs.size() ? expectedLevelsDbfs[c] : ChannelAnalysis::none;
            // One channel alone is not named.
            const QString name = channels == 1 ? QString() : channelWord(c, channels, true);
            const QString text = sentence(problem, expected, analysis.channels[c].levelDbfs);
            said.push_back({problem, int(c), name.isEmpty() ? text : name + QStringLiteral(": ") + text});
        }
    }
    return said;
}

QStringList ProblemText::findings(const std::vector<Capture>& captures)
{
    QStringList findings;
    std::vector<std::pair<std::string, int>> said;
    for (const Capture& capture : captures) {
        for (const Line& line : lines(*capture.analysis, capture.expectedLevelsDbfs)) {
            const std::pair<std::string, int> key{line.problem, line.channel};
            if (std::find(said.begin(), said.end(), key) != said.end())
                continue;
            said.push_back(key);
            findings << line.text;
        }
    }
    return findings;
}

QString ProblemText::capitalised(const std::string& text)
{
    QString message = QString::fromStdString(text);
    if (!message.isEmpty())
        message[0] = message[0].toUpper();
    return message;
}
