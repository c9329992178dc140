// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "thdui/resulttable.h"

#include <QEvent>
#include <QHash>
#include <QHeaderView>
#include <QStyle>

#include <cmath>

ResultTable::ResultTable(QWidget* parent) : QTableWidget(parent)
{
    // Each header's size is fixed as soon as its names are in: the headers
    // measure their texts as the columns come, and would otherwise measure
    // row numbers only to measure the names again.
    setRowCount(RowCount);
    setVerticalHeaderLabels(rowNames());
    fixHeaderSize(verticalHeader());
    setColumnCount(2);
    setHorizontalHeaderLabels({QStringLiteral("Before"), QStringLiteral("After")});
    fixHeaderSize(horizontalHeader());
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    // One height for every row, so that the table's height is known before
    // any figure is in it.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    for (int row = 0; row < RowCount; ++row) {
        for (Column column : {Before, After}) {
            auto* item = new QTableWidgetItem;
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            setItem(row, column, item);
        }
    }
}

// The header texts never change. A header forgets its size at every change
// to its sections and measures every text again, in bold, each time the
// table lays itself out (five times over before the window's first frame).
// Measured once, for both tables alike while the font and style are the
// same, the size goes with each text as its size hint, which the header
// takes instead.
void ResultTable::fixHeaderSize(QHeaderView* header)
{
    static QHash<QString, QSize> measuredSizes;
    const QString key = QStringLiteral("%1 %2 %3")
                            .arg(header->orientation())
                            .arg(header->style()->name(), header->font().key());
    auto known = measuredSizes.constFind(key);
    if (known == measuredSizes.constEnd())
        known = measuredSizes.insert(key, header->sizeHint());
    for (int section = 0; section < header->count(); ++section)
        headerItem(header->orientation(), section)->setSizeHint(*known);
}

QTableWidgetItem* ResultTable::headerItem(Qt::Orientation orientation, int section) const
{
    return orientation == Qt::Horizontal ? horizontalHeaderItem(section) : verticalHeaderItem(section);
}

void ResultTable::changeEvent(QEvent* event)
{
    QTableWidget::changeEvent(event);
    // Another font or style: the texts measure differently.
    if (event->type() != QEvent::FontChange && event->type() != QEvent::StyleChange)
        return;
    for (QHeaderView* header : {verticalHeader(), horizontalHeader()}) {
        for (int section = 0; section < header->count(); ++section)
            headerItem(header->orientation(), section)->setSizeHint(QSize());
        fixHeaderSize(header);
    }
}

QStringList ResultTable::rowNames()
{
    QStringList names{QStringLiteral("Fundamental (dBFS)"), QStringLiteral("Path gain (dB)"),
                      QStringLiteral("THD (dB)"), QStringLiteral("THD (%)"),
                      QStringLiteral("THD+N (dB)")};
    for (int order = 2; order <= 5; ++order) {
        names << QStringLiteral("H%1 (dBc)").arg(order);
        names << QStringLiteral("H%1 phase (°)").arg(order);
    }
    names << QStringLiteral("2nd-harmonic value") << QStringLiteral("3rd-harmonic value") << QStringLiteral("Pair");
    return names;
}

QString ResultTable::fixed(double value, int decimals)
{
    if (!std::isfinite(value))
        return QStringLiteral("-");
    QString text = QString::number(value, 'f', decimals);
    // A figure that rounds to zero is shown without a sign.
    if (text.startsWith(QLatin1Char('-')) && text.count(QLatin1Char('0')) + text.count(QLatin1Char('.')) == text.size() - 1)
        text.remove(0, 1);
    return text;
}

void ResultTable::setCell(int row, Column column, const QString& text)
{
    item(row, column)->setText(text);
}

QString ResultTable::cellText(int row, Column column) const
{
    const QTableWidgetItem* cell = item(row, column);
    return cell ? cell->text() : QString();
}

void ResultTable::setAnalysis(Column column, const ChannelAnalysis& channel, double pathGainDb)
{
    if (!channel.hasTone) {
        for (int row = 0; row < SecondValue; ++row)
            setCell(row, column, QStringLiteral("-"));
        return;
    }
    setCell(Fundamental, column, fixed(channel.levelDbfs, 2));
    setCell(PathGain, column, fixed(pathGainDb, 2));
    setCell(ThdDb, column, fixed(channel.thdDb, 2));
    setCell(ThdPercent, column, QString::fromStdString(channel.thdPercentText()));
    setCell(ThdnDb, column, fixed(channel.thdnDb, 2));
    for (int order = 2; order <= 5; ++order) {
        setCell(harmonicRow(order), column, fixed(channel.harmonicDbc(order), 2));
        // A harmonic that is not there has no phase.
        const bool present = std::isfinite(channel.harmonicDbc(order));
        setCell(phaseRow(order), column, present ? fixed(channel.harmonicPhaseDeg(order), 1) : QStringLiteral("-"));
    }
}

void ResultTable::setValues(Column column, int16_t second, int16_t third, const QString& pair)
{
    setCell(SecondValue, column, QString::number(second));
    setCell(ThirdValue, column, QString::number(third));
    setCell(Pair, column, pair);
}

void ResultTable::setValuesUnknown(Column column)
{
    for (int row : {SecondValue, ThirdValue, Pair})
        setCell(row, column, QStringLiteral("-"));
}

void ResultTable::clearColumn(Column column)
{
    for (int row = 0; row < RowCount; ++row)
        setCell(row, column, QString());
}
