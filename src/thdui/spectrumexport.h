// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QString>

class QCustomPlot;
class QWidget;
struct ThdCapture;
struct ThdSweep;

// What "Export…" writes: the plot as the window shows it, as a PNG image,
// or a capture's spectrum as sonvalectl measure --csv writes it. Each file
// is written whole or not at all: into a file beside it, renamed over the
// name chosen only once everything is in.
class SpectrumExport {
public:
    enum class Format { Png, Csv, SweepCsv };

    static const QString pngFilter;
    static const QString csvFilter;
    static const QString sweepFilter;

    // Asks where to, in the file dialog; "" when cancelled. The format
    // follows the name's suffix, or the filter chosen (formatOf); the
    // sweep's filter is offered when there is one.
    static QString chooseFile(QWidget* parent, Format& format, bool sweep);
    // The format of `path`'s suffix (.csv: the sweep's when its filter was
    // chosen); a name without either suffix takes the one of the filter
    // chosen, which is added to it.
    static Format formatOf(QString& path, const QString& filter);

    // Asks where to and writes `capture`'s spectrum or `plot` there, saying
    // "exported: PATH" on the console; why not, in words, when it could
    // not ("" also when cancelled).
    // `sweep`: the last sweep, when there is one.
    static QString ask(QWidget* parent, const ThdCapture& capture, QCustomPlot& plot, const ThdSweep* sweep);
    // "" when written; otherwise why not, in words.
    static QString writePng(const QString& path, QCustomPlot& plot);
    static QString writeCsv(const QString& path, const ThdCapture& capture);
    // As sonvalectl sweep --csv writes it: a row per volume and channel.
    static QString writeSweepCsv(const QString& path, const ThdSweep& sweep);

private:
    static QString write(const QString& path, const QByteArray& bytes);
};
