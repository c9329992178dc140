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

QString RequestOptions::audioCause(const Error& error)
{
    std::string cause = error.cause;
    switch (error.subject) {
    case Error::Subject::Output:
        cause = "the output device: " + cause;
        break;
    case Error::Subject::Input:
        cause = "the input device: " + cause;
        break;
    case Error::Subject::InputChannels:
        cause = "the input device " + cause;
        break;
    case Error::Subject::DacOutput:
        cause += ": choose the DAC's output in the list";
        break;
    case Error::Subject::None:
        break;
    }
    return ProblemText::capitalised(cause);
}
