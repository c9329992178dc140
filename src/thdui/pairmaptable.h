// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QString>
#include <QTableWidget>

#include <vector>

// Which THD pair moves each of the DAC's outputs at each volume a map
// probed, as text in table cells that a screen reader reads as shown: a
// column per volume ("-15.0 dB"), a row per output ("Left", "Right"),
// "thd_range1", "thd_range2 (shared)" where one pair moves both outputs,
// "-" where none moves the output. What the DAC's firmware does with its
// three pairs is written down nowhere; only a map tells.
class PairMapTable : public QTableWidget {
    Q_OBJECT
public:
    // One volume's finding: per output, the pair that moves it, -1 none.
    struct Column {
        double volumeDb = 0;
        std::vector<int> pairs;
    };

    explicit PairMapTable(QWidget* parent = nullptr);

    // The volumes a map probes, as the columns, every cell empty.
    void setVolumes(const std::vector<double>& volumesDb);
    // What a map found, each in the column of its volume; the cells of a
    // volume it did not get to, empty.
    void setMap(const std::vector<Column>& columns);

    QString cellText(int row, int column) const;
    // "thd_range2 (shared)"
    static QString pairText(const std::vector<int>& pairs, std::size_t output);
    // The pair that moves `output` moves every output, and there are more.
    static bool shared(const std::vector<int>& pairs, std::size_t output);

    // As high as its header and its rows, whatever the font.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

private:
    std::vector<double> volumes;
};
