// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The tables of figures: what a person (and a screen reader) reads for a
// given analysis.

#include "thdui/resulttable.h"

#include <QHeaderView>
#include <QtTest>

#include <complex>

namespace {

// A channel whose figures are known: a 1 kHz tone at -3.25 dBFS, H2 at
// -100 dBc and 30°, H3 at -110 dBc and -150°, H4 and H5 at -130 dBc.
ChannelAnalysis knownChannel()
{
    ChannelAnalysis channel;
    channel.hasTone = true;
    channel.frequencyHz = 1000;
    channel.levelDbfs = -3.25;
    channel.thdDb = -99.586;
    channel.thdPercent = 0.0010488;
    channel.thdnDb = -95.004;
    channel.harmonics[1] = 1;
    channel.harmonics[2] = std::polar(1e-5, 30 * M_PI / 180);
    channel.harmonics[3] = std::polar(std::pow(10.0, -110 / 20.0), -150 * M_PI / 180);
    channel.harmonics[4] = std::polar(1e-6 * 0.316228, 0.0);
    channel.harmonics[5] = std::polar(1e-6 * 0.316228, M_PI);
    return channel;
}

} // namespace

class TestResultTable : public QObject {
    Q_OBJECT

private slots:
    void headers();
    void headerSizesFollowTheFont_data();
    void headerSizesFollowTheFont();
    void fixedDecimals_data();
    void fixedDecimals();
    void figuresOfAnAnalysis_data();
    void figuresOfAnAnalysis();
    void afterStaysEmptyUntilSet();
    void noToneShowsDashes();
    void valuesUnknownUntilATuning();
};

void TestResultTable::headers()
{
    ResultTable table;
    QCOMPARE(table.columnCount(), 2);
    QCOMPARE(table.horizontalHeaderItem(0)->text(), QStringLiteral("Before"));
    QCOMPARE(table.horizontalHeaderItem(1)->text(), QStringLiteral("After"));
    const QStringList expected{
        "Fundamental (dBFS)", "Path gain (dB)",     "THD (dB)",           "THD (%)",
        "THD+N (dB)",         "H2 (dBc)",           "H2 phase (°)",       "H3 (dBc)",
        "H3 phase (°)",       "H4 (dBc)",           "H4 phase (°)",       "H5 (dBc)",
        "H5 phase (°)",       "2nd-harmonic value", "3rd-harmonic value", "Pair"};
    QCOMPARE(table.rowCount(), expected.size());
    for (int row = 0; row < table.rowCount(); ++row)
        QCOMPARE(table.verticalHeaderItem(row)->text(), expected[row]);
    // Read-only: a figure typed over would no longer be the measurement.
    QCOMPARE(table.editTriggers(), QAbstractItemView::NoEditTriggers);
    QVERIFY(!(table.item(0, 0)->flags() & Qt::ItemIsEditable));
}

void TestResultTable::headerSizesFollowTheFont_data()
{
    QTest::addColumn<int>("pointSize");   // 0: the font the table was built in
    QTest::addColumn<bool>("bold");
    QTest::newRow("as built") << 0 << false;
    QTest::newRow("larger, after it was shown") << 18 << false;
    QTest::newRow("smaller and bold, after it was shown") << 7 << true;
}

// The headers are as wide and as high as a plain table's with the same
// names measures them, also when the font changes once the table is shown:
// a name cut off, or a header wider than its names, is what a stale size
// would show.
void TestResultTable::headerSizesFollowTheFont()
{
    QFETCH(int, pointSize);
    QFETCH(bool, bold);
    ResultTable table;
    table.resize(500, 600);
    table.show();
    QVERIFY(QTest::qWaitForWindowExposed(&table));
    QFont font = table.font();
    if (pointSize > 0)
        font.setPointSize(pointSize);
    font.setBold(bold);
    table.setFont(font);

    // The font before the rows: a header built with sixteen rows or more
    // keeps the size it measured in the font it was built in.
    QTableWidget plain;
    plain.setFont(font);
    plain.setRowCount(ResultTable::RowCount);
    plain.setColumnCount(2);
    plain.setVerticalHeaderLabels(ResultTable::rowNames());
    plain.setHorizontalHeaderLabels({QStringLiteral("Before"), QStringLiteral("After")});
    QTRY_COMPARE(table.verticalHeader()->width(), plain.verticalHeader()->sizeHint().width());
    QTRY_COMPARE(table.horizontalHeader()->height(), plain.horizontalHeader()->sizeHint().height());
}

void TestResultTable::fixedDecimals_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QString>("text");
    QTest::newRow("rounded down") << -98.214 << 2 << "-98.21";
    QTest::newRow("rounded up") << -98.215001 << 2 << "-98.22";
    QTest::newRow("negative zero") << -0.001 << 2 << "0.00";
    QTest::newRow("negative zero, one decimal") << -0.04 << 1 << "0.0";
    QTest::newRow("a small negative stays") << -0.06 << 1 << "-0.1";
    QTest::newRow("phase") << 179.96 << 1 << "180.0";
    QTest::newRow("not a number") << std::nan("") << 2 << "-";
    QTest::newRow("silence") << -HUGE_VAL << 2 << "-";
}

void TestResultTable::fixedDecimals()
{
    QFETCH(double, value);
    QFETCH(int, decimals);
    QFETCH(QString, text);
    QCOMPARE(ResultTable::fixed(value, decimals), text);
}

void TestResultTable::figuresOfAnAnalysis_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("text");
    QTest::newRow("fundamental") << int(ResultTable::Fundamental) << "-3.25";
    QTest::newRow("path gain") << int(ResultTable::PathGain) << "-9.00";
    QTest::newRow("THD dB") << int(ResultTable::ThdDb) << "-99.59";
    QTest::newRow("THD %") << int(ResultTable::ThdPercent) << "0.00105";
    QTest::newRow("THD+N") << int(ResultTable::ThdnDb) << "-95.00";
    QTest::newRow("H2") << ResultTable::harmonicRow(2) << "-100.00";
    QTest::newRow("H2 phase") << ResultTable::phaseRow(2) << "30.0";
    QTest::newRow("H3") << ResultTable::harmonicRow(3) << "-110.00";
    QTest::newRow("H3 phase") << ResultTable::phaseRow(3) << "-150.0";
    QTest::newRow("H4") << ResultTable::harmonicRow(4) << "-130.00";
    QTest::newRow("H4 phase") << ResultTable::phaseRow(4) << "0.0";
    QTest::newRow("H5 phase") << ResultTable::phaseRow(5) << "180.0";
    QTest::newRow("2nd value") << int(ResultTable::SecondValue) << "-1234";
    QTest::newRow("3rd value") << int(ResultTable::ThirdValue) << "130";
    QTest::newRow("pair") << int(ResultTable::Pair) << "thd_range1";
}

void TestResultTable::figuresOfAnAnalysis()
{
    QFETCH(int, row);
    QFETCH(QString, text);
    ResultTable table;
    table.setAnalysis(ResultTable::Before, knownChannel(), -9.004);
    table.setValues(ResultTable::Before, -1234, 130, QStringLiteral("thd_range1"));
    QCOMPARE(table.cellText(row, ResultTable::Before), text);
    QCOMPARE(table.item(row, ResultTable::Before)->text(), text);   // what AT-SPI reads
    QCOMPARE(table.cellText(row, ResultTable::After), QString());
}

void TestResultTable::afterStaysEmptyUntilSet()
{
    ResultTable table;
    table.setAnalysis(ResultTable::Before, knownChannel());
    ChannelAnalysis better = knownChannel();
    better.thdDb = -121.004;
    table.setAnalysis(ResultTable::After, better);
    QCOMPARE(table.cellText(ResultTable::ThdDb, ResultTable::Before), QStringLiteral("-99.59"));
    QCOMPARE(table.cellText(ResultTable::ThdDb, ResultTable::After), QStringLiteral("-121.00"));
    table.clearColumn(ResultTable::After);
    for (int row = 0; row < ResultTable::RowCount; ++row)
        QCOMPARE(table.cellText(row, ResultTable::After), QString());
    QCOMPARE(table.cellText(ResultTable::ThdDb, ResultTable::Before), QStringLiteral("-99.59"));
}

void TestResultTable::noToneShowsDashes()
{
    ResultTable table;
    const ChannelAnalysis silent;   // no tone: every figure NaN
    table.setAnalysis(ResultTable::Before, silent);
    for (int row = 0; row < ResultTable::SecondValue; ++row)
        QCOMPARE(table.cellText(row, ResultTable::Before), QStringLiteral("-"));
}

void TestResultTable::valuesUnknownUntilATuning()
{
    ResultTable table;
    table.setValues(ResultTable::Before, 12, -7, QStringLiteral("thd_range0"));
    table.setValuesUnknown(ResultTable::Before);
    for (int row : {ResultTable::SecondValue, ResultTable::ThirdValue, ResultTable::Pair})
        QCOMPARE(table.cellText(row, ResultTable::Before), QStringLiteral("-"));
    QCOMPARE(table.cellText(ResultTable::Pair, ResultTable::After), QString());
}

QTEST_MAIN(TestResultTable)
#include "tst_resulttable.moc"
