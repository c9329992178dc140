// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "measure/interfaceseparation.h"

#include "measure/decibels.h"

#include <cmath>
#include <cstdio>

namespace {

constexpr double pi = 3.14159265358979323846;

// q = r^(k−1) for a change of `db` in the fundamental's level.
double scale(double db, int order)
{
    return std::pow(dbToLinear(db), order - 1);
}

} // namespace

double InterfaceSeparation::Share::dbc() const
{
    return linearToDb(std::abs(value));
}

double InterfaceSeparation::Share::phaseDeg() const
{
    const double degrees = std::arg(value) * 180.0 / pi;
    return degrees <= -180.0 ? degrees + 360.0 : degrees;
}

double InterfaceSeparation::Share::uncertaintyDb() const
{
    const double size = std::abs(value);
    return sigma < size ? linearToDb((size + sigma) / size) : std::nan("");
}

double InterfaceSeparation::Share::uncertaintyDeg() const
{
    const double size = std::abs(value);
    return sigma < size ? std::asin(sigma / size) * 180.0 / pi : std::nan("");
}

InterfaceSeparation InterfaceSeparation::split(const CaptureAnalysis& first,
                                               const CaptureAnalysis& second,
                                               const std::vector<std::string>& channelNames)
{
    InterfaceSeparation result;
    const std::size_t count = std::min(first.channels.size(), second.channels.size());
    for (std::size_t c = 0; c < count; ++c) {
        const ChannelAnalysis& a = first.channels[c];
        const ChannelAnalysis& b = second.channels[c];
        Channel channel;
        channel.gainChangeDb = b.levelDbfs - a.levelDbfs;
        if (!(std::abs(channel.gainChangeDb) >= smallestChangeDb) && result.unsplit.empty()) {
            char words[200];
            std::snprintf(
                words, sizeof words,
                "the level at the input changed by %.1f dB on the %s channel: the interface's share "
                "needs a change of %.0f dB or more to be told from the DAC's",
                std::abs(channel.gainChangeDb),
                c < channelNames.size() ? channelNames[c].c_str() : "", smallestChangeDb);
            result.unsplit = words;
        }
        for (int order = 2; order <= highestOrder; ++order) {
            const double q = scale(channel.gainChangeDb, order);
            const std::complex<double> m1 = a.harmonics[order], m2 = b.harmonics[order];
            const double s1 = a.harmonicNoise, s2 = b.harmonicNoise;
            Harmonic harmonic;
            harmonic.interface1.value = (m1 - m2) / (1 - q);
            harmonic.interface1.sigma = std::hypot(s1, s2) / std::abs(1 - q);
            harmonic.dac.value = (m2 - q * m1) / (1 - q);
            harmonic.dac.sigma = std::hypot(s2, q * s1) / std::abs(1 - q);
            channel.harmonics.push_back(harmonic);
        }
        result.channels.push_back(channel);
    }
    return result;
}

double InterfaceSeparation::gainChangeDb() const
{
    double sum = 0;
    for (const Channel& channel : channels)
        sum += channel.gainChangeDb;
    return channels.empty() ? std::nan("") : sum / double(channels.size());
}

void InterfaceSeparation::removeInterface(CaptureAnalysis& analysis) const
{
    for (std::size_t c = 0; c < std::min(channels.size(), analysis.channels.size()); ++c) {
        ChannelAnalysis& channel = analysis.channels[c];
        if (!channel.hasTone)
            continue;
        for (int order = 2; order <= highestOrder; ++order) {
            const Share& share = channels[c].harmonics[std::size_t(order - 2)].interface1;
            channel.harmonics[order] -= share.value * scale(channels[c].gainChangeDb, order);
        }
        double squared = 0;
        for (int order = 2; order <= highestHarmonic; ++order) {
            if (std::isfinite(std::abs(channel.harmonics[order])))
                squared += std::norm(channel.harmonics[order]);
        }
        channel.thdDb = linearToDb(std::sqrt(squared));
        channel.thdPercent = 100.0 * std::sqrt(squared);
    }
}

double InterfaceSeparation::interfaceAtSecondDbc(std::size_t channel, int order) const
{
    const Share& share = channels[channel].harmonics[std::size_t(order - 2)].interface1;
    return linearToDb(std::abs(share.value) * scale(channels[channel].gainChangeDb, order));
}
