// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thdui/assistantdialogs.h"

#include "base/diagnostics.h"
#include "settings/presetfile.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

#include <string>
#include <vector>

bool AssistantDialogs::wiringConfirmed(QWidget* parent)
{
    QMessageBox box(
        QMessageBox::Question, QStringLiteral("Before measuring"),
        QStringLiteral(
            "Connect the DAC's output to your audio interface's input, and disconnect "
            "speakers and headphones from the DAC: the test tone plays at the level chosen, "
            "and a tuning changes the DAC's distortion while it plays."),
        QMessageBox::Ok | QMessageBox::Cancel, parent);
    box.setDefaultButton(QMessageBox::Ok);
    return box.exec() == QMessageBox::Ok;
}

bool AssistantDialogs::gainChanged(QWidget* parent)
{
    QMessageBox box(
        QMessageBox::Question, QStringLiteral("Separate the interface"),
        QStringLiteral("Turn the interface's input gain down by about 6 dB, then press Continue."),
        QMessageBox::Ok | QMessageBox::Cancel, parent);
    box.button(QMessageBox::Ok)->setText(QStringLiteral("Continue"));
    box.setDefaultButton(QMessageBox::Ok);
    return box.exec() == QMessageBox::Ok;
}

QString AssistantDialogs::savePreset(QWidget* parent,
                                     const std::array<uint8_t, BlockLayout::size>& block)
{
    QString path =
        QFileDialog::getSaveFileName(parent, QStringLiteral("Save as preset"),
                                     QDir::home().filePath(QStringLiteral("tuned.sonvale")),
                                     QStringLiteral("Sonvale presets (*.sonvale)"));
    if (path.isEmpty())
        return QString();
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".sonvale");
    std::vector<unsigned char> bytes(block.begin(), block.end());
    bytes.resize(PresetFile::minimumSize);
    if (const Error error = PresetFile::write(path.toUtf8().toStdString(), bytes))
        return QString::fromStdString(error.cause);
    Diagnostics::print("saved: %s\n", qPrintable(QDir::toNativeSeparators(path)));
    return QString();
}
