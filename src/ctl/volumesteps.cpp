// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ctl/volumesteps.h"

#include "tuning/measurementoptions.h"

#include <QString>
#include <QStringList>

#include <cmath>

namespace {

// A step that falls this close to TO is TO: what decimal steps add up to
// drifts by far less.
constexpr double sameVolumeDb = 0.005;

double rounded(double volumeDb)
{
    const double hundredths = std::round(volumeDb * 100) / 100;
    return hundredths == 0 ? 0.0 : hundredths;
}

std::vector<double> steps(double from, double to, double step)
{
    const double direction = to < from ? -1 : 1;
    std::vector<double> volumes;
    for (std::size_t n = 0;; ++n) {
        const double volume = from + direction * step * double(n);
        if (direction * (to - volume) <= sameVolumeDb)
            break;
        volumes.push_back(rounded(volume));
        if (volumes.size() > VolumeSteps::mostPoints)
            return volumes;
    }
    volumes.push_back(rounded(to));
    return volumes;
}

} // namespace

VolumeSteps::VolumeSteps() : volumes(steps(-40, 0, 2.5))
{
}

const std::vector<double>& VolumeSteps::volumesDb() const
{
    return volumes;
}

bool VolumeSteps::parse(const std::string& text, std::string& error)
{
    const QStringList parts = QString::fromStdString(text).split(QLatin1Char(':'));
    double numbers[3] = {};
    bool ok = parts.size() == 3;
    for (int i = 0; ok && i < 3; ++i) {
        numbers[i] = parts[i].toDouble(&ok);
        ok = ok && std::isfinite(numbers[i]) && parts[i].trimmed() == parts[i];
    }
    if (!ok) {
        error = "--volumes takes FROM:TO:STEP, three numbers in dB such as -40:0:2.5, not '" + text
                + "'";
        return false;
    }
    const double from = numbers[0], to = numbers[1], step = numbers[2];
    if (step <= 0) {
        error = "--volumes: the STEP must be above 0 dB (FROM above TO steps down), not "
                + parts[2].toStdString();
        return false;
    }
    for (double volume : {from, to}) {
        if (volume < MeasurementOptions::lowestVolumeDb
            || volume > MeasurementOptions::highestVolumeDb) {
            error = "--volumes: " + QString::number(volume).toStdString()
                    + " dB lies outside the DAC's volumes, -127.5 dB to 0 dB";
            return false;
        }
    }
    const std::vector<double> parsed = steps(from, to, step);
    if (parsed.size() > mostPoints) {
        error = "--volumes: " + text + " makes more than " + std::to_string(mostPoints)
                + " volumes to measure at; take a larger STEP";
        return false;
    }
    volumes = parsed;
    return true;
}
