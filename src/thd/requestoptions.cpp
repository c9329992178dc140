// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thd/requestoptions.h"

#include "tuning/thdtuning.h"
#include "settings/blocklayout.h"
#include "thd/problemtext.h"

#include <algorithm>

MeasurementOptions RequestOptions::of(const ThdEngine::Request& request)
{
    MeasurementOptions options;
    options.frequencyHz = request.frequencyHz;
    options.frequencyGiven = true;
    options.requestedLevelDbfs = request.levelDbfs;
    options.levelCapped = request.levelDbfs > MeasurementOptions::highestLevelDbfs;
    options.levelDbfs = std::min(request.levelDbfs, MeasurementOptions::highestLevelDbfs);
    options.levelGiven = true;
    options.rateHz = request.rateHz;
    options.seconds = request.seconds;
    if (request.output >= 0)
        options.output = std::to_string(request.output);
    if (request.input >= 0)
        options.input = std::to_string(request.input);
    options.inputChannels = request.inputChannels;
    options.inputChannelsGiven = true;
    return options;
}

QString RequestOptions::volumeRefusal(const std::vector<double>& volumesDb,
                                      const DacSession::Block& block)
{
    const uint8_t max = block[BlockLayout::volumeLeft + 2],
                  min = block[BlockLayout::volumeLeft + 3];
    for (double volume : volumesDb) {
        if (!ThdTuning::volumeByte(volume, max, min)) {
            return QStringLiteral("The DAC's block holds no volume of %1 dB: from %2 dB to 0 dB in "
                                  "steps of 0.5 dB.")
                .arg(QString::number(volume, 'f', 1),
                     QString::number(ThdTuning::lowestVolumeDb(max, min), 'f', 1));
        }
    }
    return QString();
}

QString RequestOptions::audioCause(std::string cause)
{
    if (cause.rfind("--output: ", 0) == 0)
        cause = "the output device: " + cause.substr(10);
    else if (cause.rfind("--input: ", 0) == 0)
        cause = "the input device: " + cause.substr(9);
    else if (cause.rfind("--input-channels: ", 0) == 0)
        cause = "the input device " + cause.substr(18);
    for (const char* aside : {" (sonvalectl audio-devices lists them)", " (see audio-devices)"}) {
        const std::size_t at = cause.find(aside);
        if (at != std::string::npos)
            cause.erase(at, std::string(aside).size());
    }
    const std::string hint = ": name it with --output";
    const std::size_t at = cause.find(hint);
    if (at != std::string::npos)
        cause = cause.substr(0, at) + ": choose the DAC's output in the list";
    return ProblemText::capitalised(cause);
}
