// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "settings/es9038state.h"

#include <QMainWindow>

class BusyCursor;
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
    void connectOutlets(bool connect);
    bool connectAndRead(BusyCursor& busy);
    void noteLostDevice();
    Ui_MainWindow* ui;
    ES9038State* state;
};
