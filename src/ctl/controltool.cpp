// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ctl/controltool.h"

#include "app/version.h"
#include "device/diagnostics.h"
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
    "Usage: sonvalectl [--device VID:PID] [--verbose] COMMAND [ARGUMENTS]\n"
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
    "                     checks it\n"
    "  load FILE [--force]\n"
    "                     loads a preset into the DAC as the window's import does:\n"
    "                     bytes 1 to 47 of the file, the DAC keeping its own byte 0\n"
    "                     (hwType); then reads the block back and checks it. A file\n"
    "                     that is no valid preset is refused, and so is one holding\n"
    "                     values the window never sets (a pcm_mclk entry above 15,\n"
    "                     a pcm_filter byte with any of bits 4..0 set) unless\n"
    "                     --force is given\n"
    "  save FILE          reads the block and writes it as a preset file, all at\n"
    "                     once through a temporary file beside FILE: a failed read\n"
    "                     leaves no file\n"
    "  factory --yes      restores the DAC's factory settings, then reads and shows\n"
    "                     them; without --yes nothing is done, as every setting\n"
    "                     would be lost (keep them first with 'save FILE')\n"
    "\n";

const char trailer[] =
    "\n"
    "Exit status: 0 done; 1 the DAC or a file failed (not found, not opened, an\n"
    "exchange failed, a read incomplete, the block read back differs from what was\n"
    "sent); 2 bad command line, nothing sent to the DAC and nothing written.\n"
    "\n"
    "Examples:\n"
    "  sonvalectl save before.sonvale\n"
    "                     keeps what the DAC holds before you experiment\n"
    "  sonvalectl set \"pcm_filter[0]=Linear phase slow\" \"volume[0]=40\" \"volume[1]=40\"\n"
    "                     a filter shape and the volume of both channels\n"
    "  sonvalectl show --json | jq .settings.pcm_filter\n"
    "                     the filter bytes, as numbers\n"
    "  sonvalectl load before.sonvale\n"
    "                     and back\n"
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

std::string jsonString(const std::string& text)
{
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += char(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += char(c);
        }
    }
    return quoted + "\"";
}

std::string jsonStringOrNull(const std::string& text)
{
    return text.empty() ? "null" : jsonString(text);
}

// What a value of `field` reads as in a failure message: "pcm_mclk[3]=16".
std::string valueText(const std::string& name, const DacSession::Block& bytes, int offset)
{
    FieldAssignment field(kProgram);
    std::string ignored;
    if (!field.parseField(name, ignored))
        return name + "=" + std::to_string(bytes[size_t(offset)]);
    return name + "=" + joined(field.valuesIn(hostBlock(bytes)), " ");
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
    const struct {
        const char* name;
        int (ControlTool::*run)(const Arguments&);
    } commands[] = {
        {"status", &ControlTool::status}, {"show", &ControlTool::show}, {"get", &ControlTool::get},
        {"set", &ControlTool::set},       {"load", &ControlTool::load}, {"save", &ControlTool::save},
        {"factory", &ControlTool::factory},
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
    std::string last;
    for (int offset = 0; offset < kBlockSize; ++offset) {
        const std::string name = FieldAssignment::nameAt(offset);
        if (held[size_t(offset)] == sent[size_t(offset)] || name == last)
            continue;
        last = name;
        differences += (differences.empty() ? "" : ", ") + valueText(name, held, offset) + " (sent "
                       + valueText(name, sent, offset).substr(name.size() + 1) + ")";
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
        if (!session.readBlock(block))
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
        for (uint8_t address : windows) {
            if (!session.writeWindow(address, wanted))
                return false;
        }
        if (volume && !session.setVolume(wanted[kVolumeLeft], wanted[kVolumeRight]))
            return false;
        return (windows.empty() && !volume) || verify(session, wanted);
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

    return withDac([&](DacSession& session) {
        // Byte 0 (hwType) stays the device's own; it is all the import keeps.
        Block head{};
        if (!session.readWindows({0}, head))
            return false;
        wanted[0] = head[0];
        for (int address = 0; address < kBlockSize; address += kWindow) {
            if (!session.writeWindow(uint8_t(address), wanted))
                return false;
        }
        return session.commit() && verify(session, wanted);
    });
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
        return session.restoreFactory() && readAndKeep(session);
    });
    if (result == Done)
        printBlock(given[1]);
    return result;
}
