// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>

// Answers a file dialog as a user does: types the name into the name field
// and accepts it. An empty name cancels the dialog.
inline void answerFileDialog(QFileDialog* dialog, const QString& file)
{
    if (file.isEmpty()) {
        dialog->reject();
        return;
    }
    if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
        name->setText(file);
    else
        dialog->selectFile(file);
    static_cast<QDialog*>(dialog)->accept();
}
