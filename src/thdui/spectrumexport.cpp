// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thdui/spectrumexport.h"

#include "measure/spectrumcsv.h"
#include "base/diagnostics.h"
#include "thd/thdcapture.h"
#include "thd/thdsweep.h"
#include "thdui/resulttable.h"
#include "tuning/measurementsetup.h"
#include "tuning/volumesweep.h"

#include <QBuffer>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QSaveFile>
#include <qcustomplot.h>

#include <cmath>

const QString SpectrumExport::pngFilter = QStringLiteral("PNG image (*.png)");
const QString SpectrumExport::csvFilter = QStringLiteral("CSV spectrum (*.csv)");
const QString SpectrumExport::sweepFilter = QStringLiteral("CSV sweep (*.csv)");

QString SpectrumExport::chooseFile(QWidget* parent, Format& format, bool sweep)
{
    QString filter = pngFilter;
    QString path = QFileDialog::getSaveFileName(
        parent, QStringLiteral("Export"), QDir::home().filePath(QStringLiteral("spectrum.png")),
        pngFilter + QStringLiteral(";;") + csvFilter + (sweep ? QStringLiteral(";;") + sweepFilter : QString()),
        &filter);
    if (!path.isEmpty())
        format = formatOf(path, filter);
    return path;
}

SpectrumExport::Format SpectrumExport::formatOf(QString& path, const QString& filter)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("png"))
        return Format::Png;
    const Format chosen = filter == sweepFilter ? Format::SweepCsv
                          : filter == csvFilter ? Format::Csv
                                                : Format::Png;
    if (suffix == QLatin1String("csv"))
        return chosen == Format::SweepCsv ? chosen : Format::Csv;
    path += chosen == Format::Png ? QStringLiteral(".png") : QStringLiteral(".csv");
    return chosen;
}

QString SpectrumExport::write(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return QStringLiteral("%1 could not be written: %2")
            .arg(QDir::toNativeSeparators(path), file.errorString());
    return QString();
}

QString SpectrumExport::writePng(const QString& path, QCustomPlot& plot)
{
    // What savePng() renders, at the plot's size on the screen, kept in
    // memory until the whole image is there.
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!plot.toPixmap().save(&buffer, "PNG"))
        return QStringLiteral("The plot could not be made into a PNG image.");
    return write(path, bytes);
}

QString SpectrumExport::writeCsv(const QString& path, const ThdCapture& capture)
{
    if (capture.samples.empty())
        return QStringLiteral("There is no capture to export.");
    const std::string text = SpectrumCsv::text(capture.samples, capture.analysis.rateHz);
    return write(path, QByteArray::fromStdString(text));
}

QString SpectrumExport::writeSweepCsv(const QString& path, const ThdSweep& sweep)
{
    QString text = QLatin1String(VolumeSweep::csvHeader) + QLatin1Char('\n');
    const auto cell = [](double value, int decimals) {
        return QLatin1Char(',') + (std::isfinite(value) ? ResultTable::fixed(value, decimals) : QString());
    };
    for (const ThdSweep::Point& point : sweep.points) {
        for (std::size_t c = 0; c < point.channels.size(); ++c) {
            const ThdSweep::Channel& channel = point.channels[c];
            text += ResultTable::fixed(point.volumeDb, 2) + QLatin1Char(',')
                    + QString::fromStdString(CaptureAnalysis::channelName(c, point.channels.size()))
                    + cell(channel.levelDbfs, 3) + cell(channel.pathGainDb, 2)
                    + cell(channel.h2Dbc, 3) + cell(channel.h3Dbc, 3) + cell(channel.thdDb, 3)
                    + cell(channel.thdnDb, 3) + QLatin1Char('\n');
        }
    }
    return write(path, text.toUtf8());
}

QString SpectrumExport::ask(QWidget* parent, const ThdCapture& capture, QCustomPlot& plot, const ThdSweep* sweep)
{
    Format format = Format::Png;
    const QString path = chooseFile(parent, format, sweep);
    if (path.isEmpty())
        return QString();
    if (format == Format::SweepCsv ? !sweep : capture.samples.empty())
        return QStringLiteral("There is nothing of that kind to export yet.");
    const QString error = format == Format::SweepCsv ? writeSweepCsv(path, *sweep)
                          : format == Format::Csv    ? writeCsv(path, capture)
                                                     : writePng(path, plot);
    if (error.isEmpty())
        Diagnostics::print("exported: %s\n", qPrintable(QDir::toNativeSeparators(path)));
    return error;
}
