// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's form, built on a plain QMainWindow and checked widget by
// widget: classes, parents, geometries, fonts, ranges, texts, items, the
// "Settings" menu and the keyboard focus order.

#include "formmembers.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFont>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTranslator>
#include <QtTest>

#include <algorithm>

namespace {

enum class FontKind { Default, F13, F16B, F12 };

const QString kLeftTitle = QStringLiteral("             THD DAC LEFT");    // 13 spaces
const QString kRightTitle = QStringLiteral("              THD DAC RIGHT");  // 14 spaces

const QStringList kMclkItems = {"0", "1", "2",  "3",  "4",  "5",  "6",  "7",
                                "8", "9", "10", "11", "12", "13", "14", "15"};
const QStringList kMclkFreqItems = {"IDAC_NUM", "CLK GEAR", "MASTER_BCK", "DPLL_BW"};
const QStringList kFilterItems = {"Min phase",         "Linear phase apo", "Linear phase fast",
                                  "Linear ph fast low rpl", "Linear phase slow", "Min phase fast",
                                  "Min phase slow",    "Min ph slow low disp"};
const QStringList kFilterFreqItems = {"DAC1", "DAC2", "DAC3", "DAC4"};

// The focusable widgets in the order Tab visits them.
const QStringList kTabOrder = {"volumeSlider", "mclkBox",        "mclkFreqBox",   "secondThdEdit",
                               "thirdThdEdit", "filterBox",      "filterFreqBox", "startDRTestBtn",
                               "secondThdEdit_2", "thirdThdEdit_2"};

// Answers every lookup in the form's context with the source text in
// brackets, and remembers what was asked.
class BracketTranslator : public QTranslator {
public:
    struct Call {
        QString source;
        bool plain;  // no disambiguation, no plural count
    };
    mutable QList<Call> calls;

    bool isEmpty() const override { return false; }

    QString translate(const char* context, const char* sourceText, const char* disambiguation,
                      int n) const override
    {
        if (qstrcmp(context, "MainWindow") != 0)
            return {};
        calls.append({QString::fromUtf8(sourceText), disambiguation == nullptr && n == -1});
        return QLatin1Char('[') + QString::fromUtf8(sourceText) + QLatin1Char(']');
    }
};

// What the user reads on an object: "text", "title", "windowTitle", or
// "item N" of a combo box.
QString shownText(QObject* object, const QString& what)
{
    if (what.startsWith(QLatin1String("item "))) {
        auto* box = qobject_cast<QComboBox*>(object);
        return box ? box->itemText(what.mid(5).toInt()) : QStringLiteral("<not a combo box>");
    }
    return object->property(what.toLatin1().constData()).toString();
}

QString focusedMember(const Form& form)
{
    return form.memberName(QApplication::focusWidget());
}

} // namespace

Q_DECLARE_METATYPE(FontKind)

class TestMainWindowForm : public QObject {
    Q_OBJECT

private slots:
    void members_data();
    void members();
    void structHoldsOnlyTheMembers();

    void widgets_data();
    void widgets();

    void stacking_data();
    void stacking();

    void properties_data();
    void properties();

    void limits_data();
    void limits();

    void texts_data();
    void texts();
    void textsGoThroughTranslation_data();
    void textsGoThroughTranslation();
    void translationLookupsInOrder();

    void explicitLeftToRight_data();
    void explicitLeftToRight();

    void menuAndStatusBar();
    void buttonHasNoMnemonic();
    void windowIsFixedSize();

    void focusChain();
    void tabKeys_data();
    void tabKeys();
};

// ---------------------------------------------------------------------------
// Members: declaration order, object names, classes.

void TestMainWindowForm::members_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("className");

    const QList<QByteArray> classes = {
        "QAction",   "QAction",     "QAction",   "QWidget",   "QLabel",    "QSlider",
        "QGroupBox", "QComboBox",   "QComboBox", "QGroupBox", "QSpinBox",  "QLabel",
        "QSpinBox",  "QLabel",      "QGroupBox", "QComboBox", "QComboBox", "QPushButton",
        "QGroupBox", "QSpinBox",    "QLabel",    "QSpinBox",  "QLabel",    "QLabel",
        "QMenuBar",  "QMenu",       "QStatusBar"};
    const auto& members = formMembers();
    QCOMPARE(int(members.size()), int(classes.size()));
    for (int i = 0; i < int(members.size()); ++i)
        QTest::newRow(members[i].name) << i << classes[i];
}

void TestMainWindowForm::members()
{
    QFETCH(int, index);
    QFETCH(QByteArray, className);

    Form form;
    const FormMember& m = formMembers()[index];
    QCOMPARE(m.offset, std::size_t(index) * sizeof(void*));  // declared in this place
    QObject* object = m.get(form.ui);
    QVERIFY(object);
    QCOMPARE(object->objectName(), QString::fromLatin1(m.name));
    QCOMPARE(QByteArray(object->metaObject()->className()), className);
}

void TestMainWindowForm::structHoldsOnlyTheMembers()
{
    QCOMPARE(sizeof(Ui_MainWindow), formMembers().size() * sizeof(void*));
    Form form;
    QCOMPARE(form.window.objectName(), QStringLiteral("MainWindow"));
}

// ---------------------------------------------------------------------------
// Widgets: parent, geometry, font.

void TestMainWindowForm::widgets_data()
{
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("geometry");  // null: not fixed by the form
    QTest::addColumn<FontKind>("font");

    using F = FontKind;
    auto row = [](const char* name, const char* parent, QRect geometry, FontKind font) {
        QTest::newRow(name) << QString::fromLatin1(parent) << geometry << font;
    };
    row("centralwidget", "MainWindow", QRect(), F::Default);
    row("label", "centralwidget", QRect(199, 60, 81, 20), F::F13);
    row("volumeSlider", "centralwidget", QRect(290, 60, 211, 20), F::Default);
    row("groupBox", "centralwidget", QRect(10, 110, 141, 80), F::Default);
    row("mclkBox", "groupBox", QRect(10, 50, 121, 22), F::Default);
    row("mclkFreqBox", "groupBox", QRect(10, 20, 121, 22), F::Default);
    row("groupBox_2", "centralwidget", QRect(160, 110, 231, 171), F::F13);
    row("secondThdEdit", "groupBox_2", QRect(50, 20, 171, 50), F::F16B);
    row("label_3", "groupBox_2", QRect(10, 40, 31, 16), F::F13);
    row("thirdThdEdit", "groupBox_2", QRect(50, 100, 171, 51), F::F16B);
    row("label_4", "groupBox_2", QRect(10, 120, 27, 16), F::F12);
    row("groupBox_3", "centralwidget", QRect(10, 180, 141, 80), F::Default);
    row("filterBox", "groupBox_3", QRect(10, 50, 121, 22), F::Default);
    row("filterFreqBox", "groupBox_3", QRect(10, 20, 121, 22), F::Default);
    row("startDRTestBtn", "centralwidget", QRect(20, 10, 121, 41), F::Default);
    row("groupBox_4", "centralwidget", QRect(400, 110, 251, 171), F::F13);
    row("secondThdEdit_2", "groupBox_4", QRect(50, 20, 171, 50), F::F16B);
    row("label_5", "groupBox_4", QRect(10, 40, 31, 16), F::F13);
    row("thirdThdEdit_2", "groupBox_4", QRect(50, 100, 171, 51), F::F16B);
    row("label_6", "groupBox_4", QRect(10, 120, 27, 16), F::F12);
    row("label_7", "centralwidget", QRect(350, 40, 91, 20), F::F13);
    row("menubar", "MainWindow", QRect(0, 0, 700, 21), F::Default);
    row("menuSonvale", "menubar", QRect(), F::Default);
    row("statusbar", "MainWindow", QRect(), F::Default);
}

void TestMainWindowForm::widgets()
{
    QFETCH(QString, parent);
    QFETCH(QRect, geometry);
    QFETCH(FontKind, font);

    Form form;
    QWidget* w = form.widget(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(w);
    QCOMPARE(w->parent(), form.object(parent));
    if (!geometry.isNull())
        QCOMPARE(w->geometry(), geometry);

    const QFont f = w->font();
    const QFont standard = QApplication::font(w);
    if (font == FontKind::Default) {
        QVERIFY(!w->testAttribute(Qt::WA_SetFont));
        QCOMPARE(f.pointSizeF(), standard.pointSizeF());
        QCOMPARE(f.bold(), standard.bold());
        return;
    }
    // A default font with only the size (and the weight) changed.
    QVERIFY(w->testAttribute(Qt::WA_SetFont));
    QCOMPARE(f.family(), QFont().family());
    QCOMPARE(f.italic(), false);
    QCOMPARE(f.pointSize(), font == FontKind::F13 ? 13 : font == FontKind::F16B ? 16 : 12);
    QCOMPARE(f.bold(), font == FontKind::F16B);
    QCOMPARE(f.weight(), font == FontKind::F16B ? QFont::Bold : QFont::Normal);
}

// ---------------------------------------------------------------------------
// Children in creation order, which is also the stacking order: groupBox_3
// overlaps the bottom of groupBox and is drawn over it.

void TestMainWindowForm::stacking_data()
{
    QTest::addColumn<QStringList>("children");

    QTest::newRow("MainWindow") << QStringList{"actionRead_state", "actionRestoreFactory",
                                               "actionFileBrowser", "centralwidget", "menubar",
                                               "statusbar"};
    QTest::newRow("centralwidget")
        << QStringList{"label",      "volumeSlider",   "groupBox",   "groupBox_2",
                       "groupBox_3", "startDRTestBtn", "groupBox_4", "label_7"};
    QTest::newRow("groupBox") << QStringList{"mclkBox", "mclkFreqBox"};
    QTest::newRow("groupBox_2") << QStringList{"secondThdEdit", "label_3", "thirdThdEdit", "label_4"};
    QTest::newRow("groupBox_3") << QStringList{"filterBox", "filterFreqBox"};
    QTest::newRow("groupBox_4")
        << QStringList{"secondThdEdit_2", "label_5", "thirdThdEdit_2", "label_6"};
    QTest::newRow("menubar") << QStringList{"menuSonvale"};
}

void TestMainWindowForm::stacking()
{
    QFETCH(QStringList, children);

    Form form;
    QObject* parent = form.object(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(parent);
    QStringList named;
    for (QObject* child : parent->children()) {
        const QString name = form.memberName(child);
        if (name == child->objectName())
            named << name;
    }
    QCOMPARE(named, children);
}

// ---------------------------------------------------------------------------
// Properties as the form leaves them.

void TestMainWindowForm::properties_data()
{
    QTest::addColumn<QString>("object");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QVariant>("expected");

    auto row = [](const char* object, const char* property, const QVariant& expected) {
        QTest::addRow("%s.%s", object, property)
            << QString::fromLatin1(object) << QByteArray(property) << expected;
    };
    const QVariant centred = QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
    const QVariant ltr = QVariant::fromValue(Qt::LeftToRight);

    row("MainWindow", "size", QSize(700, 350));
    row("MainWindow", "minimumSize", QSize(700, 350));
    row("MainWindow", "maximumSize", QSize(700, 350));

    row("actionRead_state", "enabled", false);
    row("actionRestoreFactory", "enabled", false);
    row("actionFileBrowser", "enabled", false);

    row("label", "alignment", centred);
    row("label_7", "alignment", centred);

    row("volumeSlider", "minimum", 1);
    row("volumeSlider", "maximum", 255);
    row("volumeSlider", "singleStep", 1);
    row("volumeSlider", "value", 255);
    row("volumeSlider", "sliderPosition", 255);
    row("volumeSlider", "orientation", QVariant::fromValue(Qt::Horizontal));

    for (const char* box : {"secondThdEdit", "thirdThdEdit", "secondThdEdit_2", "thirdThdEdit_2"}) {
        row(box, "alignment", centred);
        row(box, "minimum", -32767);
        row(box, "maximum", 32767);
        row(box, "layoutDirection", ltr);
    }

    row("mclkBox", "count", 16);
    row("mclkFreqBox", "count", 4);
    row("filterBox", "count", 8);
    row("filterFreqBox", "count", 4);
    row("mclkBox", "currentIndex", 0);
    row("mclkFreqBox", "currentIndex", 0);
    row("filterBox", "currentIndex", 0);
    row("filterFreqBox", "currentIndex", 0);
    row("mclkBox", "currentText", QStringLiteral("0"));
    row("mclkFreqBox", "currentText", QStringLiteral("IDAC_NUM"));
    row("filterBox", "currentText", QStringLiteral("Min phase"));
    row("filterFreqBox", "currentText", QStringLiteral("DAC1"));

    row("menubar", "geometry", QRect(0, 0, 700, 21));
}

void TestMainWindowForm::properties()
{
    QFETCH(QString, object);
    QFETCH(QByteArray, property);
    QFETCH(QVariant, expected);

    Form form;
    QObject* o = form.object(object);
    QVERIFY(o);
    const QVariant actual = o->property(property.constData());
    QVERIFY2(actual.isValid(), "no such property");
    QCOMPARE(actual, expected);
}

// ---------------------------------------------------------------------------
// Values beyond the ranges stop at the ends: the slider never reaches 0 and
// the spin boxes stop short of -32768.

void TestMainWindowForm::limits_data()
{
    QTest::addColumn<QString>("object");
    QTest::addColumn<int>("set");
    QTest::addColumn<int>("shown");

    QTest::newRow("volumeSlider 0") << "volumeSlider" << 0 << 1;
    QTest::newRow("volumeSlider 256") << "volumeSlider" << 256 << 255;
    for (const char* box : {"secondThdEdit", "thirdThdEdit", "secondThdEdit_2", "thirdThdEdit_2"}) {
        QTest::addRow("%s -32768", box) << box << -32768 << -32767;
        QTest::addRow("%s 32768", box) << box << 32768 << 32767;
        QTest::addRow("%s -32767", box) << box << -32767 << -32767;
    }
}

void TestMainWindowForm::limits()
{
    QFETCH(QString, object);
    QFETCH(int, set);
    QFETCH(int, shown);

    Form form;
    QObject* o = form.object(object);
    QVERIFY(o);
    QVERIFY(o->setProperty("value", set));
    QCOMPARE(o->property("value").toInt(), shown);
}

// ---------------------------------------------------------------------------
// Texts, untranslated and through a translator for the form's context.

void TestMainWindowForm::texts_data()
{
    QTest::addColumn<QString>("object");
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("expected");

    auto row = [](const char* object, const QString& what, const QString& expected) {
        QTest::addRow("%s %s", object, qPrintable(what))
            << QString::fromLatin1(object) << what << expected;
    };
    auto items = [&](const char* box, const QStringList& texts) {
        for (int i = 0; i < texts.size(); ++i)
            row(box, QStringLiteral("item %1").arg(i), texts[i]);
    };
    row("MainWindow", "windowTitle", "Sonvale");
    row("actionRead_state", "text", "Read state");
    row("actionRestoreFactory", "text", "Restore factory");
    row("actionFileBrowser", "text", "Preset browser...");
    row("label", "text", "0");
    row("groupBox", "title", "");
    items("mclkBox", kMclkItems);
    items("mclkFreqBox", kMclkFreqItems);
    row("groupBox_2", "title", kLeftTitle);
    row("label_3", "text", "2nd");
    row("label_4", "text", "3rd");
    row("groupBox_3", "title", "");
    items("filterBox", kFilterItems);
    items("filterFreqBox", kFilterFreqItems);
    row("startDRTestBtn", "text", "Connect&&Read");
    row("groupBox_4", "title", kRightTitle);
    row("label_5", "text", "2nd");
    row("label_6", "text", "3rd");
    row("label_7", "text", "Volume");
    row("menuSonvale", "title", "Settings");

    // What a screen reader calls each control (the label and the button by
    // their texts); atspi_mainwindow reads them with their descriptions.
    row("label", "accessibleName", "");
    row("volumeSlider", "accessibleName", "Volume");
    row("mclkBox", "accessibleName", "Clock setting value");
    row("mclkFreqBox", "accessibleName", "Clock setting");
    row("secondThdEdit", "accessibleName", "THD DAC LEFT 2nd");
    row("thirdThdEdit", "accessibleName", "THD DAC LEFT 3rd");
    row("filterBox", "accessibleName", "Filter shape");
    row("filterFreqBox", "accessibleName", "Filter entry");
    row("startDRTestBtn", "accessibleName", "");
    row("secondThdEdit_2", "accessibleName", "THD DAC RIGHT 2nd");
    row("thirdThdEdit_2", "accessibleName", "THD DAC RIGHT 3rd");
}

void TestMainWindowForm::texts()
{
    QFETCH(QString, object);
    QFETCH(QString, what);
    QFETCH(QString, expected);

    Form form;
    QObject* o = form.object(object);
    QVERIFY(o);
    QCOMPARE(shownText(o, what), expected);
}

void TestMainWindowForm::textsGoThroughTranslation_data()
{
    texts_data();
}

void TestMainWindowForm::textsGoThroughTranslation()
{
    QFETCH(QString, object);
    QFETCH(QString, what);
    QFETCH(QString, expected);

    BracketTranslator translator;
    QCoreApplication::installTranslator(&translator);
    Form form;
    QCoreApplication::removeTranslator(&translator);

    QObject* o = form.object(object);
    QVERIFY(o);
    QCOMPARE(shownText(o, what), expected.isEmpty() ? QString() : "[" + expected + "]");
}

void TestMainWindowForm::translationLookupsInOrder()
{
    QStringList expected = {"Sonvale", "Read state", "Restore factory", "Preset browser...", "0"};
    expected << kMclkItems << kMclkFreqItems << kLeftTitle << "2nd" << "3rd" << kFilterItems
             << kFilterFreqItems << "DAC1" << "Connect&&Read" << kRightTitle << "2nd" << "3rd"
             << "Volume" << "Settings";

    BracketTranslator translator;
    QCoreApplication::installTranslator(&translator);
    Form form;
    QCoreApplication::removeTranslator(&translator);

    QStringList asked;
    for (const BracketTranslator::Call& call : translator.calls) {
        asked << call.source;
        QVERIFY2(call.plain, qPrintable("disambiguation or plural count for " + call.source));
    }
    // Each widget's accessible name and description is looked up with the
    // widget's texts (texts_data checks them); the texts keep their order.
    for (QWidget* w : form.window.findChildren<QWidget*>()) {
        for (const QString& text : {w->accessibleName(), w->accessibleDescription()}) {
            if (!text.isEmpty())
                QVERIFY2(asked.removeOne(text.mid(1, text.size() - 2)), qPrintable(text));
        }
    }
    QCOMPARE(asked, expected);
    // Setting the current text after the items leaves the first row selected.
    QCOMPARE(form.ui.filterFreqBox->currentText(), QStringLiteral("[DAC1]"));
    QCOMPARE(form.ui.filterFreqBox->currentIndex(), 0);
}

// ---------------------------------------------------------------------------
// The upper THD boxes keep left-to-right even in a right-to-left application;
// everything else follows the application.

void TestMainWindowForm::explicitLeftToRight_data()
{
    QTest::addColumn<Qt::LayoutDirection>("direction");

    QTest::newRow("secondThdEdit") << Qt::LeftToRight;
    QTest::newRow("secondThdEdit_2") << Qt::LeftToRight;
    QTest::newRow("thirdThdEdit") << Qt::RightToLeft;
    QTest::newRow("thirdThdEdit_2") << Qt::RightToLeft;
    QTest::newRow("volumeSlider") << Qt::RightToLeft;
    QTest::newRow("groupBox_2") << Qt::RightToLeft;
}

void TestMainWindowForm::explicitLeftToRight()
{
    QFETCH(Qt::LayoutDirection, direction);

    // Changing the application's direction re-lays out every open window, so
    // the form is checked while the direction is in force.
    struct RightToLeftApplication {
        RightToLeftApplication() { QGuiApplication::setLayoutDirection(Qt::RightToLeft); }
        ~RightToLeftApplication() { QGuiApplication::setLayoutDirection(Qt::LeftToRight); }
    } rightToLeft;
    Form form;

    QWidget* w = form.widget(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(w);
    QCOMPARE(w->layoutDirection(), direction);
}

// ---------------------------------------------------------------------------
// The "Settings" menu, the button and the window size.

void TestMainWindowForm::menuAndStatusBar()
{
    Form form;
    QMenu* menu = form.ui.menuSonvale;
    QCOMPARE(form.window.menuBar(), form.ui.menubar);
    QCOMPARE(form.window.statusBar(), form.ui.statusbar);
    QVERIFY(form.ui.statusbar->currentMessage().isEmpty());
    QCOMPARE(form.ui.menubar->actions(), QList<QAction*>{menu->menuAction()});
    QCOMPARE(menu->menuAction()->text(), QStringLiteral("Settings"));

    const QList<QAction*> entries = menu->actions();
    QCOMPARE(entries.size(), 4);
    QCOMPARE(entries[0], form.ui.actionRead_state);
    QCOMPARE(entries[1], form.ui.actionRestoreFactory);
    QVERIFY(entries[2]->isSeparator());
    QCOMPARE(entries[3], form.ui.actionFileBrowser);
    for (QAction* entry : entries) {
        if (!entry->isSeparator()) {
            QVERIFY2(!entry->isEnabled(), qPrintable(entry->text()));
            QCOMPARE(entry->parent(), &form.window);
        }
    }
}

void TestMainWindowForm::buttonHasNoMnemonic()
{
    Form form;
    // "&&" is a literal ampersand: the button reads "Connect&Read" and no
    // Alt shortcut is defined.
    QCOMPARE(form.ui.startDRTestBtn->text(), QStringLiteral("Connect&&Read"));
    QVERIFY(QKeySequence::mnemonic(form.ui.startDRTestBtn->text()).isEmpty());
    QVERIFY(form.ui.startDRTestBtn->shortcut().isEmpty());
}

void TestMainWindowForm::windowIsFixedSize()
{
    Form form;
    form.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form.window));
    form.window.resize(900, 500);
    QCOMPARE(form.window.size(), QSize(700, 350));
    form.window.resize(300, 200);
    QCOMPARE(form.window.size(), QSize(700, 350));
}

// ---------------------------------------------------------------------------
// Keyboard focus order: the table order of the focusable widgets.

void TestMainWindowForm::focusChain()
{
    Form form;
    QStringList chain;
    QWidget* w = form.window.nextInFocusChain();
    for (int guard = 0; w != &form.window && guard < 1000; ++guard, w = w->nextInFocusChain()) {
        if ((w->focusPolicy() & Qt::TabFocus) && form.memberName(w) == w->objectName())
            chain << w->objectName();
    }
    QCOMPARE(chain, kTabOrder);
}

void TestMainWindowForm::tabKeys_data()
{
    QTest::addColumn<Qt::Key>("key");
    QTest::addColumn<QStringList>("visited");

    QStringList forward = kTabOrder.mid(1);
    forward << kTabOrder.first();
    QStringList backward = kTabOrder;
    std::reverse(backward.begin(), backward.end());

    QTest::newRow("Tab") << Qt::Key_Tab << forward;
    QTest::newRow("Backtab") << Qt::Key_Backtab << backward;
}

void TestMainWindowForm::tabKeys()
{
    QFETCH(Qt::Key, key);
    QFETCH(QStringList, visited);

    Form form;
    form.window.show();
    form.window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form.window));
    form.ui.volumeSlider->setFocus(Qt::OtherFocusReason);
    QCOMPARE(focusedMember(form), QStringLiteral("volumeSlider"));

    QStringList seen;
    for (int i = 0; i < visited.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), key);
        seen << focusedMember(form);
    }
    QCOMPARE(seen, visited);
}

QTEST_MAIN(TestMainWindowForm)
#include "tst_mainwindowform.moc"
