// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The option parser of sonvalectl and sonvale-preset, in the three ways the
// tools use it: sonvalectl's options before its command, a command's own
// options among its operands, and sonvale-preset's, which takes any other
// word as a file. What it accepts, what it refuses and with which message.

#include "cli/optionparser.h"

#include <QTest>

namespace {

enum class Use {
    Tool,    // sonvalectl [--verbose] [--device VID:PID] COMMAND ...
    Command, // measure [--json] [--level DBFS] [--output DEV]
    Preset,  // sonvale-preset [--help] FILE ...
};

OptionParser parserFor(Use use)
{
    switch (use) {
    case Use::Tool:
        return OptionParser({{"--help", {}, true}, {"--verbose"}, {"--device", "VID:PID"}},
                            OptionParser::Scope::Leading, "-");
    case Use::Command:
        return OptionParser({{"--json"}, {"--level", "DBFS"}, {"--output", "DEV"}},
                            OptionParser::Scope::Anywhere, "--");
    case Use::Preset: break;
    }
    return OptionParser({{"--help", {}, true}}, OptionParser::Scope::Leading, "-",
                        OptionParser::Unknown::Operand);
}

std::vector<std::string> words(const QStringList& list)
{
    std::vector<std::string> result;
    for (const QString& word : list)
        result.push_back(word.toStdString());
    return result;
}

} // namespace

Q_DECLARE_METATYPE(Use)

class TestOptionParser : public QObject {
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
};

void TestOptionParser::parse_data()
{
    QTest::addColumn<Use>("use");
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QString>("error");     // empty: accepted
    QTest::addColumn<QStringList>("given"); // NAME=VALUE, in the order given
    QTest::addColumn<QStringList>("operands");

    // A command's options stand anywhere; "-6" is an operand, not an option.
    QTest::newRow("options among the operands")
        << Use::Command << QStringList{"a", "--json", "-6", "--level", "-6", "b"} << QString()
        << QStringList{"--json=", "--level=-6"} << QStringList{"a", "-6", "b"};
    // Split at the first '='; an empty value is a value; a repeated option
    // is kept each time, for the caller to take the last or refuse.
    QTest::newRow("values after '=', an option twice")
        << Use::Command << QStringList{"--output=a=b", "--output="} << QString()
        << QStringList{"--output=a=b", "--output="} << QStringList();
    QTest::newRow("a value that looks like an option")
        << Use::Command << QStringList{"--output", "--json"} << QString()
        << QStringList{"--output=--json"} << QStringList();
    QTest::newRow("missing value") << Use::Command << QStringList{"--json", "--level"}
                                   << "--level needs DBFS" << QStringList() << QStringList();
    QTest::newRow("a value for an option that takes none")
        << Use::Command << QStringList{"--json=yes"} << "unknown option '--json=yes'"
        << QStringList() << QStringList();
    // "--" does not end the options: it is refused like any unknown one.
    QTest::newRow("-- is no end of the options")
        << Use::Command << QStringList{"--", "--json"} << "unknown option '--'" << QStringList()
        << QStringList();

    // sonvalectl's options end at the command; the command's own follow it.
    QTest::newRow("options before the command")
        << Use::Tool << QStringList{"--verbose", "--device", "2fc6:6013", "status", "--json", "-x"}
        << QString() << QStringList{"--verbose=", "--device=2fc6:6013"}
        << QStringList{"status", "--json", "-x"};
    QTest::newRow("unknown option") << Use::Tool << QStringList{"-x", "status"}
                                    << "unknown option '-x'" << QStringList() << QStringList();
    QTest::newRow("--help ends the command line")
        << Use::Tool << QStringList{"--help", "--bogus"} << QString() << QStringList{"--help="}
        << QStringList();
    // sonvale-preset takes an unknown word as the first operand.
    QTest::newRow("unknown word as an operand")
        << Use::Preset << QStringList{"-weird.sonvale", "--help"} << QString() << QStringList()
        << QStringList{"-weird.sonvale", "--help"};
}

void TestOptionParser::parse()
{
    QFETCH(Use, use);
    QFETCH(QStringList, words);
    QFETCH(QString, error);
    QFETCH(QStringList, given);
    QFETCH(QStringList, operands);

    OptionParser parser = parserFor(use);
    QCOMPARE(parser.parse(::words(words)), error.isEmpty());
    QCOMPARE(QString::fromStdString(parser.error()), error);
    if (!error.isEmpty())
        return;
    QStringList gotGiven;
    for (const auto& [name, value] : parser.given()) {
        gotGiven.append(QString::fromStdString(name + "=" + value));
        QVERIFY(parser.isSet(name));
    }
    QCOMPARE(gotGiven, given);
    QStringList gotOperands;
    for (const std::string& operand : parser.operands())
        gotOperands.append(QString::fromStdString(operand));
    QCOMPARE(gotOperands, operands);
    QVERIFY(!parser.isSet("--never"));
}

QTEST_APPLESS_MAIN(TestOptionParser)
#include "tst_optionparser.moc"
