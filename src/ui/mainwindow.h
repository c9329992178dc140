// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "settings/es9038state.h"

#include <QMainWindow>

class BusyCursor;
class QComboBox;
class Ui_MainWindow;

class MainWindow : public QMainWindow, public ES9038State::OnImportFinishListener {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;
    void setState(ES9038State* s);
    void onImportFinish(ES9038State* state) override;
public slots:
    void setupOutlets();
    void onSliderChanged(int value);
    void onReadStateClick();
    void onRestoreFactoryClick();
    void onFileBrowserClick();
    void onSecondThdEdit(int value);
    void onThirdThdEdit(int value);
    void onSecondThdEdit_2(int value);
    void onThirdThdEdit_2(int value);
    void onMclkUpdate(int value);
    void onFilterUpdate(int value);
    void onStartDRTestClick();
    void onStartTHDTestClick();
private:
    using ThdSetter = void (ES9038State::*)(uint8_t range, int16_t value);
    using RateSetter = void (ES9038State::*)(int rate, uint8_t value);

    void connectOutlets(bool connect);
    void editThd(const char* consoleName, ThdSetter set, uint8_t range, int value);
    void editPerRate(RateSetter set, const QComboBox& rates, int value);
    bool connectAndRead(BusyCursor& busy);
    void noteLostDevice();
    Ui_MainWindow* ui;
    ES9038State* state;
};
