// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// The atomic writer both tools save presets through: what a replaced and a
// new file end up with, where the temporary file lives, and that a failure
// leaves nothing behind.

#include "settings/atomicfile.h"
#include "testbytes.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::vector<unsigned char> bytes = {1, 2, 3, 4, 5};

mode_t modeOf(const QString& path)
{
    struct stat s;
    return stat(QFile::encodeName(path).constData(), &s) == 0 ? s.st_mode & 07777 : 0;
}

} // namespace

class TestAtomicFile : public QObject {
    Q_OBJECT

private slots:
    void init();
    void replacedFileKeepsItsPermissions_data();
    void replacedFileKeepsItsPermissions();
    void newFileTakesTheUmask_data();
    void newFileTakesTheUmask();
    void temporaryFileSitsBesideTheTarget();
    void failedRenameLeavesNothing();

private:
    QScopedPointer<QTemporaryDir> dir;
    std::string target() const { return QFile::encodeName(dir->filePath("preset.sonvale")).toStdString(); }
    QStringList files() const { return QDir(dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot); }
};

void TestAtomicFile::init()
{
    dir.reset(new QTemporaryDir);
}

void TestAtomicFile::replacedFileKeepsItsPermissions_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("0640") << 0640;
    QTest::newRow("0604") << 0604;
    QTest::newRow("0755") << 0755;
}

void TestAtomicFile::replacedFileKeepsItsPermissions()
{
    QFETCH(int, mode);
    const QString path = QString::fromStdString(target());
    QVERIFY(TestBytes::writeFile(path, "old"));
    QCOMPARE(chmod(target().c_str(), mode_t(mode)), 0);

    const Error error = AtomicFile::write(target(), bytes);
    QVERIFY(!error);
    QCOMPARE(error.cause, std::string());
    QCOMPARE(TestBytes::readFile(path), QByteArray("\x01\x02\x03\x04\x05"));
    QCOMPARE(int(modeOf(path)), mode);
}

void TestAtomicFile::newFileTakesTheUmask_data()
{
    QTest::addColumn<int>("mask");
    QTest::addColumn<int>("mode");
    QTest::newRow("022") << 022 << 0644;
    QTest::newRow("077") << 077 << 0600;
    QTest::newRow("002") << 002 << 0664;
}

void TestAtomicFile::newFileTakesTheUmask()
{
    QFETCH(int, mask);
    QFETCH(int, mode);
    const mode_t old = umask(mode_t(mask));
    const Error error = AtomicFile::write(target(), bytes);
    umask(old);
    QVERIFY(!error);
    QCOMPARE(int(modeOf(QString::fromStdString(target()))), mode);
}

// The file is made in the target's own folder and renamed there, so that
// the rename never crosses file systems.
void TestAtomicFile::temporaryFileSitsBesideTheTarget()
{
    const int watch = inotify_init1(IN_NONBLOCK);
    QVERIFY(watch >= 0);
    QVERIFY(inotify_add_watch(watch, QFile::encodeName(dir->path()).constData(), IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO) >= 0);
    QVERIFY(!AtomicFile::write(target(), bytes));

    QStringList events;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = read(watch, buffer, sizeof buffer)) > 0;) {
        for (char* p = buffer; p < buffer + n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(p);
            const QString name = QString::fromUtf8(event->name).replace(QRegularExpression("\\.[A-Za-z0-9]{6}$"), ".XXXXXX");
            events << (event->mask & IN_CREATE ? "created " : event->mask & IN_MOVED_FROM ? "moved from " : "moved to ") + name;
            p += sizeof(inotify_event) + event->len;
        }
    }
    close(watch);
    QCOMPARE(events, (QStringList{"created preset.sonvale.XXXXXX", "moved from preset.sonvale.XXXXXX",
                                  "moved to preset.sonvale"}));
    QCOMPARE(files(), QStringList{"preset.sonvale"});
}

// A rename that fails (the target is a folder) takes its temporary file
// with it.
void TestAtomicFile::failedRenameLeavesNothing()
{
    QVERIFY(QDir(dir->path()).mkdir("preset.sonvale"));
    const Error error = AtomicFile::write(target(), bytes);
    QCOMPARE(error.kind, Error::Kind::File);
    QCOMPARE(QString::fromStdString(error.cause),
             "cannot replace " + QString::fromStdString(target()) + ": Is a directory");
    QCOMPARE(files(), QStringList{"preset.sonvale"});
}

QTEST_GUILESS_MAIN(TestAtomicFile)
#include "tst_atomicfile.moc"
