// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// sonvalectl --help: what the tool does, its options, its commands (from
// the command table), the history, the fields, the exit status, examples.

#include "base/version.h"
#include "ctl/commands.h"
#include "ctl/controltool.h"
#include "settings/fieldassignment.h"

namespace {

const char head[] =
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
    "                     hexadecimal (default " SONVALE_USB_IDS ")\n"
    "  --verbose          print the exchanges with the DAC (\"Response: ...\") and\n"
    "                     the link's other diagnostics on standard error\n"
    "  --no-history       set, load, factory and undo keep nothing in the history\n"
    "                     (below), and load and factory read the DAC less\n"
    "  --help             print this help and exit\n"
    "  --version          print the version and exit\n"
    "\n"
    "Commands:\n";

const char history[] =
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

} // namespace

std::string ControlTool::usage()
{
    std::string text = head;
    for (const Commands::Command& command : Commands::table())
        text += command.usage;
    return text + history + FieldAssignment::fieldHelp() + trailer;
}
