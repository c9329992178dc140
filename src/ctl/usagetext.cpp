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
    "  --no-history       set, load, factory, undo, tune-thd, thd-map and sweep keep\n"
    "                     nothing in the history\n"
    "                     (below), and load and factory read the DAC less\n"
    "  --help             print this help and exit\n"
    "  --version          print the version and exit\n"
    "\n"
    "Commands:\n";

const char history[] =
    "\n"
    "History: before set, load, factory, undo, tune-thd, thd-map and sweep change\n"
    "anything, the whole block is read and kept as a preset file, with the time,\n"
    "the DAC and the command, in the user's data folder (Qt's GenericDataLocation:\n"
    "on Linux $XDG_DATA_HOME/sonvale/history, by default\n"
    "~/.local/share/sonvale/history; on Windows %LOCALAPPDATA%\\sonvale\\history),\n"
    "in a folder of each DAC's own, named by its identifiers and serial number.\n"
    "The newest 100 entries of each DAC are kept. When an entry cannot be written,\n"
    "nothing is changed on the DAC (exit status 1); --no-history does without. A\n"
    "set that changes nothing keeps nothing.\n"
    "\n";

const char audio[] =
    "\n"
    "Audio options (measure, check-interface, tune-thd, thd-map, sweep):\n"
    "  --frequency HZ     the sine's frequency (default 997)\n"
    "  --level DBFS       its peak level before the DAC's volume, 0 dBFS a\n"
    "                     full-scale sine (default -3); above 0 it is capped at 0\n"
    "  --rate HZ          the sample rate of both devices (default 48000)\n"
    "  --seconds S        the length kept, after 0.25 s of settling (default 1)\n"
    "  --output DEV       the device that plays: an index of audio-devices, an exact\n"
    "                     name, a part of one name in any case, or 'default'; by\n"
    "                     default the DAC's own audio output (found through the USB\n"
    "                     device the link opens). Naming one, measure needs no DAC\n"
    "  --input DEV        the device that records, named the same way (default:\n"
    "                     'default')\n"
    "  --input-channels L,R\n"
    "                     the inputs of that device that record the DAC's left and\n"
    "                     right output, counted from 1 (default 1,2); one number\n"
    "                     records one channel\n"
    "The level played is the level asked for plus the DAC's volume in dB when the\n"
    "tone goes through the DAC; what arrives is that times the gain of the path\n"
    "into the interface, which measure reports (\"path gain\"). Within a tuning or\n"
    "a map the first capture fixes that gain: a later capture more than 0.5 dB\n"
    "from it ends the run (\"level\"). A tone so low at the input that its noise\n"
    "hides the harmonics is a \"weak signal\": raise the input gain. The sine fades\n"
    "in and out over 10 ms.\n"
    "SAFETY: during a measurement connect the DAC's output to an input of your\n"
    "audio interface (a line input), never to speakers or headphones: the tone\n"
    "plays at the level asked for, up to full scale, for over a second.\n";

const char trailer[] =
    "\n"
    "Exit status: the same for every command\n"
    "  0  done (diff: the same; measure: measured; tune-thd: improved and kept;\n"
    "     sweep: every volume measured)\n"
    "  1  nothing to do or nothing improved: diff, the two differ; measure, the\n"
    "     capture has a problem (clipping, dropout, weak signal, no signal; level,\n"
    "     with a file and --level), its figures printed all the same; tune-thd,\n"
    "     nothing improved (the reason follows), or Ctrl-C, SIGTERM or a closed\n"
    "     terminal stopped it; measure and tune-thd --separate, the input's level\n"
    "     changed by less than 3 dB; sweep, a capture has a problem (its figures\n"
    "     printed all the same), or a signal stopped it\n"
    "  2  bad command line: nothing sent to the DAC and nothing written\n"
    "  3  the DAC, the audio or a file failed (diff, audio-devices, measure,\n"
    "     check-interface, tune-thd, thd-map, sweep; tune-thd and thd-map also\n"
    "     when a capture had a problem; a refused WAV file or sweep's map file\n"
    "     names the reason)\n"
    "status, show, get, set, load, save, factory, history and undo exit 1, not 3,\n"
    "when the DAC or a file fails (not found, not opened, an exchange failed, a\n"
    "read incomplete, the block read back differs from what was sent), as they\n"
    "always have; so do every command that changes the DAC, tune-thd, thd-map and\n"
    "sweep included, when its history cannot be kept. Whenever tune-thd,\n"
    "thd-map or sweep ends, the values and the volume held before are back, or it\n"
    "says that they could not be put back.\n"
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
    "  sonvalectl measure --input 'Line In'\n"
    "                     the DAC's distortion, recorded through an interface\n"
    "  sonvalectl tune-thd --input 'Line In'\n"
    "                     and its THD values tuned to null it\n"
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
    return text + audio + history + FieldAssignment::fieldHelp() + trailer;
}
