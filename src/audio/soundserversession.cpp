// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "audio/soundserversession.h"

#include <QtGlobal>

#include <algorithm>

namespace {

QString sinkText(const QString& sink)
{
    return QStringLiteral("the DAC's sink '%1'").arg(sink);
}

bool pactl(const QStringList& arguments)
{
    return SoundServer::run(QStringLiteral("pactl"), arguments);
}

} // namespace

SoundServerSession::SoundServerSession(const SoundServer::Route& route, double rateHz)
    : sink(route.sink.name)
{
#ifndef _WIN32
    if (sink.isEmpty())
        return;
    setVariable(route);
    setVolume(route.sink);
    if (route.pipewire)
        setClock(route.sink, qRound(rateHz));
    else
        reportRate(route.sink, qRound(rateHz));
#else
    Q_UNUSED(rateHz)
#endif
}

SoundServerSession::~SoundServerSession()
{
    restore();
}

const QStringList& SoundServerSession::lines() const
{
    return said;
}

void SoundServerSession::setVariable(const SoundServer::Route& route)
{
    if (route.variable.isEmpty())
        return;
    if (qEnvironmentVariableIsSet(route.variable.constData()))
        previousValue = qgetenv(route.variable.constData());
    variable = route.variable;
    qputenv(variable.constData(), route.value);
}

void SoundServerSession::setVolume(const SoundServerListing::Sink& listed)
{
    const QString who = sinkText(sink);
    if (listed.volumes.empty()) {
        said
            << who
                   + QStringLiteral(
                       " does not list its volume (pactl before version 16): see that it is at 100 % and not muted");
        return;
    }
    const QString was = SoundServerListing::percent(listed.volumes);
    if (std::all_of(listed.volumes.begin(), listed.volumes.end(),
                    [](uint32_t v) { return v == 65536; }))
        said << who + QStringLiteral(" is at 100 %");
    else if (pactl({QStringLiteral("set-sink-volume"), sink, QStringLiteral("100%")})) {
        volumes = listed.volumes;
        said << who + QStringLiteral(" was at %1: set to 100 % for the measurement").arg(was);
    } else {
        said
            << who
                   + QStringLiteral(
                         " is at %1 and cannot be set to 100 %: the tone reaches the DAC that much lower")
                         .arg(was);
    }
    if (!listed.muted)
        return;
    if (pactl({QStringLiteral("set-sink-mute"), sink, QStringLiteral("0")})) {
        unmuted = true;
        said << who + QStringLiteral(" was muted: unmuted for the measurement");
    } else {
        said << who + QStringLiteral(" is muted and cannot be unmuted: no tone reaches the DAC");
    }
}

bool SoundServerSession::setForcedRate(int rate) const
{
    return SoundServer::run(QStringLiteral("pw-metadata"),
                            {QStringLiteral("-n"), QStringLiteral("settings"), QStringLiteral("0"),
                             QStringLiteral("clock.force-rate"), QString::number(rate)});
}

void SoundServerSession::setClock(const SoundServerListing::Sink& listed, int rate)
{
    // PipeWire mixes at its clock's rate: a stream at another rate is
    // resampled to it, and a sink held at a rate of its own (audio.rate)
    // resamples the clock's rate to that.
    QByteArray dump;
    SoundServerListing::Clock clock;
    if (SoundServer::run(QStringLiteral("pw-dump"), {}, &dump))
        clock = SoundServerListing::parseClock(dump);
    const int running = clock.forcedRate > 0 ? clock.forcedRate : clock.rate;
    if (!clock.known) {
        said << QStringLiteral(
                    "the sound server's clock cannot be read (pw-dump): it may resample %1 Hz")
                    .arg(rate);
    } else if (clock.forcedRate == rate) {
        said << QStringLiteral("the sound server's clock is held at %1 Hz, the measurement's rate")
                    .arg(rate);
    } else if (setForcedRate(rate)) {
        forcedRate = clock.forcedRate;
        heldRate = rate;
        said
            << (clock.forcedRate > 0
                    ? QStringLiteral(
                        "the sound server's clock was held at %1 Hz: held at %2 Hz for the measurement")
                    : QStringLiteral(
                        "the sound server's clock ran free, at %1 Hz by default: held at %2 Hz for the measurement"))
                   .arg(running)
                   .arg(rate);
    } else if (running != rate) {
        said
            << QStringLiteral(
                   "the sound server resamples %1 Hz to %2 Hz: its clock runs at %2 Hz and cannot be held at %1 Hz (pw-metadata)")
                   .arg(rate)
                   .arg(running);
    } else {
        said
            << QStringLiteral(
                   "the sound server's clock runs at %1 Hz but cannot be held there (pw-metadata): another stream may move it and have it resample")
                   .arg(rate);
    }
    const long long fixed = SoundServerListing::number(listed, "audio.rate");
    if (fixed > 0 && fixed != rate)
        said << QStringLiteral(
                    "the sound server resamples %1 Hz to %2 Hz: %3 is set to %2 Hz (audio.rate)")
                    .arg(rate)
                    .arg(fixed)
                    .arg(sinkText(sink));
}

void SoundServerSession::reportRate(const SoundServerListing::Sink& listed, int rate)
{
    const QString who = sinkText(sink);
    if (listed.rate == rate)
        said << who + QStringLiteral(" runs at %1 Hz, the measurement's rate").arg(rate);
    else if (listed.rate > 0)
        said
            << QStringLiteral(
                   "the sound server may resample %1 Hz to %2 Hz: %3 runs at %2 Hz, and PulseAudio lets no client set its rate")
                   .arg(rate)
                   .arg(listed.rate)
                   .arg(who);
    else
        said << QStringLiteral("the sound server may resample %1 Hz: %2 does not say its rate")
                    .arg(rate)
                    .arg(who);
}

QStringList SoundServerSession::restore()
{
    QStringList back;
    const QString who = sinkText(sink);
    if (forcedRate) {
        if (setForcedRate(*forcedRate))
            back << (*forcedRate > 0
                         ? QStringLiteral("the sound server's clock held at %1 Hz again")
                               .arg(*forcedRate)
                         : QStringLiteral("the sound server's clock free again"));
        else
            back
                << QStringLiteral(
                       "the sound server's clock cannot be put back: it stays held at %1 Hz (pw-metadata -n settings 0 clock.force-rate %2)")
                       .arg(heldRate)
                       .arg(*forcedRate);
        forcedRate.reset();
    }
    if (unmuted) {
        back << who
                    + (pactl({QStringLiteral("set-sink-mute"), sink, QStringLiteral("1")})
                           ? QStringLiteral(" muted again")
                           : QStringLiteral(" cannot be muted again"));
        unmuted = false;
    }
    if (!volumes.empty()) {
        QStringList arguments{QStringLiteral("set-sink-volume"), sink};
        for (const uint32_t volume : volumes)
            arguments << QString::number(volume);
        const QString was = SoundServerListing::percent(volumes);
        back << who
                    + (pactl(arguments)
                           ? QStringLiteral(" back at %1").arg(was)
                           : QStringLiteral(" cannot be put back at %1: it stays at 100 %")
                                 .arg(was));
        volumes.clear();
    }
    if (!variable.isEmpty()) {
        if (previousValue)
            qputenv(variable.constData(), *previousValue);
        else
            qunsetenv(variable.constData());
        variable.clear();
    }
    return back;
}
