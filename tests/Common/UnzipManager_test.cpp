#include "TestSupport.h"
#include "UnzipManager.h"
#include "ZipBuilder.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <unzip.h>

#include <sys/stat.h>

using testing_support::LogCapture;
using testing_support::readFile;
using testing_support::writeFile;
using testing_support::writeZip;
using testing_support::ZipEntry;

namespace {

// A scratch tree: the archive lives in dest/, and outside/ sits beside it.
class Unzip : public ::testing::Test {
protected:
    testing_support::ScratchHome scratch;
    QString dest = scratch.path(QStringLiteral("dest"));
    QString outside = scratch.path(QStringLiteral("outside"));
    QString archive = dest + QStringLiteral("/archive.zip");

    void SetUp() override
    {
        QDir().mkpath(dest);
        QDir().mkpath(outside);
    }

    int extract(const QList<ZipEntry>& entries)
    {
        EXPECT_TRUE(writeZip(archive, entries));
        return UnzipManager(archive).extractAll();
    }
    QString at(const QString& relative) const { return dest + u'/' + relative; }
    // Everything under dest except the archive itself, sorted.
    QStringList extracted() const
    {
        QStringList found;
        QDirIterator it(dest, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (path != archive)
                found << path.mid(dest.size() + 1);
        }
        found.sort();
        return found;
    }
    QStringList outsideContents() const
    {
        return QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    }
    QStringList scratchTop() const
    {
        return QDir(scratch.path(QString())).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    }
};

} // namespace

TEST_F(Unzip, OutputPathIsTheArchiveFolderWithASlash)
{
    EXPECT_EQ(UnzipManager(archive).outputPath(), QFile::encodeName(dest) + '/');
    EXPECT_EQ(UnzipManager(QStringLiteral("bare.zip")).outputPath(), QByteArray("./"))
        << "a bare archive name must not extract into the root folder";
}

TEST_F(Unzip, FolderEntriesFirstRecreateTheTree)
{
    EXPECT_EQ(extract({{"top/", {}}, {"top/sub/", {}}, {"top/sub/file.txt", "nested"}, {"top/a.bin", QByteArray(20000, 'z')}}),
              0);
    EXPECT_EQ(extracted(), (QStringList{QStringLiteral("top"), QStringLiteral("top/a.bin"), QStringLiteral("top/sub"),
                                        QStringLiteral("top/sub/file.txt")}));
    EXPECT_EQ(readFile(at(QStringLiteral("top/sub/file.txt"))), QByteArray("nested"));
    EXPECT_EQ(readFile(at(QStringLiteral("top/a.bin"))), QByteArray(20000, 'z'));
}

TEST_F(Unzip, MissingFolderEntriesAreMadeForTheFirstFileInThem)
{
    EXPECT_EQ(extract({{"a/b/c/deep.txt", "deep", false, false}, {"a/b/other.txt", "other"}}), 0);
    EXPECT_EQ(readFile(at(QStringLiteral("a/b/c/deep.txt"))), QByteArray("deep"));
    EXPECT_EQ(readFile(at(QStringLiteral("a/b/other.txt"))), QByteArray("other"));
    struct stat info{};
    ASSERT_EQ(::stat(QFile::encodeName(at(QStringLiteral("a/b"))).constData(), &info), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(info.st_mode & 07777, 0775u & ~mask);
}

TEST_F(Unzip, FolderEntryWithoutParentIsSkippedButItsFilesAreWritten)
{
    EXPECT_EQ(extract({{"p/q/", {}}, {"p/q/f.txt", "inside"}}), 0);
    EXPECT_EQ(readFile(at(QStringLiteral("p/q/f.txt"))), QByteArray("inside"));
}

TEST_F(Unzip, BackslashesSeparateForFoldersButStayInThePath)
{
    EXPECT_EQ(extract({{"win\\", {}}, {"win\\file.txt", "w"}, {"deep\\er/x.txt", "x"}}), 0);
    // Folder entry by its name part: a folder literally named "win\".
    EXPECT_TRUE(QFileInfo(at(QStringLiteral("win\\"))).isDir());
    EXPECT_EQ(readFile(at(QStringLiteral("win\\file.txt"))), QByteArray("w"));
    EXPECT_EQ(readFile(at(QStringLiteral("deep\\er/x.txt"))), QByteArray("x"));
}

TEST_F(Unzip, EmptyArchiveWritesNothing)
{
    EXPECT_EQ(extract({}), 0);
    EXPECT_TRUE(extracted().isEmpty());
}

TEST_F(Unzip, UnreadableArchiveGivesTheParameterError)
{
    EXPECT_EQ(UnzipManager(dest + QStringLiteral("/missing.zip")).extractAll(), UNZ_PARAMERROR);
    ASSERT_TRUE(writeFile(archive, QByteArray("PK\x03\x04 this is not a zip archive at all")));
    EXPECT_EQ(UnzipManager(archive).extractAll(), UNZ_PARAMERROR);
}

TEST_F(Unzip, DamagedEntryStopsTheWalkAndLeavesNoCorruptFile)
{
    const QByteArray damaged = "DAMAGED-ENTRY-CONTENT";
    ASSERT_TRUE(writeZip(archive, {{"first.txt", "fine"}, {"second.txt", damaged, false, false}, {"third.txt", "never"}}));
    QByteArray bytes = readFile(archive);
    const qsizetype at_ = bytes.indexOf(damaged);
    ASSERT_GT(at_, 0);
    bytes[at_] = 'X'; // stored data no longer matches its checksum
    ASSERT_TRUE(writeFile(archive, bytes));

    LogCapture log(0);
    EXPECT_EQ(UnzipManager(archive).extractAll(), 0);
    EXPECT_EQ(extracted(), QStringList{QStringLiteral("first.txt")});
    EXPECT_FALSE(log.messages().filter(QStringLiteral("Zip entry \"second.txt\" could not be extracted")).isEmpty());
}

TEST_F(Unzip, ExistingFilesAreOverwrittenAndFoldersReused)
{
    QDir().mkpath(at(QStringLiteral("keep")));
    ASSERT_TRUE(writeFile(at(QStringLiteral("keep/old.txt")), "untouched"));
    ASSERT_TRUE(writeFile(at(QStringLiteral("keep/file.txt")), "a much longer old content"));
    EXPECT_EQ(extract({{"keep/", {}}, {"keep/file.txt", "new"}}), 0);
    EXPECT_EQ(readFile(at(QStringLiteral("keep/file.txt"))), QByteArray("new"));
    EXPECT_EQ(readFile(at(QStringLiteral("keep/old.txt"))), QByteArray("untouched"));
}

TEST_F(Unzip, NamesLeadingOutsideAreRefusedAndTheWalkGoesOn)
{
    LogCapture log(0);
    const QList<QByteArray> hostile{"../escaped.txt",       "a/../../escaped.txt", "..\\escaped.txt",
                                    "a\\..\\..\\escaped.txt", "/abs-escaped.txt",   "\\abs-escaped.txt",
                                    "C:\\escaped.txt",       "c:escaped.txt",       "..",
                                    "../outside/"};
    QList<ZipEntry> entries;
    for (const QByteArray& name : hostile)
        entries.append(ZipEntry{name, "evil"});
    entries.append(ZipEntry{"good.txt", "good"});
    EXPECT_EQ(extract(entries), 0);
    EXPECT_EQ(extracted(), QStringList{QStringLiteral("good.txt")});
    EXPECT_TRUE(outsideContents().isEmpty());
    EXPECT_EQ(scratchTop(), (QStringList{QStringLiteral("dest"), QStringLiteral("home"), QStringLiteral("outside"),
                                         QStringLiteral("root")}));
    EXPECT_EQ(log.messages().filter(QStringLiteral("Refusing zip entry")).size(), hostile.size());
}

TEST_F(Unzip, HarmlessDotsAreNotRefused)
{
    EXPECT_EQ(extract({{"..hidden", "1"}, {"a/...", "2"}, {"./b.txt", "3"}, {"x..y/z", "4"}}), 0);
    EXPECT_EQ(extracted(), (QStringList{QStringLiteral("..hidden"), QStringLiteral("a"), QStringLiteral("a/..."),
                                        QStringLiteral("b.txt"), QStringLiteral("x..y"), QStringLiteral("x..y/z")}));
}

TEST_F(Unzip, LongNamesAreRefusedWithoutOverrun)
{
    LogCapture log(0);
    const QByteArray longest = QByteArray(255, 'n');
    const QByteArray tooLong = "d/" + QByteArray(254, 'm'); // 256 bytes
    EXPECT_EQ(extract({{tooLong, "long"}, {QByteArray(1000, 'k'), "longer"}, {longest, "fits"}}), 0);
    EXPECT_EQ(extracted(), QStringList{QString::fromLatin1(longest)});
    EXPECT_EQ(log.messages().filter(QStringLiteral("Skipping zip entry with a name of")).size(), 2);
}

TEST_F(Unzip, SymbolicLinkEntryCannotLeadALaterEntryOutside)
{
    EXPECT_EQ(extract({{"link", QFile::encodeName(outside), true}, {"link/escaped.txt", "evil"},
                       {"dir/", {}}, {"dir/link2", "../../outside", true}, {"dir/link2/escaped.txt", "evil"}}),
              0);
    EXPECT_TRUE(outsideContents().isEmpty());
    const QFileInfo link(at(QStringLiteral("link")));
    EXPECT_FALSE(link.isSymLink());
    EXPECT_EQ(readFile(at(QStringLiteral("link"))), QFile::encodeName(outside));
}

TEST_F(Unzip, ExistingSymbolicLinkInTheDestinationIsNotFollowed)
{
    ASSERT_EQ(::symlink(QFile::encodeName(outside).constData(), QFile::encodeName(at(QStringLiteral("pre"))).constData()), 0);
    ASSERT_EQ(::symlink(QFile::encodeName(outside + QStringLiteral("/target.txt")).constData(),
                        QFile::encodeName(at(QStringLiteral("file-link"))).constData()),
              0);
    LogCapture log(0);
    EXPECT_EQ(extract({{"pre/escaped.txt", "evil"}, {"pre/sub/", {}}, {"pre/sub/escaped.txt", "evil"},
                       {"file-link", "evil"}, {"after.txt", "ok"}}),
              0);
    EXPECT_TRUE(outsideContents().isEmpty());
    EXPECT_EQ(readFile(at(QStringLiteral("after.txt"))), QByteArray("ok"));
    EXPECT_EQ(log.messages().filter(QStringLiteral("Refusing zip entry")).size(), 4);
}

TEST(UnzipHelpers, MakedirCreatesMissingParents)
{
    testing_support::ScratchHome scratch;
    EXPECT_EQ(UnzipManager::makedir(""), 0);
    EXPECT_EQ(UnzipManager::makedir(nullptr), 0);
    const QByteArray nested = QFile::encodeName(scratch.path(QStringLiteral("m/n/o/")));
    EXPECT_EQ(UnzipManager::makedir(nested.constData()), 1);
    EXPECT_TRUE(QFileInfo(scratch.path(QStringLiteral("m/n/o"))).isDir());
    EXPECT_EQ(UnzipManager::makedir(nested.constData()), 1) << "existing folders are fine";
    const QByteArray mixed = QFile::encodeName(scratch.path(QStringLiteral("w\\x/y")));
    EXPECT_EQ(UnzipManager::makedir(mixed.constData()), 1);
    EXPECT_TRUE(QFileInfo(scratch.path(QStringLiteral("w"))).isDir()) << "a backslash separates too";
    // A dangling link in the way: its creation fails with ENOENT.
    ASSERT_EQ(::symlink("/nonexistent-qb-target/x", QFile::encodeName(scratch.path(QStringLiteral("dangling"))).constData()), 0);
    EXPECT_EQ(UnzipManager::makedir(QFile::encodeName(scratch.path(QStringLiteral("dangling/y"))).constData()), 0);
}

