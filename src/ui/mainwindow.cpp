// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ui/mainwindow.h"

#include "app/windowtitle.h"
#include "base/diagnostics.h"
#include "widgets/accessiblecombobox.h"
#include "widgets/busycursor.h"
#include "ui_mainwindow.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

#include <algorithm>

namespace {

constexpr int kThdLimit = 32767;

int16_t clampThd(int value)
{
    return int16_t(std::clamp(value, -kThdLimit, kThdLimit));
}

} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), ui(new Ui_MainWindow), state(nullptr)
{
    AccessibleComboBox::install();   // before the form makes its combo boxes
    ui->setupUi(this);
    connectOutlets(true);
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::setState(ES9038State* s)
{
    state = s;
    setupOutlets();
}

void MainWindow::onImportFinish(ES9038State*)
{
    setupOutlets();
}

// Every widget signal the window listens to. A refresh breaks them all while
// it sets the widgets, so that its own changes never go back to the device.
void MainWindow::connectOutlets(bool connect)
{
    const struct {
        QObject* sender;
        const char* signal;
        const char* slot;
    } outlets[] = {
        {ui->volumeSlider, SIGNAL(valueChanged(int)), SLOT(onSliderChanged(int))},
        {ui->actionRead_state, SIGNAL(triggered()), SLOT(onReadStateClick())},
        {ui->actionRestoreFactory, SIGNAL(triggered()), SLOT(onRestoreFactoryClick())},
        {ui->actionFileBrowser, SIGNAL(triggered()), SLOT(onFileBrowserClick())},
        {ui->secondThdEdit, SIGNAL(valueChanged(int)), SLOT(onSecondThdEdit(int))},
        {ui->secondThdEdit_2, SIGNAL(valueChanged(int)), SLOT(onSecondThdEdit_2(int))},
        {ui->thirdThdEdit, SIGNAL(valueChanged(int)), SLOT(onThirdThdEdit(int))},
        {ui->thirdThdEdit_2, SIGNAL(valueChanged(int)), SLOT(onThirdThdEdit_2(int))},
        {ui->mclkFreqBox, SIGNAL(currentIndexChanged(int)), SLOT(setupOutlets())},
        {ui->filterFreqBox, SIGNAL(currentIndexChanged(int)), SLOT(setupOutlets())},
        {ui->mclkBox, SIGNAL(currentIndexChanged(int)), SLOT(onMclkUpdate(int))},
        {ui->filterBox, SIGNAL(currentIndexChanged(int)), SLOT(onFilterUpdate(int))},
        {ui->startDRTestBtn, SIGNAL(released()), SLOT(onStartDRTestClick())},
    };
    for (const auto& o : outlets) {
        if (connect)
            QObject::connect(o.sender, o.signal, this, o.slot);
        else
            QObject::disconnect(o.sender, o.signal, this, o.slot);
    }
}

void MainWindow::setupOutlets()
{
    if (!state)
        return;
    setWindowTitle(baseWindowTitle + (state->commandLayer->isConnected()
                                          ? QStringLiteral(" : Connected")
                                          : QStringLiteral(" : Disconnected")));
    connectOutlets(false);
    ui->label->setText(state->volumeDbText());
    ui->volumeSlider->setValue(int(state->volume() * 255.0f));
    ui->secondThdEdit->setValue(state->thd2nd(0));
    ui->secondThdEdit_2->setValue(state->thd2nd(1));
    ui->thirdThdEdit->setValue(state->thd3rd(0));
    ui->thirdThdEdit_2->setValue(state->thd3rd(1));
    ui->mclkBox->setCurrentIndex(state->mclk(ui->mclkFreqBox->currentIndex()));
    ui->filterBox->setCurrentIndex(state->filter(ui->filterFreqBox->currentIndex()));
    connectOutlets(true);
}

void MainWindow::onSliderChanged(int value)
{
    BusyCursor busy;
    if (!state)
        return;
    state->setVolume(float(value) / 255.0f);
    ui->label->setText(state->volumeDbText());
    noteLostDevice();
}

void MainWindow::onSecondThdEdit(int value)
{
    editThd("onSecondThdEdit", &ES9038State::setThd2nd, 0, value);
}

void MainWindow::onSecondThdEdit_2(int value)
{
    editThd("onSecondThdEdit", &ES9038State::setThd2nd, 1, value);
}

void MainWindow::onThirdThdEdit(int value)
{
    editThd("onThirdThdEdit", &ES9038State::setThd3rd, 0, value);
}

void MainWindow::onThirdThdEdit_2(int value)
{
    editThd("onThirdThdEdit", &ES9038State::setThd3rd, 1, value);
}

// Each THD field sets one harmonic of one volume range. The console line
// names the first range's slot for that harmonic, whichever range is edited.
void MainWindow::editThd(const char* consoleName, ThdSetter set, uint8_t range, int value)
{
    BusyCursor busy;
    if (!state)
        return;
    Diagnostics::print("%s:\n", consoleName);
    (state->*set)(range, clampThd(value));
    noteLostDevice();
}

void MainWindow::onMclkUpdate(int value)
{
    editPerRate(&ES9038State::setMclk, *ui->mclkFreqBox, value);
}

void MainWindow::onFilterUpdate(int value)
{
    editPerRate(&ES9038State::setFilter, *ui->filterFreqBox, value);
}

// The MCLK and the filter are kept per sample rate; the rate box beside each
// choice says which rate's value the choice sets.
void MainWindow::editPerRate(RateSetter set, const QComboBox& rates, int value)
{
    BusyCursor busy;
    if (!state)
        return;
    (state->*set)(rates.currentIndex(), uint8_t(value));
    noteLostDevice();
}

void MainWindow::onReadStateClick()
{
    BusyCursor busy;
    if (!state)
        return;
    Diagnostics::print("onReadStateClick:\n");
    state->readState(this);
    noteLostDevice();
}

void MainWindow::onRestoreFactoryClick()
{
    BusyCursor busy;
    if (!state)
        return;
    Diagnostics::print("onRestoreFactoryClick:\n");
    state->commandLayer->restoreFactory();
    state->readState(this);
    noteLostDevice();
}

void MainWindow::onFileBrowserClick()
{
    if (!state)
        return;
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open a preset file"),
                                                      QDir::currentPath(),
                                                      QStringLiteral("*.sonvale"));
    if (path == QString())
        return;
    BusyCursor busy;
    const bool imported = state->importPreset(path.toUtf8().constData());
    if (imported)
        state->readState(this);
    noteLostDevice();
    busy.restore();
    if (imported) {
        QMessageBox::information(this, QStringLiteral("Info"), QStringLiteral("Success import."),
                                 QMessageBox::Ok);
    } else {
        QMessageBox::information(this, QStringLiteral("Warning"), QStringLiteral("Fail import."),
                                 QMessageBox::Ok);
    }
}

// Opens the device anew; on failure the window shows itself disconnected and
// says so, with the wait cursor gone.
bool MainWindow::connectAndRead(BusyCursor& busy)
{
    if (!state->commandLayer->reconnect()) {
        setupOutlets();
        busy.restore();
        QMessageBox::information(this, QStringLiteral("Warning"),
                                 QStringLiteral("Connection is not successful."), QMessageBox::Ok);
        return false;
    }
    setWindowTitle(baseWindowTitle + QStringLiteral(" : Init..."));
    state->readState(this);
    noteLostDevice();
    return true;
}

void MainWindow::onStartDRTestClick()
{
    BusyCursor busy;
    if (!state)
        return;
    connectAndRead(busy);
}

void MainWindow::onStartTHDTestClick()
{
    BusyCursor busy;
    if (!state || !connectAndRead(busy))
        return;
    if (!state->importPreset("Presets/THDTest.sonvale")) {
        busy.restore();
        QMessageBox::information(this, QStringLiteral("Warning"),
                                 QStringLiteral("THDTest.sonvale not found."), QMessageBox::Ok);
        return;
    }
    state->readState(this);
    noteLostDevice();
}

// The link lets go of a device that has left the bus; after each operation
// that talked to it the title says so. Nothing else changes: an edit stays in
// the window's copy, as it does when no device was ever connected.
void MainWindow::noteLostDevice()
{
    if (!state->commandLayer->isConnected())
        setWindowTitle(baseWindowTitle + QStringLiteral(" : Disconnected"));
}
