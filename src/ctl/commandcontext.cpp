// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ctl/commandcontext.h"

#include "cli/optionparser.h"
#include "base/diagnostics.h"
#include "settings/blocklayout.h"

#include <cstdio>

CommandContext::CommandContext(const ToolConsole& console) : ToolConsole(console)
{
}

std::string CommandContext::device() const
{
    return DacSession::identifiers(vendorId, productId);
}

// Standard output carries only the command's result.
int CommandContext::withDac(const Work& work) const
{
    std::FILE* const diagnostics = Diagnostics::redirect(verbose ? stderr : nullptr);
    Error error;
    {
        DacSession session(vendorId, productId);
        error = session.open();
        if (!error)
            error = work(session);
    }   // the DAC is closed here
    Diagnostics::redirect(diagnostics);
    return error ? fail(worded(error)) : Done;
}

bool CommandContext::splitOptions(const Arguments& arguments, const std::vector<std::string>& known,
                                  std::vector<bool>& given, Arguments& operands) const
{
    std::vector<OptionParser::Option> options;
    for (const std::string& name : known)
        options.push_back({name});
    OptionParser parser(options, OptionParser::Scope::Anywhere);
    if (!parser.parse(arguments)) {
        refuse(parser.error());
        return false;
    }
    given.clear();
    for (const std::string& name : known)
        given.push_back(parser.isSet(name));
    operands = parser.operands();
    return true;
}

HistoryKeeper CommandContext::historyKeeper(DacSession& session) const
{
    return HistoryKeeper({keepHistory, vendorId, productId, commandLine}, session);
}

Error CommandContext::historyError(const Error& error) const
{
    if (error.kind != Error::Kind::File)
        return error;
    return Error(Error::Kind::File,
                 HistoryKeeper::notKept(error, " (--no-history does without the history)"));
}

int CommandContext::withRig(const MeasurementOptions& options, bool needDac, bool wholeBlock,
                            const MeasurementRig::Work& work) const
{
    std::FILE* const diagnostics = Diagnostics::redirect(verbose ? stderr : nullptr);
    int status = Done;
    {
        // The input first: a channel it does not have is a bad command line,
        // refused before anything reaches the DAC.
        MeasurementRig rig(options);
        noteLongCaptures(rig);
        const Error inputError = rig.prepareInput();
        if (inputError) {
            Diagnostics::redirect(diagnostics);
            if (inputError.kind == Error::Kind::Refused)
                return refuse(worded(inputError));
            fail(worded(inputError));
            return AudioFailed;
        }
        DacSession session(vendorId, productId);
        DacSession::Block block{};
        // measure needs only the volumes (one window); tune-thd the whole
        // block, for the history and the THD values.
        const std::vector<uint8_t> volumeWindow{BlockLayout::windowOf(BlockLayout::volumeLeft)};
        Error unread = session.open();
        if (!unread)
            unread =
                wholeBlock ? session.readBlock(block) : session.readWindows(volumeWindow, block);
        const bool open = !unread;
        std::string cause = unread.cause;
        if (open || !needDac) {
            cause = worded(rig.prepareOutput(open ? &session : nullptr, vendorId, productId,
                                             open ? &block : nullptr));
            for (const std::string& note : rig.notes())
                std::fprintf(stderr, "%s\n", note.c_str());
            if (cause.empty())
                status = work(open ? &session : nullptr, open ? &block : nullptr, rig);
        }
        if (!cause.empty()) {
            fail(cause);
            status = AudioFailed;
        }
    }   // the DAC is closed here, PortAudio ended
    Diagnostics::redirect(diagnostics);
    return status;
}

void CommandContext::noteLongCaptures(MeasurementRig& rig)
{
    rig.setLongCaptureNotice([](double seconds) {
        std::fprintf(stderr,
                     "capturing %.0f s: one unit of a value moves its harmonic less than the "
                     "capture's noise\n",
                     seconds);
    });
}

std::string CommandContext::worded(const Error& error)
{
    // A device that is not there at all: audio-devices lists those that are.
    const std::string cause =
        error.kind == Error::Kind::NotFound ? error.cause + " (see audio-devices)" : error.cause;
    switch (error.subject) {
    case Error::Subject::Output: return "--output: " + cause;
    case Error::Subject::Input: return "--input: " + cause;
    case Error::Subject::InputChannels: return "--input-channels: " + cause;
    case Error::Subject::DacOutput:
        return cause + " (sonvalectl audio-devices lists them): name it with --output";
    case Error::Subject::None:
        break;
    }
    return cause;
}
