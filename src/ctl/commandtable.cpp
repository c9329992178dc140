// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// sonvalectl's commands: each by its name, its lines in the help and the
// function that runs it.

#include "ctl/commands.h"

#include <iterator>

namespace Commands {
namespace {

    // In the order the help lists them: the DAC's settings, then what plays and
    // records.
    const Command rows[] = {
        {"status",
         "  status             whether the DAC is on the bus and can be opened; prints\n"
         "                     its identifiers and its manufacturer, product and serial\n"
         "                     number\n",
         status},
        {"show",
         "  show [--json]      reads the whole settings block and prints every field as\n"
         "                     'sonvale-preset show' does, with the volume in dB and the\n"
         "                     filter shapes; --json prints one JSON document whose\n"
         "                     member \"settings\" holds every field by its name\n",
         show},
        {"get",
         "  get FIELD...       prints the value of each field on a line of its own, as a\n"
         "                     decimal number; an array named without an index prints\n"
         "                     all of its entries on one line\n",
         get},
        {"set",
         "  set FIELD=VALUE...\n"
         "                     changes fields on the DAC as the window does: reads the\n"
         "                     block, sends only what changes (the channel volumes with\n"
         "                     the volume command, every other field in the four-byte\n"
         "                     window that holds it), then reads the block back and\n"
         "                     checks it; when nothing changes, nothing is sent\n",
         set},
        {"load",
         "  load FILE [--force]\n"
         "                     loads a preset into the DAC as the window's import does:\n"
         "                     reads the whole block for the history (12 exchanges; with\n"
         "                     --no-history 1, the window of byte 0), writes bytes 1 to\n"
         "                     47 of the file, the DAC keeping its own byte 0 (hwType),\n"
         "                     and commits them (13), then reads the block back and\n"
         "                     checks it (12). A file that is no valid preset is\n"
         "                     refused, and so is one holding values the window never\n"
         "                     sets (a pcm_mclk entry above 15, a pcm_filter byte with\n"
         "                     any of bits 4..0 set) unless --force is given\n",
         load},
        {"save",
         "  save FILE          reads the block and writes it as a preset file, all at\n"
         "                     once through a temporary file beside FILE: a failed read\n"
         "                     leaves no file\n",
         save},
        {"factory",
         "  factory --yes [--json]\n"
         "                     reads the block for the history (12 exchanges; none with\n"
         "                     --no-history), restores the DAC's factory settings (1),\n"
         "                     then reads and shows them (12); without --yes nothing is\n"
         "                     done\n",
         factory},
        {"diff",
         "  diff FILE          reads the block and prints each value where the DAC and\n"
         "                     the preset FILE differ, one a line, byte 0 (hwType) left\n"
         "                     out as load leaves it: 'pcm_mclk[2]: DAC 4, file 7'\n",
         diff},
        {"history",
         "  history [--json]   lists the history of the DAC, newest first: the number of\n"
         "                     each entry, when it was kept and the command that followed\n",
         history},
        {"undo",
         "  undo [N]           loads entry N of the history (default 1, the newest) as\n"
         "                     load does and checks it, but the whole block as the DAC\n"
         "                     held it, hwType and values the window never sets\n"
         "                     included; undo is kept in the history too, so a second\n"
         "                     undo returns to what the first one replaced\n",
         undo},
        {"audio-devices",
         "  audio-devices [--all-host-apis] [--json]\n"
         "                     lists every audio device: its index, its channels in and\n"
         "                     out, its default rate, its host API and its name, marking\n"
         "                     the defaults and, when the DAC can be opened, its output;\n"
         "                     on Windows only WASAPI's devices, which carry the DAC's\n"
         "                     full depth (MME and DirectSound carry 16 bits at most),\n"
         "                     unless --all-host-apis is given\n",
         audioDevices},
        {"measure",
         "  measure [AUDIO OPTIONS] [--input-file FILE.wav] [--save-capture FILE.wav]\n"
         "          [--csv FILE] [--separate] [--json]\n"
         "                     plays a sine through the DAC, records it through an input\n"
         "                     of an audio interface wired to the DAC's output, and\n"
         "                     prints per channel the fundamental's level and frequency,\n"
         "                     THD, THD+N and H2 to H5 with their phases, and what made\n"
         "                     the capture unfit (clipping, dropout, level, no signal);\n"
         "                     --input-file analyses a WAV recording instead (16-, 24-,\n"
         "                     32-bit integer or 32-bit float, mono or stereo, 44.1 to\n"
         "                     192 kHz), without the DAC: the level is checked only when\n"
         "                     --level is given, the tone sought near --frequency only\n"
         "                     when that is given; --save-capture writes the recording\n"
         "                     analysed as 32-bit float WAV, for any analyser to check,\n"
         "                     --csv its spectrum (frequency, then dBFS per channel);\n"
         "                     --separate asks for the interface's input gain turned\n"
         "                     down by about 6 dB (Enter), captures again and splits\n"
         "                     H2 to H5 into the DAC's share and the interface's\n",
         measure},
        {"check-interface",
         "  check-interface [AUDIO OPTIONS] [--json]\n"
         "                     measures the audio interface alone, its output wired to\n"
         "                     its own input: plays through the output named by --output,\n"
         "                     else the input device's own, prints what measure prints\n"
         "                     and keeps it as the interface's profile (by input device,\n"
         "                     rate and level) in the user's configuration folder, which\n"
         "                     measure then shows beside the DAC's H2 and H3\n",
         checkInterface},
        {"tune-thd",
         "  tune-thd [AUDIO OPTIONS] [--volume DB] [--separate] [--json]\n"
         "                     finds the THD values (thd_range0..2) that null the 2nd\n"
         "                     and 3rd harmonics at the DAC's outputs: keeps the block in\n"
         "                     the history, measures, steps each pair to learn which\n"
         "                     output it drives, writes the values solved for and\n"
         "                     refines them, capturing longer where a unit of a value\n"
         "                     hides in the noise (at a low volume); says first how\n"
         "                     long it captures at most; prints the measurements before\n"
         "                     and after, the map of pairs to outputs, the floor no\n"
         "                     value can cancel, the values written and the captures\n"
         "                     taken. --volume tunes at that volume of the DAC (both\n"
         "                     outputs; louder tunes faster) and puts the volume back.\n"
         "                     --separate tells the interface's share first, as measure\n"
         "                     does, and nulls the DAC's share alone.\n"
         "                     On a failure, Ctrl-C, SIGTERM, a closed terminal or no\n"
         "                     improvement the values held before are written back\n",
         tuneThd},
        {"thd-map",
         "  thd-map [AUDIO OPTIONS] [--volumes LIST] [--json]\n"
         "                     keeps the block in the history, then at each of the\n"
         "                     DAC's volumes in LIST (dB, default 0,-15,-35) probes each\n"
         "                     THD pair and prints which pair moves the left and the\n"
         "                     right output there ('shared' when one pair moves both);\n"
         "                     puts the volume and the values back afterwards\n",
         thdMap},
        {"sweep",
         "  sweep [AUDIO OPTIONS] [--volumes FROM:TO:STEP] [--map FILE] [--json|--csv]\n"
         "                     keeps the block in the history, then at each of the\n"
         "                     DAC's volumes from FROM to TO by STEP dB, both ends\n"
         "                     included (default -40:0:2.5; FROM above TO steps down,\n"
         "                     at most 200 volumes) sets both outputs and measures once;\n"
         "                     prints a row a volume and channel: the level, the path\n"
         "                     gain, H2, H3, THD and THD+N, then the problems; puts the\n"
         "                     volume back afterwards. --map reads what 'thd-map --json'\n"
         "                     printed and adds the pair that drives each output at the\n"
         "                     nearest volume mapped at or below the row's ('-' below\n"
         "                     every mapped volume); --csv prints CSV rows\n",
         sweep},
    };

} // namespace

const std::vector<Command>& table()
{
    static const std::vector<Command> commands(std::begin(rows), std::end(rows));
    return commands;
}

} // namespace Commands
