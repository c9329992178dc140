// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thdui/spectrumexport.h"

#include "measure/spectrumcsv.h"
#include "base/diagnostics.h"
#include "thd/thdcapture.h"

#include <QBuffer>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QSaveFile>
#include <qcustomplot.h>

const QString SpectrumExport::pngFilter = QStringLiteral("PNG image (*.png)");
const QString SpectrumExport::csvFilter = QStringLiteral("CSV spectrum (*.csv)");

QString SpectrumExport::chooseFile(QWidget* parent, Format& format)
{
    QString filter = pngFilter;
    QString path = QFileDialog::getSaveFileName(
        parent, QStringLiteral("Export"), QDir::home().filePath(QStringLiteral("spectrum.png")),
        pngFilter + QStringLiteral(";;") + csvFilter, &filter);
    if (!path.isEmpty())
        format = formatOf(path, filter);
    return path;
}

SpectrumExport::Format SpectrumExport::formatOf(QString& path, const QString& filter)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("png"))
        return Format::Png;
    if (suffix == QLatin1String("csv"))
        return Format::Csv;
    const Format format = filter == csvFilter ? Format::Csv : Format::Png;
    path += format == Format::Csv ? QStringLiteral(".csv") : QStringLiteral(".png");
    return format;
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

QString SpectrumExport::ask(QWidget* parent, const ThdCapture& capture, QCustomPlot& plot)
{
    Format format = Format::Png;
    const QString path = chooseFile(parent, format);
    if (path.isEmpty() || capture.samples.empty())
        return QString();
    const QString error = format == Format::Csv ? writeCsv(path, capture) : writePng(path, plot);
    if (error.isEmpty())
        Diagnostics::print("exported: %s\n", qPrintable(QDir::toNativeSeparators(path)));
    return error;
}
