// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include "thd/thdengine.h"

#include <QList>
#include <QObject>

class Ui_ThdWindow;

// What the window's requests are made of: the output and the input device,
// the interface's inputs that record the DAC, the tone, and the volume to
// tune at. What each control offers follows the devices listed and the
// DAC's block.
class RequestChoices : public QObject {
    Q_OBJECT
public:
    RequestChoices(Ui_ThdWindow* ui, QObject* parent);

    ThdEngine::Request request() const;
    // Every choice, for the window to enable while nothing is under way.
    QList<QWidget*> controls() const;

    // The devices as the engine listed them: the DAC's output and the
    // default input chosen.
    void listDevices(const QList<ThdEngine::Device>& devices, int dacOutput, int defaultInput);
    // The quietest volume the DAC's block holds, dB.
    void setLowestVolume(double lowestDb);

private:
    void followInput();

    Ui_ThdWindow* ui;
};
