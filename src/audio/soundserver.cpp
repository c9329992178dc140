// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "audio/soundserver.h"

#include <QProcess>
#include <QProcessEnvironment>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

const AudioDevice* alsaDevice(const std::vector<AudioDevice>& devices, const char* name)
{
    for (const AudioDevice& device : devices) {
        if (device.hostApi == QLatin1String("ALSA") && device.name == QLatin1String(name)
            && device.maxOutputChannels > 0)
            return &device;
    }
    return nullptr;
}

#ifndef _WIN32
QString methodText(SoundServerListing::Method method, const SoundServerListing::Sink& sink)
{
    if (method == SoundServerListing::Method::Card)
        return QStringLiteral("on the DAC's ALSA card %1").arg(SoundServerListing::cardOf(sink));
    return QStringLiteral("by the DAC's USB ids");
}
#endif

} // namespace

SoundServer::Route SoundServer::route(const std::vector<AudioDevice>& devices,
                                      const DacAudioMatch::DacUsb& dac)
{
    Route route;
#ifndef _WIN32
    QByteArray text;
    if (!run(QStringLiteral("pactl"), {QStringLiteral("info")}, &text))
        return route;
    const SoundServerListing::Info info = SoundServerListing::parseInfo(text);
    if (info.serverName.isEmpty())
        return route;
    route.serverName = info.serverName;
    route.pipewire = info.serverName.contains(QLatin1String("PipeWire"));
    const QString server = QStringLiteral("the sound server (%1)").arg(info.serverName);

    // pactl lists volumes too, but only from version 16 on as JSON.
    std::vector<SoundServerListing::Sink> sinks;
    const bool listed =
        (run(QStringLiteral("pactl"),
             {QStringLiteral("--format=json"), QStringLiteral("list"), QStringLiteral("sinks")},
             &text)
         && SoundServerListing::parsePactl(text, sinks))
        || (route.pipewire && run(QStringLiteral("pw-dump"), {}, &text)
            && SoundServerListing::parsePwDump(text, sinks));
    if (!listed) {
        route.lines << server
                           + QStringLiteral(
                               " does not list its sinks (pactl --format=json, pw-dump)");
        return route;
    }
    const SoundServerListing::Found found =
        SoundServerListing::find(sinks, dac, DacAudioMatch::readUsbCards());
    const QString ids = QString::asprintf("%04x:%04x", dac.vendorId, dac.productId);
    if (found.index < 0) {
        route.lines << server + QStringLiteral(" has no sink of the DAC ") + ids;
        return route;
    }
    route.sink = sinks[size_t(found.index)];
    route.lines << QStringLiteral("%1 holds the DAC %2: its sink '%3' (\"%4\"), found %5")
                       .arg(server, ids, route.sink.name, route.sink.description,
                            methodText(found.method, route.sink));
    chooseOutput(devices, info.defaultSink, route);
#else
    Q_UNUSED(devices)
    Q_UNUSED(dac)
#endif
    return route;
}

void SoundServer::chooseOutput(const std::vector<AudioDevice>& devices, const QString& defaultSink,
                               Route& route)
{
    const QString& sink = route.sink.name;
    if (const AudioDevice* pulse = alsaDevice(devices, "pulse")) {
        route.output = pulse->index;
        route.variable = QByteArrayLiteral("PULSE_SINK");
        route.value = sink.toUtf8();
        route.lines << QStringLiteral(
                           "played to it through ALSA's 'pulse' device, with PULSE_SINK=%1")
                           .arg(sink);
        return;
    }
    const QString missing = QStringLiteral(
        "ALSA's 'pulse' device, which can play to a chosen sink, is missing (Debian's libasound2-plugins has it)");
    const AudioDevice* pipewire = alsaDevice(devices, "pipewire");
    if (!pipewire) {
        route.lines
            << missing
                   + QStringLiteral(
                       ", and so is its 'pipewire' device: nothing plays to the sound server here");
    } else if (defaultSink == sink) {
        route.output = pipewire->index;
        route.lines
            << missing
                   + QStringLiteral(
                         ": played through ALSA's 'pipewire' device to the server's default output, '%1', the DAC's only while nothing changes the default")
                         .arg(sink);
    } else {
        route.lines
            << missing
                   + QStringLiteral(
                         ": only the server's default output could be used, and it plays to '%1', not to the DAC's sink: make '%2' the default output, or install libasound2-plugins")
                         .arg(defaultSink, sink);
    }
}

bool SoundServer::run(const QString& program, const QStringList& arguments, QByteArray* output)
{
#ifdef _WIN32
    Q_UNUSED(program)
    Q_UNUSED(arguments)
    Q_UNUSED(output)
    return false;
#else
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    // A process group of its own: the Ctrl-C that ends a measurement reaches
    // the terminal's whole group, and must not kill the pactl that is putting
    // the DAC's volume back.
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
    process.start(program, arguments);
    if (!process.waitForStarted(3000))
        return false;
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(1000);
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
#endif
}
