// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ctl/controltool.h"

#include "base/diagnostics.h"
#include "base/version.h"
#include "ctl/history.h"
#include "settings/fieldassignment.h"
#include "settings/presetfile.h"
#include "settings/settingsblock.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

const char* const kProgram = "sonvalectl";

const char usage[] =
    "Usage: sonvalectl [--device VID:PID] [--verbose] [--no-history] COMMAND [ARGUMENTS]\n"
    "  or:  sonvalectl --help | --version\n"
    "\n"
    "Drives a Sonvale DAC from a terminal: reads and changes its settings exactly\n"
    "as the Sonvale window does, and loads, saves and restores whole settings\n"
    "blocks, which the window's \"Settings\" menu does not offer (its entries are\n"
    "greyed out). Preset files are those of sonvale-preset: the 48-byte settings\n"
    "block followed by two checksum bytes.\n"
    "\n"
    "Options (before the command):\n"
    "  --device VID:PID   the DAC's USB vendor and product identifiers, in\n"
    "                     hexadecimal (default 2fc6:6013)\n"
    "  --verbose          print the exchanges with the DAC (\"Response: ...\") and\n"
    "                     the link's other diagnostics on standard error\n"
    "  --no-history       set, load, factory and undo keep nothing in the history\n"
    "                     (below), and load and factory read the DAC less\n"
    "  --help             print this help and exit\n"
    "  --version          print the version and exit\n"
    "\n"
    "Commands:\n"
    "  status             whether the DAC is on the bus and can be opened; prints\n"
    "                     its identifiers and its manufacturer, product and serial\n"
    "                     number\n"
    "  show [--json]      reads the whole settings block and prints every field as\n"
    "                     'sonvale-preset show' does, with the volume in dB and the\n"
    "                     filter shapes; --json prints one JSON document whose\n"
    "                     member \"settings\" holds every field by its name\n"
    "  get FIELD...       prints the value of each field on a line of its own, as a\n"
    "                     decimal number; an array named without an index prints\n"
    "                     all of its entries on one line\n"
    "  set FIELD=VALUE...\n"
    "                     changes fields on the DAC as the window does: reads the\n"
    "                     block, sends only what changes (the channel volumes with\n"
    "                     the volume command, every other field in the four-byte\n"
    "                     window that holds it), then reads the block back and\n"
    "                     checks it; when nothing changes, nothing is sent\n"
    "  load FILE [--force]\n"
    "                     loads a preset into the DAC as the window's import does:\n"
    "                     reads the whole block for the history (12 exchanges; with\n"
    "                     --no-history 1, the window of byte 0), writes bytes 1 to\n"
    "                     47 of the file, the DAC keeping its own byte 0 (hwType),\n"
    "                     and commits them (13), then reads the block back and\n"
    "                     checks it (12). A file that is no valid preset is\n"
    "                     refused, and so is one holding values the window never\n"
    "                     sets (a pcm_mclk entry above 15, a pcm_filter byte with\n"
    "                     any of bits 4..0 set) unless --force is given\n"
    "  save FILE          reads the block and writes it as a preset file, all at\n"
    "                     once through a temporary file beside FILE: a failed read\n"
    "                     leaves no file\n"
    "  factory --yes [--json]\n"
    "                     reads the block for the history (12 exchanges; none with\n"
    "                     --no-history), restores the DAC's factory settings (1),\n"
    "                     then reads and shows them (12); without --yes nothing is\n"
    "                     done\n"
    "  diff FILE          reads the block and prints each value where the DAC and\n"
    "                     the preset FILE differ, one a line, byte 0 (hwType) left\n"
    "                     out as load leaves it: 'pcm_mclk[2]: DAC 4, file 7'\n"
    "  history [--json]   lists the history of the DAC, newest first: the number of\n"
    "                     each entry, when it was kept and the command that followed\n"
    "  undo [N]           loads entry N of the history (default 1, the newest) as\n"
    "                     load does and checks it, but the whole block as the DAC\n"
    "                     held it, hwType and values the window never sets\n"
    "                     included; undo is kept in the history too, so a second\n"
    "                     undo returns to what the first one replaced\n"
    "\n"
    "History: before set, load, factory and undo change anything, the whole block\n"
    "is read and kept as a preset file, with the time, the DAC and the command, in\n"
    "the user's data folder (Qt's GenericDataLocation: on Linux\n"
    "$XDG_DATA_HOME/sonvale/history, by default ~/.local/share/sonvale/history; on\n"
    "Windows %LOCALAPPDATA%\\sonvale\\history), in a folder of each DAC's own,\n"
    "named by its identifiers and serial number. The newest 100 entries of each\n"
    "DAC are kept. When an entry cannot be written, nothing is changed on the DAC\n"
    "(exit status 1); --no-history does without. A set that changes nothing keeps\n"
    "nothing.\n"
    "\n";

const char trailer[] =
    "\n"
    "Exit status: 0 done; 1 the DAC or a file failed (not found, not opened, an\n"
    "exchange failed, a read incomplete, the block read back differs from what was\n"
    "sent, the history could not be kept); 2 bad command line, nothing sent to the\n"
    "DAC and nothing written. diff, as diff(1) does: 0 the same, 1 different, 2 bad\n"
    "command line, 3 the DAC or the file failed.\n"
    "\n"
    "Examples:\n"
    "  sonvalectl save before.sonvale\n"
    "                     keeps what the DAC holds before you experiment\n"
    "  sonvalectl set \"pcm_filter[0]=Linear phase slow\" \"volume[0]=40\" \"volume[1]=40\"\n"
    "                     a filter shape and the volume of both channels\n"
    "  sonvalectl show --json | jq .settings.pcm_filter\n"
    "                     the filter bytes, as numbers\n"
    "  sonvalectl diff before.sonvale\n"
    "                     what has changed since\n"
    "  sonvalectl load before.sonvale\n"
    "                     and back\n"
    "  sonvalectl undo\n"
    "                     back to what the DAC held before the last load\n"
    "\n"
    "On Linux the DAC can be opened without root once the udev rule that Sonvale\n"
    "installs (70-sonvale.rules) is in place; on Windows its interface 0 needs a\n"
    "driver libusb can use.\n";

constexpr uint8_t kWindow = 4;
constexpr int kBlockSize = PresetFile::blockSize;
constexpr int kVolumeLeft = 4;
constexpr int kVolumeRight = 5;
constexpr int kThdFirst = 10;
constexpr int kThdEnd = 22;
constexpr int kMaxMclk = 15;
constexpr uint8_t kShapeBits = 0xE0;   // a filter shape lives in bits 7..5

SettingsBlock hostBlock(const DacSession::Block& bytes)
{
    return SettingsBlock::fromDeviceBytes(bytes.data());
}

DacSession::Block deviceBytes(const SettingsBlock& block)
{
    DacSession::Block bytes;
    block.toDeviceBytes(bytes.data());
    return bytes;
}

// The window a byte is written in: a THD range's own window (its 2nd and 3rd
// value, as the window writes them), otherwise the four-byte window at a
// multiple of 4.
uint8_t windowOf(int offset)
{
    if (offset >= kThdFirst && offset < kThdEnd)
        return uint8_t(kThdFirst + (offset - kThdFirst) / kWindow * kWindow);
    return uint8_t(offset / kWindow * kWindow);
}

std::string joined(const std::vector<long>& values, const char* separator)
{
    std::string text;
    for (size_t i = 0; i < values.size(); ++i)
        text += (i ? separator : "") + std::to_string(values[i]);
    return text;
}

// UTF-8 passes as it is (a byte that is not UTF-8 becomes U+FFFD).
std::string jsonString(const std::string& text)
{
    QString quoted = QStringLiteral("\"");
    for (QChar c : QString::fromStdString(text)) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
            quoted += QString::asprintf("\\u%04x", c.unicode());
        } else {
            quoted += c;
        }
    }
    return (quoted + '"').toStdString();
}

std::string jsonStringOrNull(const std::string& text)
{
    return text.empty() ? "null" : jsonString(text);
}

// The command as the history keeps it: its words, those with a space or a
// quote in double quotes.
std::string commandText(const std::string& command, const std::vector<std::string>& arguments)
{
    std::string text = command;
    for (const std::string& argument : arguments) {
        if (argument.find_first_of(" \t\"'") == std::string::npos && !argument.empty()) {
            text += " " + argument;
            continue;
        }
        text += " \"";
        for (char c : argument)
            text += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
        text += "\"";
    }
    return text;
}

// A positive whole number, digits only.
bool parseCount(const std::string& text, size_t& count)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    count = size_t(std::stoul(text));
    return count > 0;
}

} // namespace

int ControlTool::run(const Arguments& arguments)
{
    size_t next = 0;
    for (; next < arguments.size(); ++next) {
        const std::string& option = arguments[next];
        if (option == "--help" || option == "-h") {
            std::printf("%s%s%s", usage, FieldAssignment::fieldHelp().c_str(), trailer);
            return Done;
        }
        if (option == "--version") {
            std::printf("sonvalectl %s\n" SONVALE_LICENCE_LINES, SONVALE_VERSION);
            return Done;
        }
        if (option == "--verbose") {
            verbose = true;
        } else if (option == "--no-history") {
            keepHistory = false;
        } else if (option == "--device" || option.rfind("--device=", 0) == 0) {
            std::string value;
            if (option == "--device") {
                if (++next == arguments.size())
                    return refuse("--device needs VID:PID, e.g. --device 2fc6:6013");
                value = arguments[next];
            } else {
                value = option.substr(std::strlen("--device="));
            }
            if (!parseDevice(value))
                return refuse("--device takes two hexadecimal identifiers VID:PID (e.g. 2fc6:6013), not '" + value + "'");
        } else if (option.rfind("-", 0) == 0) {
            return refuse("unknown option '" + option + "'");
        } else {
            break;
        }
    }
    if (next == arguments.size())
        return refuse("missing command");

    const std::string command = arguments[next];
    const Arguments rest(arguments.begin() + long(next) + 1, arguments.end());
    if (std::find(rest.begin(), rest.end(), "--help") != rest.end())
        return run({"--help"});
    commandLine = commandText(command, rest);
    const struct {
        const char* name;
        int (ControlTool::*run)(const Arguments&);
    } commands[] = {
        {"status", &ControlTool::status}, {"show", &ControlTool::show}, {"get", &ControlTool::get},
        {"set", &ControlTool::set},       {"load", &ControlTool::load}, {"save", &ControlTool::save},
        {"factory", &ControlTool::factory}, {"diff", &ControlTool::diff},
        {"history", &ControlTool::history}, {"undo", &ControlTool::undo},
    };
    for (const auto& c : commands) {
        if (command == c.name)
            return (this->*c.run)(rest);
    }
    return refuse("unknown command '" + command + "'");
}

bool ControlTool::parseDevice(const std::string& text)
{
    const auto hex = [](const std::string& part, uint16_t& id) {
        std::string digits = part;
        if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0)
            digits = digits.substr(2);
        if (digits.empty() || digits.size() > 4)
            return false;
        for (char c : digits) {
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return false;
        }
        id = uint16_t(std::stoul(digits, nullptr, 16));
        return true;
    };
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    return hex(text.substr(0, colon), vendorId) && hex(text.substr(colon + 1), productId);
}

// Splits a command's arguments into the options it knows and its operands;
// refuses anything else that starts with "--".
bool ControlTool::parseOptions(const Arguments& arguments, const std::vector<std::string>& known,
                               std::vector<bool>& given, Arguments& operands)
{
    given.assign(known.size(), false);
    for (const std::string& argument : arguments) {
        if (argument.rfind("--", 0) != 0) {
            operands.push_back(argument);
            continue;
        }
        const auto option = std::find(known.begin(), known.end(), argument);
        if (option == known.end()) {
            refuse("unknown option '" + argument + "'");
            return false;
        }
        given[size_t(option - known.begin())] = true;
    }
    return true;
}

int ControlTool::refuse(const std::string& message)
{
    std::fprintf(stderr, "sonvalectl: %s (sonvalectl --help shows the usage)\n", message.c_str());
    return BadUsage;
}

int ControlTool::fail(const std::string& cause)
{
    std::fprintf(stderr, "sonvalectl: %s\n", cause.c_str());
    return Failed;
}

// Standard output carries only the command's result: the diagnostics of
// the device code go to standard error with --verbose, otherwise nowhere.
int ControlTool::withDac(const std::function<bool(DacSession&)>& work)
{
    std::FILE* const diagnostics = Diagnostics::redirect(verbose ? stderr : nullptr);
    bool done = false;
    std::string cause;
    {
        DacSession session(vendorId, productId);
        failure.clear();
        done = session.open() && work(session);
        if (done) {
            identity = session.identity();
            interfaceProblem = session.interfaceProblem();
        } else {
            cause = failure.empty() ? session.error() : failure;
        }
    }   // the DAC is closed here
    Diagnostics::redirect(diagnostics);
    return done ? Done : fail(cause);
}

// Before anything is sent that changes the DAC: the history's folder must
// be there (`held` null), then the block the DAC holds is kept in it.
bool ControlTool::keep(DacSession& session, const Block* held)
{
    if (!keepHistory)
        return true;
    const History history(vendorId, productId, session.identity().serial);
    std::string error;
    if (held ? history.record(held->data(), commandLine, error) : history.prepare(error))
        return true;
    failure = "the DAC's settings cannot be kept in its history, so the DAC was left as it was: " + error
              + " (--no-history does without the history)";
    return false;
}

// Reads the whole block into `held` and keeps it in the history, the folder
// made before the read, so that one that cannot be made stops the command
// before anything is sent.
bool ControlTool::keepWhatItHolds(DacSession& session, Block& held)
{
    return keep(session, nullptr) && session.readBlock(held) && keep(session, &held);
}

// Writes `wanted` as the window's import does, and checks what the DAC then
// holds. A preset's byte 0 (hwType) gives way to the DAC's own; a block the
// DAC itself held (`itsOwn`) goes back whole. With the history, the whole
// block is read and kept first; without, only the window that holds byte 0.
bool ControlTool::import(DacSession& session, Block wanted, bool itsOwn)
{
    Block held{};
    if (!(keepHistory ? keepWhatItHolds(session, held) : session.readWindows({0}, held)))
        return false;
    if (!itsOwn)
        wanted[0] = held[0];
    for (int address = 0; address < kBlockSize; address += kWindow) {
        if (!session.writeWindow(uint8_t(address), wanted))
            return false;
    }
    return session.commit() && verify(session, wanted);
}

// Reads the whole block into `block`, with what the window shows of it.
bool ControlTool::readAndKeep(DacSession& session)
{
    if (!session.readBlock(block))
        return false;
    volumeDb = double(session.mirror().volumeDb());
    volumeDbText = session.mirror().volumeDbText().toStdString();
    return true;
}

// Reads the block back and compares it with what was sent, naming every
// value that differs.
bool ControlTool::verify(DacSession& session, const Block& sent)
{
    Block held;
    if (!session.readBlock(held))
        return false;
    std::string differences;
    for (const FieldAssignment::Difference& d : FieldAssignment::differences(held.data(), sent.data())) {
        differences += (differences.empty() ? "" : ", ") + d.name + "=" + std::to_string(d.first) + " (sent "
                       + std::to_string(d.second) + ")";
    }
    if (differences.empty())
        return true;
    failure = "the block read back differs from what was sent: the DAC holds " + differences;
    return false;
}

int ControlTool::status(const Arguments& arguments)
{
    if (!arguments.empty())
        return refuse("status takes no arguments");
    const int result = withDac([](DacSession&) { return true; });
    if (result != Done)
        return result;
    std::printf("device: %s\n", DacSession::identifiers(vendorId, productId).c_str());
    const std::pair<const char*, const std::string*> strings[] = {
        {"manufacturer", &identity.manufacturer},
        {"product", &identity.product},
        {"serial number", &identity.serial},
    };
    for (const auto& s : strings) {
        if (!s.second->empty())
            std::printf("%s: %s\n", s.first, s.second->c_str());
    }
    if (!interfaceProblem.empty())
        std::printf("note: %s\n", interfaceProblem.c_str());
    return Done;
}

int ControlTool::show(const Arguments& arguments)
{
    std::vector<bool> given;
    Arguments operands;
    if (!parseOptions(arguments, {"--json"}, given, operands))
        return BadUsage;
    if (!operands.empty())
        return refuse("show takes no arguments but --json");
    const int result = withDac([this](DacSession& session) { return readAndKeep(session); });
    if (result == Done)
        printBlock(given[0]);
    return result;
}

void ControlTool::printBlock(bool json) const
{
    const SettingsBlock settings = hostBlock(block);
    std::vector<std::string> shapes;
    for (uint8_t filter : settings.pcm_filter)
        shapes.push_back(FieldAssignment::shapeName(filter >> 5));

    if (!json) {
        std::fflush(stdout);
        settings.dump();
        std::printf("volume: %s\n", volumeDbText.c_str());
        std::string line;
        for (size_t i = 0; i < shapes.size(); ++i)
            line += (i ? ", " : "") + shapes[i];
        std::printf("pcm_filter shapes[44.1 ...]: %s\n", line.c_str());
        return;
    }

    std::string text = "{\n";
    text += "  \"device\": " + jsonString(DacSession::identifiers(vendorId, productId)) + ",\n";
    text += "  \"manufacturer\": " + jsonStringOrNull(identity.manufacturer) + ",\n";
    text += "  \"product\": " + jsonStringOrNull(identity.product) + ",\n";
    text += "  \"serial\": " + jsonStringOrNull(identity.serial) + ",\n";
    text += "  \"volume_db\": " + QString::number(volumeDb, 'g', 6).toStdString() + ",\n";
    text += "  \"volume_text\": " + jsonString(volumeDbText) + ",\n";
    text += "  \"pcm_filter_shapes\": [";
    for (size_t i = 0; i < shapes.size(); ++i)
        text += (i ? ", " : "") + jsonString(shapes[i]);
    text += "],\n  \"settings\": {\n";
    for (int field = 0; field < FieldAssignment::fieldCount(); ++field) {
        const std::vector<long> values = FieldAssignment::fieldValues(field, settings);
        text += std::string("    \"") + FieldAssignment::fieldName(field) + "\": ";
        text += values.size() == 1 ? std::to_string(values[0]) : "[" + joined(values, ", ") + "]";
        text += field + 1 < FieldAssignment::fieldCount() ? ",\n" : "\n";
    }
    text += "  }\n}\n";
    std::fputs(text.c_str(), stdout);
}

int ControlTool::get(const Arguments& arguments)
{
    std::vector<FieldAssignment> fields;
    std::vector<uint8_t> windows;
    for (const std::string& argument : arguments) {
        FieldAssignment field(kProgram);
        std::string error;
        if (!field.parseField(argument, error))
            return refuse(error);
        for (int offset = field.offset(); offset < field.offset() + field.length(); ++offset)
            windows.push_back(uint8_t(offset / kWindow * kWindow));
        fields.push_back(field);
    }
    if (fields.empty())
        return refuse("get needs at least one FIELD, e.g. get pcm_mclk[0] volume");
    std::sort(windows.begin(), windows.end());
    windows.erase(std::unique(windows.begin(), windows.end()), windows.end());

    // Only the windows that hold the fields asked for.
    const int result = withDac([&](DacSession& session) { return session.readWindows(windows, block); });
    if (result != Done)
        return result;
    const SettingsBlock settings = hostBlock(block);
    for (const FieldAssignment& field : fields)
        std::printf("%s\n", joined(field.valuesIn(settings), " ").c_str());
    return Done;
}

int ControlTool::set(const Arguments& arguments)
{
    std::vector<FieldAssignment> assignments;
    for (const std::string& argument : arguments) {
        FieldAssignment assignment(kProgram);
        std::string error;
        if (!assignment.parse(argument, error))
            return refuse(error);
        assignments.push_back(assignment);
    }
    if (assignments.empty())
        return refuse("set needs at least one FIELD=VALUE, e.g. set pcm_mclk[0]=7");

    return withDac([&](DacSession& session) {
        if (!keep(session, nullptr) || !session.readBlock(block))
            return false;
        SettingsBlock settings = hostBlock(block);
        for (const FieldAssignment& assignment : assignments)
            assignment.applyTo(settings);
        const Block wanted = deviceBytes(settings);

        // The channel volumes go with the volume command, which keeps the
        // channel that is not named as the device holds it; every other
        // change in the window that holds it, each window once.
        bool volume = false;
        std::vector<uint8_t> windows;
        for (int offset = 0; offset < kBlockSize; ++offset) {
            if (wanted[size_t(offset)] == block[size_t(offset)])
                continue;
            if (offset == kVolumeLeft || offset == kVolumeRight)
                volume = true;
            else if (windows.empty() || windows.back() != windowOf(offset))
                windows.push_back(windowOf(offset));
        }
        if (windows.empty() && !volume)
            return true;
        if (!keep(session, &block))
            return false;
        for (uint8_t address : windows) {
            if (!session.writeWindow(address, wanted))
                return false;
        }
        if (volume && !session.setVolume(wanted[kVolumeLeft], wanted[kVolumeRight]))
            return false;
        return verify(session, wanted);
    });
}

int ControlTool::load(const Arguments& arguments)
{
    std::vector<bool> given;
    Arguments operands;
    if (!parseOptions(arguments, {"--force"}, given, operands))
        return BadUsage;
    if (operands.size() != 1)
        return refuse("load takes exactly one FILE");
    const std::string& path = operands[0];

    std::vector<unsigned char> bytes;
    const std::string fault = PresetFile::read(path, bytes);
    if (!fault.empty())
        return fail(path + ": " + fault);
    Block wanted;
    std::copy_n(bytes.begin(), kBlockSize, wanted.begin());

    // Values the window cannot produce go to the device only when asked for.
    const SettingsBlock settings = hostBlock(wanted);
    std::string strange;
    for (int i = 0; i < 8; ++i) {
        const std::string entry = "[" + std::to_string(i) + "]=";
        if (settings.pcm_mclk[i] > kMaxMclk)
            strange += (strange.empty() ? "" : ", ") + ("pcm_mclk" + entry) + std::to_string(settings.pcm_mclk[i]);
        if (settings.pcm_filter[i] & ~kShapeBits)
            strange += (strange.empty() ? "" : ", ") + ("pcm_filter" + entry) + std::to_string(settings.pcm_filter[i]);
    }
    if (!strange.empty() && !given[0]) {
        return fail(path + ": it holds values the window never sets (" + strange
                    + "; pcm_mclk goes to 15, pcm_filter uses bits 7..5 only); --force loads it unchanged");
    }

    return withDac([&](DacSession& session) { return import(session, wanted, false); });
}

int ControlTool::save(const Arguments& arguments)
{
    std::vector<bool> given;
    Arguments operands;
    if (!parseOptions(arguments, {}, given, operands))
        return BadUsage;
    if (operands.size() != 1)
        return refuse("save takes exactly one FILE");

    const int result = withDac([this](DacSession& session) { return session.readBlock(block); });
    if (result != Done)
        return result;
    std::vector<unsigned char> bytes(block.begin(), block.end());
    bytes.resize(PresetFile::minimumSize);
    std::string error;
    if (!PresetFile::write(operands[0], bytes, error))
        return fail(error);
    return Done;
}

int ControlTool::factory(const Arguments& arguments)
{
    std::vector<bool> given;
    Arguments operands;
    if (!parseOptions(arguments, {"--yes", "--json"}, given, operands))
        return BadUsage;
    if (!operands.empty())
        return refuse("factory takes no arguments but --yes and --json");
    if (!given[0]) {
        return refuse("factory replaces every setting on the DAC with its factory settings; keep them first "
                      "with 'sonvalectl save FILE', then run 'sonvalectl factory --yes'");
    }
    const int result = withDac([this](DacSession& session) {
        Block held;
        if (keepHistory && !keepWhatItHolds(session, held))
            return false;
        return session.restoreFactory() && readAndKeep(session);
    });
    if (result == Done)
        printBlock(given[1]);
    return result;
}

int ControlTool::diff(const Arguments& arguments)
{
    std::vector<bool> given;
    Arguments operands;
    if (!parseOptions(arguments, {}, given, operands))
        return BadUsage;
    if (operands.size() != 1)
        return refuse("diff takes exactly one FILE");
    const std::string& path = operands[0];

    std::vector<unsigned char> bytes;
    const std::string fault = PresetFile::read(path, bytes);
    if (!fault.empty()) {
        fail(path + ": " + fault);
        return DiffFailed;
    }
    if (withDac([this](DacSession& session) { return session.readBlock(block); }) != Done)
        return DiffFailed;
    // Byte 0 stays the DAC's own when the file is loaded.
    const auto differences = FieldAssignment::differences(block.data(), bytes.data(), 1);
    for (const FieldAssignment::Difference& d : differences)
        std::printf("%s: DAC %ld, file %ld\n", d.name.c_str(), d.first, d.second);
    return differences.empty() ? Done : Different;
}

int ControlTool::history(const Arguments& arguments)
{
    std::vector<bool> given;
    Arguments operands;
    if (!parseOptions(arguments, {"--json"}, given, operands))
        return BadUsage;
    if (!operands.empty())
        return refuse("history takes no arguments but --json");
    // Only the DAC's serial number is needed, to find its history.
    const int result = withDac([](DacSession&) { return true; });
    if (result != Done)
        return result;
    const History kept(vendorId, productId, identity.serial);
    const std::vector<History::Entry> entries = kept.entries();

    if (given[0]) {
        std::string text = "{\n";
        text += "  \"device\": " + jsonString(DacSession::identifiers(vendorId, productId)) + ",\n";
        text += "  \"serial\": " + jsonStringOrNull(identity.serial) + ",\n";
        text += "  \"folder\": " + jsonStringOrNull(kept.folder()) + ",\n";
        text += "  \"entries\": [";
        for (size_t i = 0; i < entries.size(); ++i) {
            text += std::string(i ? "," : "") + "\n    {\"number\": " + std::to_string(i + 1)
                    + ", \"time\": " + jsonStringOrNull(entries[i].time)
                    + ", \"command\": " + jsonString(entries[i].command)
                    + ", \"file\": " + jsonString(entries[i].path) + "}";
        }
        text += entries.empty() ? "]\n}\n" : "\n  ]\n}\n";
        std::fputs(text.c_str(), stdout);
        return Done;
    }
    if (entries.empty()) {
        std::fprintf(stderr, "sonvalectl: the history of the DAC %s is empty (%s)\n",
                     DacSession::identifiers(vendorId, productId).c_str(), kept.folder().c_str());
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        std::printf("%3zu  %s  %s\n", i + 1, History::localTime(entries[i].time).c_str(),
                    entries[i].command.c_str());
    }
    return Done;
}

int ControlTool::undo(const Arguments& arguments)
{
    std::vector<bool> given;
    Arguments operands;
    if (!parseOptions(arguments, {}, given, operands))
        return BadUsage;
    size_t number = 1;
    if (operands.size() > 1 || (operands.size() == 1 && !parseCount(operands[0], number)))
        return refuse("undo takes the number of an entry of 'sonvalectl history' (1, the newest, if none)");

    return withDac([&](DacSession& session) {
        const History kept(vendorId, productId, session.identity().serial);
        const std::vector<History::Entry> entries = kept.entries();
        if (number > entries.size()) {
            failure = "the history of the DAC " + DacSession::identifiers(vendorId, productId) + " holds "
                      + std::to_string(entries.size()) + (entries.size() == 1 ? " entry" : " entries") + ", not "
                      + std::to_string(number) + " (" + kept.folder() + ")";
            return false;
        }
        // What the DAC held once goes back as it was, hwType and whatever the
        // window would not have set included.
        const std::string& path = entries[number - 1].path;
        std::vector<unsigned char> bytes;
        const std::string fault = PresetFile::read(path, bytes);
        if (!fault.empty()) {
            failure = path + ": " + fault;
            return false;
        }
        Block wanted;
        std::copy_n(bytes.begin(), kBlockSize, wanted.begin());
        return import(session, wanted, true);
    });
}
