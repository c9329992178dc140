// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thdui/requestchoices.h"

#include "ui_thdwindow.h"

#include <QSignalBlocker>

#include <algorithm>

namespace {

// Where the input box keeps each device's count of inputs.
constexpr int inputsRole = Qt::UserRole + 1;

} // namespace

RequestChoices::RequestChoices(Ui_ThdWindow* ui, QObject* parent) : QObject(parent), ui(ui)
{
    connect(ui->inputBox, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &RequestChoices::followInput);
}

ThdEngine::Request RequestChoices::request() const
{
    ThdEngine::Request wanted;
    if (ui->outputBox->currentIndex() >= 0)
        wanted.output = ui->outputBox->currentData().toInt();
    if (ui->inputBox->currentIndex() >= 0)
        wanted.input = ui->inputBox->currentData().toInt();
    wanted.levelDbfs = std::min(ui->levelSpin->value(), 0.0);
    wanted.frequencyHz = ui->frequencySpin->value();
    // The spin box's lowest step is the DAC's own volume.
    if (ui->volumeSpin->value() > ui->volumeSpin->minimum())
        wanted.volumeDb = ui->volumeSpin->value();
    wanted.inputChannels = {ui->leftInputSpin->value() - 1};
    if (ui->rightInputSpin->value() > 0)
        wanted.inputChannels.push_back(ui->rightInputSpin->value() - 1);
    wanted.separate = ui->separateCheck->isChecked();
    return wanted;
}

QList<QWidget*> RequestChoices::controls() const
{
    return {ui->outputBox,     ui->inputBox,       ui->levelSpin,  ui->frequencySpin,
            ui->leftInputSpin, ui->rightInputSpin, ui->volumeSpin, ui->separateCheck};
}

void RequestChoices::listDevices(const QList<ThdEngine::Device>& devices, int dacOutput,
                                 int defaultInput)
{
    ui->outputBox->clear();
    // The inputs offered follow the device chosen in the end.
    const QSignalBlocker quiet(ui->inputBox);
    ui->inputBox->clear();
    for (const ThdEngine::Device& device : devices) {
        const QString name =
            device.dac ? QStringLiteral("%1 (the DAC)").arg(device.name) : device.name;
        if (device.maxOutputChannels > 0) {
            ui->outputBox->addItem(name, device.index);
            if (device.index == dacOutput)
                ui->outputBox->setCurrentIndex(ui->outputBox->count() - 1);
        }
        if (device.maxInputChannels > 0) {
            ui->inputBox->addItem(name, device.index);
            ui->inputBox->setItemData(ui->inputBox->count() - 1, device.maxInputChannels,
                                      inputsRole);
            if (device.index == defaultInput)
                ui->inputBox->setCurrentIndex(ui->inputBox->count() - 1);
        }
    }
    followInput();
}

// The volumes offered for a tuning are the ones the DAC's block holds, and
// below them the DAC's own.
void RequestChoices::setLowestVolume(double lowestDb)
{
    QDoubleSpinBox* volume = ui->volumeSpin;
    const bool own = volume->value() <= volume->minimum();
    volume->setMinimum(lowestDb - volume->singleStep());
    if (own)
        volume->setValue(volume->minimum());
}

// The inputs offered are the ones the input device has; one alone records
// the left output alone.
void RequestChoices::followInput()
{
    const int inputs = std::max(1, ui->inputBox->currentData(inputsRole).toInt());
    ui->leftInputSpin->setMaximum(inputs);
    ui->rightInputSpin->setMaximum(inputs);
    if (inputs < 2)
        ui->rightInputSpin->setValue(0);
}
