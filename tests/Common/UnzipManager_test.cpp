#include "TestSupport.h"
#include "UnzipManager.h"
#include "ZipBuilder.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <functional>

#include <unzip.h>
#include <zlib.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using testing_support::LogCapture;
using testing_support::readFile;
using testing_support::writeFile;
using testing_support::writeZip;
using testing_support::ZipEntry;

namespace {

void put(QByteArray& out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.append(static_cast<char>((value >> (8 * i)) & 0xff));
}

QByteArray rawDeflate(const QByteArray& data)
{
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(static_cast<qsizetype>(deflateBound(&stream, static_cast<uLong>(data.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.truncate(static_cast<qsizetype>(stream.total_out));
    deflateEnd(&stream);
    return out;
}

// An archive whose entries all carry their sizes in zip64 extra fields, in
// the local and the central headers alike, as streaming writers make them.
QByteArray zip64Archive(const QList<ZipEntry>& entries)
{
    QByteArray out;
    QByteArray central;
    for (const ZipEntry& entry : entries) {
        const QByteArray stored = entry.deflated ? rawDeflate(entry.data) : entry.data;
        const auto crc = crc32(0, reinterpret_cast<const Bytef*>(entry.data.constData()),
                               static_cast<uInt>(entry.data.size()));
        QByteArray extra;
        put(extra, 0x0001, 2);
        put(extra, 16, 2);
        put(extra, static_cast<uint64_t>(entry.data.size()), 8);
        put(extra, static_cast<uint64_t>(stored.size()), 8);
        const auto offset = static_cast<uint64_t>(out.size());
        const int method = entry.deflated ? Z_DEFLATED : 0;
        put(out, 0x04034b50, 4);
        for (const uint64_t field : {45, 0, method, 0, 0})
            put(out, field, 2);
        put(out, crc, 4);
        put(out, 0xFFFFFFFFu, 4);
        put(out, 0xFFFFFFFFu, 4);
        put(out, static_cast<uint64_t>(entry.name.size()), 2);
        put(out, static_cast<uint64_t>(extra.size()), 2);
        out += entry.name + extra + stored;
        put(central, 0x02014b50, 4);
        for (const uint64_t field : {(3 << 8) | 45, 45, 0, method, 0, 0})
            put(central, field, 2);
        put(central, crc, 4);
        put(central, 0xFFFFFFFFu, 4);
        put(central, 0xFFFFFFFFu, 4);
        for (const uint64_t field : {static_cast<uint64_t>(entry.name.size()), static_cast<uint64_t>(extra.size()),
                                     uint64_t{0}, uint64_t{0}, uint64_t{0}})
            put(central, field, 2);
        put(central, uint64_t{0100644} << 16, 4);
        put(central, offset, 4);
        central += entry.name + extra;
    }
    const auto centralOffset = static_cast<uint64_t>(out.size());
    out += central;
    put(out, 0x06054b50, 4);
    for (const uint64_t field :
         {uint64_t{0}, uint64_t{0}, static_cast<uint64_t>(entries.size()), static_cast<uint64_t>(entries.size())})
        put(out, field, 2);
    put(out, static_cast<uint64_t>(central.size()), 4);
    put(out, centralOffset, 4);
    put(out, 0, 2);
    return out;
}

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

TEST_F(Unzip, ABareArchiveNameExtractsBesideItNotIntoTheRootFolder)
{
    ASSERT_TRUE(writeZip(archive, {{"qb-bare-entry.txt", "here"}}));
    const QString saved = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dest));
    const int result = UnzipManager(QStringLiteral("archive.zip")).extractAll();
    QDir::setCurrent(saved);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(readFile(at(QStringLiteral("qb-bare-entry.txt"))), QByteArray("here"));
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/qb-bare-entry.txt")));
}

TEST_F(Unzip, FolderEntriesFirstRecreateTheTree)
{
    EXPECT_EQ(
        extract({{"top/", {}}, {"top/sub/", {}}, {"top/sub/file.txt", "nested"}, {"top/a.bin", QByteArray(20000, 'z')}}), 0);
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
    struct stat info {};
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

TEST_F(Unzip, DamagedEntryStopsTheWalkWithItsErrorAndLeavesNoCorruptFile)
{
    const QByteArray damaged = "DAMAGED-ENTRY-CONTENT";
    ASSERT_TRUE(writeZip(archive, {{"first.txt", "fine"}, {"second.txt", damaged, false, false}, {"third.txt", "never"}}));
    QByteArray bytes = readFile(archive);
    const qsizetype at_ = bytes.indexOf(damaged);
    ASSERT_GT(at_, 0);
    bytes[at_] = 'X'; // stored data no longer matches its checksum
    ASSERT_TRUE(writeFile(archive, bytes));

    LogCapture log(0);
    EXPECT_EQ(UnzipManager(archive).extractAll(), UNZ_CRCERROR) << "a partial extraction is not a success";
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
    const QList<QByteArray> hostile{"../escaped.txt",
                                    "a/../../escaped.txt",
                                    "..\\escaped.txt",
                                    "a\\..\\..\\escaped.txt",
                                    "/abs-escaped.txt",
                                    "\\abs-escaped.txt",
                                    "C:\\escaped.txt",
                                    "c:escaped.txt",
                                    "..",
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
    EXPECT_EQ(extract({{"link", QFile::encodeName(outside), true},
                       {"link/escaped.txt", "evil"},
                       {"dir/", {}},
                       {"dir/link2", "../../outside", true},
                       {"dir/link2/escaped.txt", "evil"}}),
              UNZ_ERRNO)
        << "the entries behind the written links cannot be created";
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
    EXPECT_EQ(extract({{"pre/escaped.txt", "evil"},
                       {"pre/sub/", {}},
                       {"pre/sub/escaped.txt", "evil"},
                       {"file-link", "evil"},
                       {"after.txt", "ok"}}),
              0);
    EXPECT_TRUE(outsideContents().isEmpty());
    EXPECT_EQ(readFile(at(QStringLiteral("after.txt"))), QByteArray("ok"));
    EXPECT_EQ(log.messages().filter(QStringLiteral("Refusing zip entry")).size(), 4);
}

TEST_F(Unzip, Zip64EntriesExtract)
{
    const QByteArray big = QByteArray("zip64 ").repeated(5000);
    ASSERT_TRUE(writeFile(archive, zip64Archive({{"stored.txt", "plain", false, false},
                                                 {"sub/deflated.txt", big, false, true},
                                                 {"empty", {}, false, true}})));
    EXPECT_EQ(UnzipManager(archive).extractAll(), 0);
    EXPECT_EQ(readFile(at(QStringLiteral("stored.txt"))), QByteArray("plain"));
    EXPECT_EQ(readFile(at(QStringLiteral("sub/deflated.txt"))), big);
    EXPECT_TRUE(QFileInfo(at(QStringLiteral("empty"))).isFile());
}

TEST_F(Unzip, DamagedZip64EntriesAnswerAnErrorAndLeaveNoFile)
{
    const QByteArray data = QByteArray("zip64 data ").repeated(300);
    struct Case {
        const char* what;
        bool deflated;
        std::function<void(QByteArray&)> damage;
    };
    const QList<Case> cases{
        {"stored data changed", false, [](QByteArray& bytes) { bytes[bytes.indexOf("zip64 data") + 2] = 'X'; }},
        {"deflated data changed", true, [](QByteArray& bytes) { bytes[60] = static_cast<char>(bytes[60] ^ 0x55); }},
        {"declared size larger than the archive", false,
         [](QByteArray& bytes) { bytes[bytes.lastIndexOf(QByteArray("\x01\x00\x10\x00", 4)) + 16] = 1; }},
    };
    for (const Case& c : cases) {
        QByteArray bytes = zip64Archive({{"entry.txt", data, false, c.deflated}});
        c.damage(bytes);
        ASSERT_TRUE(writeFile(archive, bytes));
        EXPECT_NE(UnzipManager(archive).extractAll(), 0) << c.what;
        EXPECT_FALSE(QFileInfo::exists(at(QStringLiteral("entry.txt")))) << c.what;
    }
}

TEST_F(Unzip, FullDiskAnswersTheWriteErrorAndRemovesThePartialFile)
{
    ASSERT_TRUE(writeZip(archive, {{"small.txt", "fits"}, {"large.bin", QByteArray(300000, 'L')}, {"later.txt", "never"}}));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The file-size limit makes every write past 64 KiB fail as on a full disk.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{65536, 65536};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(-UnzipManager(archive).extractAll());
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(-WEXITSTATUS(status), -1) << "the failed write is the answer";
    EXPECT_EQ(extracted(), QStringList{QStringLiteral("small.txt")});
}

TEST_F(Unzip, EntryWhoseFileCannotBeCreatedIsSkippedAndReported)
{
    ASSERT_TRUE(writeFile(at(QStringLiteral("blocker")), "a file where a folder should be"));
    EXPECT_EQ(extract({{"blocker/inside.txt", "x", false, false}, {"after.txt", "written"}}), UNZ_ERRNO);
    EXPECT_EQ(readFile(at(QStringLiteral("after.txt"))), QByteArray("written")) << "the walk goes on";
}

TEST_F(Unzip, DestinationWithBackslashIsTakenAsGiven)
{
    const QString folder = scratch.path(QStringLiteral("back\\slash"));
    QDir().mkpath(folder);
    const QString inBackslash = folder + QStringLiteral("/archive.zip");
    ASSERT_TRUE(writeZip(inBackslash, {{"a/b/file.txt", "deep", false, false}, {"c\\d.txt", "name part"}}));
    EXPECT_EQ(UnzipManager(inBackslash).extractAll(), 0);
    EXPECT_EQ(readFile(folder + QStringLiteral("/a/b/file.txt")), QByteArray("deep"));
    EXPECT_EQ(readFile(folder + QStringLiteral("/c\\d.txt")), QByteArray("name part"));
    EXPECT_EQ(scratchTop(), (QStringList{QStringLiteral("back\\slash"), QStringLiteral("dest"), QStringLiteral("home"),
                                         QStringLiteral("outside"), QStringLiteral("root")}))
        << "nothing is created beside the destination";
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
    ASSERT_EQ(::symlink("/nonexistent-qb-target/x", QFile::encodeName(scratch.path(QStringLiteral("dangling"))).constData()),
              0);
    EXPECT_EQ(UnzipManager::makedir(QFile::encodeName(scratch.path(QStringLiteral("dangling/y"))).constData()), 0);
}

// Entries of every size up to a few times the reader's windows, stored and
// deflated, with a central directory larger than one window: each file holds
// exactly its entry's bytes.
TEST_F(Unzip, EveryEntryIsWholeWhateverItsSizeAndPlace)
{
    QList<ZipEntry> entries;
    for (int i = 0; i < 400; ++i) {
        const int size = (i * 7919) % 200000;
        QByteArray data(size, Qt::Uninitialized);
        for (int b = 0; b < size; ++b)
            data[b] = char((b * 31 + i) ^ (b >> 9));
        entries.append(
            {"folder/entry-with-a-long-name-to-fill-the-directory-" + QByteArray::number(i), data, false, i % 3 != 0});
    }
    ASSERT_TRUE(writeZip(archive, entries));
    ASSERT_EQ(UnzipManager(archive).extractAll(), 0);
    for (const ZipEntry& entry : entries)
        EXPECT_EQ(readFile(at(QString::fromUtf8(entry.name))), entry.data) << entry.name.constData();
}
