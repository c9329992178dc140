// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// What the tests share for bytes and files: hex text both ways, the byte
// views of blocks, reports and transfers, the preset file as the tests
// compute it themselves, and whole-file reads and writes.

#include "virtualdac.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

struct SettingsBlock;

namespace TestBytes {

// "73 01 FF" as bytes; the spaces are for reading only.
QByteArray hex(const char* spaced);

// `block` with the bytes of `spaced` hex from `offset` on.
QByteArray patched(QByteArray block, int offset, const char* spaced);

// The bytes as upper-case hex, one space between bytes: "73 01 FF".
QString spacedHex(const QByteArray& bytes);

// `count` bytes from `data`.
QByteArray bytesOf(const uint8_t* data, int count);

// The vector's bytes, in order.
QByteArray bytesOf(const std::vector<uint8_t>& bytes);

// The 48 bytes of the simulated DAC's block.
QByteArray bytesOf(const VirtualDac::Block& block);

// The settings block's bytes as it lies in memory.
QByteArray bytesOf(const SettingsBlock& block);

// The first 48 bytes as a block, zero where `bytes` is shorter.
VirtualDac::Block blockOf(const QByteArray& bytes);

// A 7-byte answer from 14 hex digits, "84000473010101".
VirtualDac::Answer answerOf(const char* hex);

// A preset file: the block's bytes, then the two running sums A and B over
// them, both mod 256. Computed here, not by the program.
QByteArray presetFile(const QByteArray& block);

// Writes `bytes` as the whole file; true when all of them were written.
bool writeFile(const QString& path, const QByteArray& bytes);

// The whole file; empty when it cannot be opened.
QByteArray readFile(const QString& path);

// A tool's console output as text with "\n" line ends. On Windows its
// standard streams are in text mode, so each line ends in "\r\n" there, as
// Windows programs' lines do.
QString consoleText(const QByteArray& output);

// The requests (SET_REPORT data) the simulated DAC received since the log
// was last cleared, oldest first, in spacedHex form.
QStringList requests();

} // namespace TestBytes
