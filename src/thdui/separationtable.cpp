// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thdui/separationtable.h"

#include "measure/analysis.h"
#include "thdui/resulttable.h"

#include <QHeaderView>

#include <cmath>

namespace {

constexpr int shownOrders = 2; // H2 and H3, the two the DAC's values move

} // namespace

SeparationTable::SeparationTable(QWidget* parent) : QTableWidget(parent)
{
    setColumnCount(ColumnCount);
    setHorizontalHeaderLabels({QStringLiteral("dBc"), QStringLiteral("Phase (°)"),
                               QStringLiteral("± dB"), QStringLiteral("± °"),
                               QStringLiteral("Left after tuning (dBc)")});
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    setColumnHidden(LeftAfterTuning, true);
}

void SeparationTable::setCell(int row, Column column, const QString& text)
{
    auto* cell = new QTableWidgetItem(text);
    cell->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    setItem(row, column, cell);
}

QString SeparationTable::cellText(int row, Column column) const
{
    const QTableWidgetItem* cell = item(row, column);
    return cell ? cell->text() : QString();
}

void SeparationTable::clearSeparation()
{
    setRowCount(0);
    setColumnHidden(LeftAfterTuning, true);
}

void SeparationTable::setSeparation(const InterfaceSeparation& separation, bool tuned)
{
    const std::size_t channels = separation.channels.size();
    setRowCount(int(channels) * 2 * shownOrders);
    QStringList names;
    for (std::size_t c = 0; c < channels; ++c) {
        const InterfaceSeparation::Channel& channel = separation.channels[c];
        for (int order = 2; order < 2 + shownOrders; ++order) {
            const InterfaceSeparation::Harmonic& split = channel.harmonics[std::size_t(order - 2)];
            for (Share which : {Dac, Interface}) {
                const InterfaceSeparation::Share& share =
                    which == Dac ? split.dac : split.interface1;
                const int row = rowOf(int(c), order, which);
                names << QStringLiteral("%1 H%2 %3")
                             .arg(QString::fromStdString(
                                 CaptureAnalysis::channelName(c, channels, true)))
                             .arg(order)
                             .arg(which == Dac ? QStringLiteral("DAC")
                                               : QStringLiteral("interface"));
                setCell(row, Dbc, ResultTable::fixed(share.dbc(), 2));
                setCell(row, Phase, ResultTable::fixed(share.phaseDeg(), 1));
                // NaN where the noise is as large as the share: "-".
                setCell(row, UncertaintyDb, ResultTable::fixed(share.uncertaintyDb(), 2));
                setCell(row, UncertaintyDeg, ResultTable::fixed(share.uncertaintyDeg(), 1));
                const double left = which == Interface && tuned
                                        ? separation.interfaceAtSecondDbc(c, order)
                                        : std::nan("");
                setCell(row, LeftAfterTuning, ResultTable::fixed(left, 2));
            }
        }
    }
    setVerticalHeaderLabels(names);
    setColumnHidden(LeftAfterTuning, !tuned);
}
