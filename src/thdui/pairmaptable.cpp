// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thdui/pairmaptable.h"

#include "thdui/resulttable.h"

#include <QHeaderView>

#include <algorithm>
#include <cmath>

PairMapTable::PairMapTable(QWidget* parent) : QTableWidget(parent)
{
    setRowCount(2);
    setVerticalHeaderLabels({QStringLiteral("Left"), QStringLiteral("Right")});
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
}

void PairMapTable::setVolumes(const std::vector<double>& volumesDb)
{
    volumes = volumesDb;
    setColumnCount(int(volumes.size()));
    QStringList names;
    for (double volume : volumes)
        names << QStringLiteral("%1 dB").arg(ResultTable::fixed(volume, 1));
    setHorizontalHeaderLabels(names);
    for (int row = 0; row < rowCount(); ++row) {
        for (int column = 0; column < columnCount(); ++column) {
            auto* cell = new QTableWidgetItem;
            cell->setTextAlignment(Qt::AlignCenter);
            cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            setItem(row, column, cell);
        }
    }
}

void PairMapTable::setMap(const std::vector<Column>& columns)
{
    for (int row = 0; row < rowCount(); ++row) {
        for (int column = 0; column < columnCount(); ++column)
            item(row, column)->setText(QString());
    }
    for (const Column& found : columns) {
        const auto at = std::find_if(volumes.begin(), volumes.end(), [&found](double volume) {
            return std::abs(volume - found.volumeDb) < 0.05;
        });
        if (at == volumes.end())
            continue;
        const int column = int(at - volumes.begin());
        for (int row = 0; row < rowCount(); ++row)
            item(row, column)->setText(pairText(found.pairs, std::size_t(row)));
    }
}

QString PairMapTable::cellText(int row, int column) const
{
    const QTableWidgetItem* cell = item(row, column);
    return cell ? cell->text() : QString();
}

QString PairMapTable::pairText(const std::vector<int>& pairs, std::size_t output)
{
    if (output >= pairs.size() || pairs[output] < 0)
        return QStringLiteral("-");
    return QStringLiteral("thd_range%1%2")
        .arg(pairs[output])
        .arg(shared(pairs, output) ? QStringLiteral(" (shared)") : QString());
}

bool PairMapTable::shared(const std::vector<int>& pairs, std::size_t output)
{
    return output < pairs.size() && pairs[output] >= 0 && pairs.size() > 1
           && std::all_of(pairs.begin(), pairs.end(),
                          [&](int pair) { return pair == pairs[output]; });
}

QSize PairMapTable::sizeHint() const
{
    const int height = horizontalHeader()->sizeHint().height()
                       + rowCount() * verticalHeader()->defaultSectionSize() + 2 * frameWidth();
    return {QTableWidget::sizeHint().width(), height};
}

QSize PairMapTable::minimumSizeHint() const
{
    return {QTableWidget::minimumSizeHint().width(), sizeHint().height()};
}
