// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The JSON text sonvalectl prints: every value valid JSON however odd the
// text or number (a device name with control characters, a figure that is
// not a number), and the documents in their members' order and layout.

#include "ctl/jsontext.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <limits>

Q_DECLARE_METATYPE(JsonText)

class TestJsonText : public QObject {
    Q_OBJECT
private slots:
    void value_data();
    void value();
    void document_data();
    void document();
};

void TestJsonText::value_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<QString>("text");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    QTest::newRow("control characters")
        << QJsonValue(QString::fromUtf8("a\x01\x1f\b\f\n\r\tz")) << R"("a\u0001\u001f\b\f\n\r\tz")";
    QTest::newRow("quote and backslash") << QJsonValue(R"(say "C:\dac")") << R"("say \"C:\\dac\"")";
    // Written as UTF-8, which JSON allows; not escaped, not as Latin-1.
    QTest::newRow("non-ASCII") << QJsonValue(QString::fromUtf8("Gerät €1 \xF0\x9F\x8E\xB5"))
                               << QString::fromUtf8("\"Gerät €1 \xF0\x9F\x8E\xB5\"");
    // JSON has no NaN or infinity: null, as a figure that cannot be had.
    QTest::newRow("NaN") << QJsonValue(nan) << "null";
    QTest::newRow("infinity") << QJsonValue(-infinity) << "null";
    QTest::newRow("NaN in an array") << QJsonValue(QJsonArray{1, nan, "x"}) << R"([1, null, "x"])";
    // Whole numbers beyond a double's 53 bits stay exact.
    QTest::newRow("large integer") << QJsonValue(qint64(9007199254740993)) << "9007199254740993";
    QTest::newRow("fraction") << QJsonValue(0.1) << "0.1";
    QTest::newRow("arrays in an array")
        << QJsonValue(QJsonArray{QJsonArray{-3, 2.5}, QJsonArray{}}) << "[[-3, 2.5], []]";
}

void TestJsonText::value()
{
    QFETCH(QJsonValue, value);
    QFETCH(QString, text);

    const std::string written = JsonText::value(value);
    QCOMPARE(QString::fromStdString(written), text);
    QJsonParseError error;
    QJsonDocument::fromJson(QByteArray::fromStdString("[" + written + "]"), &error);
    QCOMPARE(error.errorString(), QJsonParseError().errorString());
}

void TestJsonText::document_data()
{
    QTest::addColumn<JsonText>("document");
    QTest::addColumn<int>("indent");
    QTest::addColumn<QString>("lines");
    QTest::addColumn<QString>("oneLine");

    // The members in the order added, not sorted as QJsonObject sorts them;
    // the keys escaped as values are.
    JsonText ordered;
    ordered.add("zeta", 1).add("alpha", "a").add("say \"k\"", true);
    QTest::newRow("members in their order")
        << ordered << 0 << "{\n  \"zeta\": 1,\n  \"alpha\": \"a\",\n  \"say \\\"k\\\"\": true\n}"
        << R"({"zeta": 1, "alpha": "a", "say \"k\"": true})";

    // An array of objects: one a line where the document stands at
    // `indent`, the objects' own arrays of objects on their line.
    JsonText first, second;
    first.add("channel", "left")
        .addObjects("harmonics", {JsonText().add("order", 2), JsonText().add("order", 3)});
    second.add("channel", "right").addObjects("harmonics", {});
    JsonText nested;
    nested.add("rate", 48000).addObjects("channels", {first, second});
    QTest::newRow("objects nested at indent 2")
        << nested << 2
        << "{\n"
           "    \"rate\": 48000,\n"
           "    \"channels\": [\n"
           "      {\"channel\": \"left\", \"harmonics\": [{\"order\": 2}, {\"order\": 3}]},\n"
           "      {\"channel\": \"right\", \"harmonics\": []}\n"
           "    ]\n"
           "  }"
        << R"({"rate": 48000, "channels": [)"
           R"({"channel": "left", "harmonics": [{"order": 2}, {"order": 3}]}, )"
           R"({"channel": "right", "harmonics": []}]})";

    JsonText empty;
    empty.addObjects("entries", {}).addJson("floor", JsonText().oneLine());
    QTest::newRow("no objects") << empty << 0 << "{\n  \"entries\": [],\n  \"floor\": {}\n}"
                                << R"({"entries": [], "floor": {}})";
}

void TestJsonText::document()
{
    QFETCH(JsonText, document);
    QFETCH(int, indent);
    QFETCH(QString, lines);
    QFETCH(QString, oneLine);

    QCOMPARE(QString::fromStdString(document.lines(indent)), lines);
    QCOMPARE(QString::fromStdString(document.oneLine()), oneLine);
    for (const QString& text : {lines, oneLine}) {
        QJsonParseError error;
        QJsonDocument::fromJson(text.toUtf8(), &error);
        QCOMPARE(error.errorString(), QJsonParseError().errorString());
    }
}

QTEST_APPLESS_MAIN(TestJsonText)
#include "tst_jsontext.moc"
