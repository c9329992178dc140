// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

class CT7601;

// Applies the optional pair of hexadecimal USB identifiers that may follow the
// program name ("2fc6 6013", "0x2FC6 0X6013") to the link and echoes them as
// "vid=0x2fc6 pid=0x6013", without a line break but flushed at once. Any
// other number of arguments is ignored without a word. An argument that is
// not a hexadecimal number as a whole ("12zz", "xyz") keeps the link's
// current identifier, with a line on standard error that says so.
void applyCommandLine(int argc, char* argv[], CT7601& link);
