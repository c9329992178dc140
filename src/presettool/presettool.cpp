// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "presettool/presettool.h"

#include "base/version.h"
#include "cli/optionparser.h"
#include "settings/fieldassignment.h"
#include "settings/presetfile.h"
#include "settings/settingsblock.h"

#include <cstdio>

namespace {

const char usage[] =
    "Usage: sonvale-preset new FILE [FIELD=VALUE ...]\n"
    "  or:  sonvale-preset show FILE\n"
    "  or:  sonvale-preset check FILE\n"
    "  or:  sonvale-preset set FILE FIELD=VALUE ...\n"
    "  or:  sonvale-preset diff FILE1 FILE2\n"
    "  or:  sonvale-preset --help | --version\n"
    "\n"
    "Makes and edits preset files for Sonvale: the DAC's 48-byte settings block\n"
    "followed by two checksum bytes. 'sonvalectl load FILE' puts one on the DAC\n"
    "and 'sonvalectl save FILE' keeps the DAC's settings in one; the window's\n"
    "\"Settings\" menu does neither (its entries are greyed out).\n"
    "\n"
    "  new    writes FILE holding the default settings with the given changes\n"
    "         (an existing FILE is replaced)\n"
    "  show   prints the settings of a valid preset as the program prints a block\n"
    "  check  prints \"ok\" for a valid preset, otherwise why it is not one\n"
    "  set    changes fields of a valid preset; every other byte, the unnamed ones\n"
    "         and anything after the checksum included, stays as it was\n"
    "  diff   prints each value where two presets differ, one a line, byte 0\n"
    "         (hwType) left out as a load leaves it, 'pcm_mclk[2]: FILE1 4, FILE2 7';\n"
    "         sonvalectl diff compares a preset with the DAC\n"
    "\n";

const char exitStatus[] =
    "\n"
    "Files are replaced all at once: the new bytes go to a temporary file in the\n"
    "same folder, renamed over FILE only when complete.\n"
    "\n"
    "Exit status: 0 done (check: the file is valid); 1 the file is not a valid\n"
    "preset or cannot be read or written; 2 bad command line, nothing written.\n"
    "diff, as diff(1) does: 0 the same, 1 different, 2 bad command line, 3 a file\n"
    "is not a valid preset or cannot be read.\n";

} // namespace

PresetTool::PresetTool() : ToolConsole("sonvale-preset", "\nTry 'sonvale-preset --help'.")
{
}

int PresetTool::run(const std::vector<std::string>& arguments)
{
    // --help (or "help") and --version only in place of a command; every
    // other word, whatever it starts with, is a command or its operand.
    OptionParser options({{"--help", {}, true}, {"-h", {}, true}, {"help", {}, true}, {"--version", {}, true}},
                         OptionParser::Scope::Leading, "-", OptionParser::Unknown::Operand);
    options.parse(arguments);
    if (!options.given().empty()) {
        if (options.given().front().first == "--version") {
            std::printf("sonvale-preset %s\n" SONVALE_LICENCE_LINES, SONVALE_VERSION);
            return Done;
        }
        std::printf("%s%s%s", usage, FieldAssignment::fieldHelp().c_str(), exitStatus);
        return Done;
    }
    if (arguments.empty())
        return refuse("missing command");
    const std::string& command = arguments[0];
    const struct {
        const char* name;
        int (PresetTool::*run)(const std::vector<std::string>&);
    } commands[] = {
        {"new", &PresetTool::makeNew}, {"show", &PresetTool::show}, {"check", &PresetTool::check},
        {"set", &PresetTool::set},     {"diff", &PresetTool::diff},
    };
    for (const auto& c : commands) {
        if (command == c.name)
            return (this->*c.run)(arguments);
    }
    return refuse("unknown command '" + command + "'");
}

int PresetTool::makeNew(const std::vector<std::string>& arguments)
{
    std::vector<FieldAssignment> assignments;
    if (arguments.size() < 2)
        return refuse("new needs a FILE");
    if (arguments[1].find('=') != std::string::npos)
        return refuse("new needs a FILE before the fields, not '" + arguments[1] + "'");
    if (!parseAssignments(arguments, 2, assignments))
        return BadUsage;

    SettingsBlock block;
    for (const FieldAssignment& assignment : assignments)
        assignment.applyTo(block);
    std::vector<unsigned char> bytes(PresetFile::minimumSize);
    block.toDeviceBytes(bytes.data());
    return save(arguments[1], bytes);
}

int PresetTool::show(const std::vector<std::string>& arguments)
{
    if (arguments.size() != 2)
        return refuse("show takes exactly one FILE");
    std::vector<unsigned char> bytes;
    if (const Error fault = PresetFile::read(arguments[1], bytes))
        return fail(arguments[1] + ": " + fault.cause);
    SettingsBlock::fromDeviceBytes(bytes.data()).dump();
    return Done;
}

int PresetTool::check(const std::vector<std::string>& arguments)
{
    if (arguments.size() != 2)
        return refuse("check takes exactly one FILE");
    std::vector<unsigned char> bytes;
    const Error fault = PresetFile::read(arguments[1], bytes);
    std::printf("%s\n", fault ? fault.cause.c_str() : "ok");
    return fault ? Failed : Done;
}

int PresetTool::set(const std::vector<std::string>& arguments)
{
    std::vector<FieldAssignment> assignments;
    if (arguments.size() < 2)
        return refuse("set needs a FILE and at least one FIELD=VALUE");
    if (arguments.size() < 3)
        return refuse("set needs at least one FIELD=VALUE after " + arguments[1]);
    if (!parseAssignments(arguments, 2, assignments))
        return BadUsage;

    std::vector<unsigned char> bytes;
    if (const Error fault = PresetFile::read(arguments[1], bytes))
        return fail(arguments[1] + ": " + fault.cause + "; not changed");

    SettingsBlock block = SettingsBlock::fromDeviceBytes(bytes.data());
    for (const FieldAssignment& assignment : assignments)
        assignment.applyTo(block);
    block.toDeviceBytes(bytes.data());
    return save(arguments[1], bytes);
}

int PresetTool::diff(const std::vector<std::string>& arguments)
{
    if (arguments.size() != 3)
        return refuse("diff takes exactly two FILEs");
    std::vector<unsigned char> bytes[2];
    for (int i = 0; i < 2; ++i) {
        if (const Error fault = PresetFile::read(arguments[size_t(i) + 1], bytes[i])) {
            fail(arguments[size_t(i) + 1] + ": " + fault.cause);
            return DiffFailed;
        }
    }
    // Byte 0 stays the DAC's own when a preset is loaded.
    const auto differences = FieldAssignment::differences(bytes[0].data(), bytes[1].data(), 1);
    for (const FieldAssignment::Difference& d : differences) {
        std::printf("%s: %s %ld, %s %ld\n", d.name.c_str(), arguments[1].c_str(), d.first, arguments[2].c_str(),
                    d.second);
    }
    return differences.empty() ? Done : Different;
}

bool PresetTool::parseAssignments(const std::vector<std::string>& arguments, size_t first,
                                  std::vector<FieldAssignment>& assignments) const
{
    for (size_t i = first; i < arguments.size(); ++i) {
        FieldAssignment assignment;
        if (const Error error = assignment.parse(arguments[i])) {
            refuseField(error);
            return false;
        }
        assignments.push_back(assignment);
    }
    return true;
}

int PresetTool::save(const std::string& path, std::vector<unsigned char>& bytes) const
{
    const Error error = PresetFile::write(path, bytes);
    return error ? fail(error.cause) : Done;
}
