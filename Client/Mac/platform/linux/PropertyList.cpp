#include "PropertyList.h"

#include "IoRing.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTimeZone>

#include <plist/plist.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

// Property-list dates count seconds from 2001-01-01 00:00:00 UTC.
constexpr qint64 kPlistEpochOffset = 978307200;
// Values a binary property list may expand to once its shared references
// are copied, as the library does.
constexpr uint64_t kMaxExpandedValues = uint64_t{1} << 21;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

QString depthError()
{
    return QStringLiteral("arrays and dictionaries nested deeper than %1 levels").arg(kMaxPropertyListDepth);
}

QString nulKeyError()
{
    return QStringLiteral("a dictionary key holds a NUL character");
}

// The library's own parsers and its free are recursive, so the nesting of
// XML is measured first in one pass over the tags: arrays and dictionaries
// against the bound, and every element against it with room for the plist
// element and a leaf below the deepest container.
QString checkXmlStructure(const QByteArray& data)
{
    const char* p = data.constData();
    const qsizetype n = data.size();
    const auto startsWith = [&](qsizetype at, const char* text) {
        const auto length = static_cast<qsizetype>(std::strlen(text));
        return at + length <= n && std::memcmp(p + at, text, size_t(length)) == 0;
    };
    const std::string_view whole(p, size_t(n));
    const auto find = [&](qsizetype from, std::string_view text) -> qsizetype {
        const size_t at = whole.find(text, size_t(from));
        return at == std::string_view::npos ? -1 : qsizetype(at);
    };
    // Names point into `data`: the walk allocates nothing per tag.
    std::vector<std::string_view> open;
    open.reserve(16);
    int containers = 0;
    const auto isContainer = [](std::string_view name) { return name == "array" || name == "dict"; };
    for (qsizetype i = 0; i < n; ++i) {
        if (p[i] == '\0') // XML has no NUL character; the library would cut the text there
            return QStringLiteral("a NUL character in XML");
        if (p[i] != '<')
            continue;
        if (startsWith(i, "<!--") || startsWith(i, "<?")) {
            const bool comment = p[i + 1] == '!';
            const qsizetype end = find(i + 2, comment ? "-->" : "?>");
            if (end < 0)
                return {}; // unterminated: the library refuses it
            i = end + (comment ? 2 : 1);
            continue;
        }
        if (startsWith(i, "<![CDATA[")) {
            const qsizetype end = find(i + 9, "]]>");
            if (end < 0)
                return {};
            i = end + 2;
            continue;
        }
        // A tag, or a declaration with an optional internal subset; quoted
        // text may hold '>' and '/'.
        const bool declaration = startsWith(i, "<!");
        qsizetype j = i + 1;
        int brackets = 0;
        char quote = 0;
        for (; j < n; ++j) {
            const char c = p[j];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (declaration && c == '[') {
                ++brackets;
            } else if (declaration && c == ']') {
                --brackets;
            } else if (c == '>' && brackets <= 0) {
                break;
            }
        }
        if (j >= n)
            return {};
        if (!declaration) {
            const bool closing = p[i + 1] == '/';
            const bool selfClosing = p[j - 1] == '/';
            qsizetype nameEnd = i + 1 + (closing ? 1 : 0);
            while (nameEnd < j && p[nameEnd] != '/' && !std::isspace(static_cast<unsigned char>(p[nameEnd])))
                ++nameEnd;
            const qsizetype nameStart = i + 1 + (closing ? 1 : 0);
            const std::string_view name(p + nameStart, size_t(nameEnd - nameStart));
            if (closing) {
                if (open.empty() || open.back() != name)
                    return QStringLiteral("mismatched closing tag </%1>")
                        .arg(QString::fromUtf8(name.data(), qsizetype(name.size())));
                open.pop_back();
                containers -= isContainer(name) ? 1 : 0;
            } else {
                if (isContainer(name) && containers + 1 > kMaxPropertyListDepth)
                    return depthError();
                if (!selfClosing) {
                    if (open.size() >= size_t(kMaxPropertyListDepth) + 2)
                        return depthError();
                    open.push_back(name);
                    containers += isContainer(name) ? 1 : 0;
                }
            }
        }
        i = j;
    }
    return {};
}

uint64_t bigEndian(const uchar* bytes, int count)
{
    uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

// The same bound for a binary property list, walking its object table
// without recursion. Shared references are measured once; a reference
// cycle, a count past the data, or an expansion past kMaxExpandedValues is
// refused, as is a NUL in a key or in a one-byte string (the library would
// stop the text there or abort).
class BinaryStructure {
public:
    explicit BinaryStructure(const QByteArray& data)
        : m_data(reinterpret_cast<const uchar*>(data.constData())), m_size(static_cast<uint64_t>(data.size()))
    {
    }

    QString check()
    {
        constexpr uint64_t kTrailer = 32;
        if (m_size < 8 + kTrailer)
            return QStringLiteral("a binary property list too short for its trailer");
        const uchar* trailer = m_data + m_size - kTrailer;
        m_offsetSize = trailer[6];
        m_refSize = trailer[7];
        m_count = bigEndian(trailer + 8, 8);
        const uint64_t top = bigEndian(trailer + 16, 8);
        m_table = bigEndian(trailer + 24, 8);
        if (m_offsetSize < 1 || m_offsetSize > 8 || m_refSize < 1 || m_refSize > 8 || m_count == 0 || m_count > m_size
            || top >= m_count || m_table < 8 || m_table > m_size - kTrailer
            || m_count * m_offsetSize > m_size - kTrailer - m_table)
            return malformed();
        m_state.assign(m_count, kUnseen);
        m_height.assign(m_count, 0);
        m_values.assign(m_count, 0);
        m_keyChecked.assign(m_count, 0);
        return walk(top);
    }

private:
    enum : uint8_t { kUnseen, kOpen, kDone };
    struct Frame {
        uint64_t object;
        uint64_t refs; // where its references start
        uint64_t refCount;
        uint64_t keyCount; // the first keyCount references are keys
        uint64_t next = 0;
        int height = 0;
        uint64_t values = 1;
    };

    static QString malformed() { return QStringLiteral("a damaged binary property list"); }

    bool offsetOf(uint64_t object, uint64_t* offset) const
    {
        *offset = bigEndian(m_data + m_table + object * m_offsetSize, m_offsetSize);
        return *offset >= 8 && *offset < m_table;
    }

    // The length of the object at `offset` (the low nibble, or an integer
    // after the marker) and where its contents start.
    bool lengthAt(uint64_t offset, uint64_t* length, uint64_t* contents) const
    {
        *length = m_data[offset] & 0x0f;
        *contents = offset + 1;
        if (*length != 0x0f)
            return true;
        if (*contents >= m_table || (m_data[*contents] >> 4) != 0x1)
            return false;
        const int bytes = 1 << (m_data[*contents] & 0x0f);
        if (bytes > 8 || *contents + 1 + uint64_t(bytes) > m_table)
            return false;
        *length = bigEndian(m_data + *contents + 1, bytes);
        *contents += 1 + uint64_t(bytes);
        return *length <= m_size;
    }

    // Checks a leaf; for a container fills `frame` instead.
    QString inspect(uint64_t object, bool isKey, Frame* frame, bool* container) const
    {
        uint64_t offset = 0;
        if (!offsetOf(object, &offset))
            return malformed();
        const uchar type = m_data[offset] >> 4;
        *container = type == 0xa || type == 0xb || type == 0xc || type == 0xd;
        if (!*container && (type == 0x5 || type == 0x6)) {
            uint64_t length = 0, contents = 0;
            if (!lengthAt(offset, &length, &contents))
                return malformed();
            const uint64_t bytes = type == 0x6 ? length * 2 : length;
            if (bytes > m_table - contents)
                return malformed();
            if (type == 0x5 && std::memchr(m_data + contents, 0, bytes))
                return isKey ? nulKeyError() : QStringLiteral("a one-byte string holds a NUL character");
            if (type == 0x6 && isKey) {
                for (uint64_t i = 0; i < length; ++i) {
                    if (m_data[contents + 2 * i] == 0 && m_data[contents + 2 * i + 1] == 0)
                        return nulKeyError();
                }
            }
        }
        if (!*container)
            return {};
        uint64_t length = 0, contents = 0;
        if (!lengthAt(offset, &length, &contents))
            return malformed();
        const uint64_t refCount = type == 0xd ? length * 2 : length;
        if (refCount > (m_table - contents) / m_refSize)
            return malformed();
        *frame = Frame{object, contents, refCount, type == 0xd ? length : 0};
        return {};
    }

    QString walk(uint64_t top)
    {
        std::vector<Frame> stack;
        Frame frame{};
        bool container = false;
        QString error = inspect(top, false, &frame, &container);
        if (!error.isEmpty() || !container)
            return error;
        m_state[top] = kOpen;
        stack.push_back(frame);
        while (!stack.empty()) {
            Frame& current = stack.back();
            if (current.next == current.refCount) {
                const Frame done = current;
                stack.pop_back();
                const int height = done.height + 1;
                if (height > kMaxPropertyListDepth)
                    return depthError();
                m_state[done.object] = kDone;
                m_height[done.object] = height;
                m_values[done.object] = done.values;
                if (!stack.empty())
                    fold(stack.back(), height, done.values);
                continue;
            }
            const bool isKey = current.next < current.keyCount;
            const uint64_t child = bigEndian(m_data + current.refs + current.next * m_refSize, m_refSize);
            ++current.next;
            if (child >= m_count)
                return malformed();
            if (m_state[child] == kOpen)
                return QStringLiteral("a binary property list that contains itself");
            if (m_state[child] == kDone && (!isKey || m_keyChecked[child])) {
                fold(current, m_height[child], m_values[child]);
                continue;
            }
            error = inspect(child, isKey, &frame, &container);
            if (!error.isEmpty())
                return error;
            if (!container) {
                m_state[child] = kDone;
                m_values[child] = 1;
                m_keyChecked[child] = isKey;
                fold(current, 0, 1);
                continue;
            }
            if (isKey)
                return malformed();
            m_state[child] = kOpen;
            stack.push_back(frame);
        }
        if (m_values[top] > kMaxExpandedValues)
            return QStringLiteral("a binary property list that expands to more than %1 values").arg(kMaxExpandedValues);
        return {};
    }

    static void fold(Frame& parent, int height, uint64_t values)
    {
        parent.height = std::max(parent.height, height);
        parent.values = std::min(parent.values + values, kMaxExpandedValues + 1);
    }

    const uchar* m_data;
    uint64_t m_size;
    int m_offsetSize = 0;
    int m_refSize = 0;
    uint64_t m_count = 0;
    uint64_t m_table = 0;
    std::vector<uint8_t> m_state;
    std::vector<int> m_height;
    std::vector<uint64_t> m_values;
    std::vector<uint8_t> m_keyChecked;
};

// The text of a single value as the library writes it in XML, between its
// <tag> and </tag>; the library keeps there what its other calls cut to
// 32 bits or to a signed value.
QByteArray xmlText(plist_t node, const char* tag)
{
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    const QByteArray text(xml, qsizetype(length));
    plist_to_xml_free(xml);
    const QByteArray open = QByteArray("<") + tag + '>';
    const qsizetype start = text.indexOf(open);
    const qsizetype end = text.indexOf(QByteArray("</") + tag + '>');
    if (start < 0 || end < start)
        return {};
    return text.mid(start + open.size(), end - start - open.size()).trimmed();
}

plist_t fromXmlValue(const QByteArray& element)
{
    const QByteArray xml = "<plist version=\"1.0\">" + element + "</plist>";
    plist_t node = nullptr;
    plist_from_xml(xml.constData(), uint32_t(xml.size()), &node);
    return node;
}

// Converts a parsed tree whose depth was bounded before the library parsed it.
class Converter {
public:
    QString error;

    QVariant convert(plist_t node)
    {
        if (!error.isEmpty())
            return {};
        switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return bool(value);
        }
        case PLIST_UINT:
            return integer(node);
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return value;
        }
        case PLIST_STRING: {
            uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return QString::fromUtf8(text, qsizetype(length));
        }
        case PLIST_DATA: {
            uint64_t length = 0;
            const char* bytes = plist_get_data_ptr(node, &length);
            return QByteArray(bytes, qsizetype(length));
        }
        case PLIST_DATE:
            return date(node);
        case PLIST_ARRAY: {
            QVariantList list;
            const uint32_t count = plist_array_get_size(node);
            for (uint32_t i = 0; i < count && error.isEmpty(); ++i)
                list.append(convert(plist_array_get_item(node, i)));
            return list;
        }
        case PLIST_DICT:
            return dictionary(node);
        case PLIST_UID:
            return fail(QStringLiteral("a UID value, which has no meaning outside an archive"));
        default:
            return fail(QStringLiteral("a value of an unknown type"));
        }
    }

private:
    QVariant fail(const QString& text)
    {
        if (error.isEmpty())
            error = text;
        return {};
    }

    QVariant integer(plist_t node)
    {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        if (value <= uint64_t(std::numeric_limits<qint64>::max()))
            return qint64(value);
        // Either a negative integer or one of 2^63 and above: only the
        // library's text tells them apart.
        const QByteArray text = xmlText(node, "integer");
        bool ok = false;
        if (text.startsWith('-')) {
            const qint64 negative = text.toLongLong(&ok);
            if (ok)
                return negative;
        } else {
            const quint64 large = text.toULongLong(&ok);
            if (ok)
                return large;
        }
        return fail(QStringLiteral("an integer that cannot be read"));
    }

    QVariant date(plist_t node)
    {
        // The library's date call is 32-bit; its text covers far dates too.
        const QByteArray text = xmlText(node, "date");
        const QDateTime whole = QDateTime::fromString(QString::fromLatin1(text), Qt::ISODate);
        if (!whole.isValid())
            return fail(QStringLiteral("a date out of the supported range"));
        const qint64 seconds = whole.toSecsSinceEpoch() - kPlistEpochOffset;
        if (seconds < std::numeric_limits<int32_t>::min() || seconds > std::numeric_limits<int32_t>::max())
            return whole.toUTC();
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        const qint64 ms = qint64(sec) * 1000 + (sec < 0 ? -usec / 1000 : usec / 1000);
        return QDateTime::fromMSecsSinceEpoch(kPlistEpochOffset * 1000 + ms, Qt::UTC);
    }

    QVariant dictionary(plist_t node)
    {
        QVariantMap map;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        while (error.isEmpty()) {
            // Keys holding a NUL were refused before parsing.
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, iter, &key, &value);
            if (!value) {
                std::free(key);
                break;
            }
            const QString name = QString::fromUtf8(key ? key : "");
            std::free(key);
            map.insert(name, convert(value));
        }
        std::free(iter);
        return map;
    }
};

plist_t fromVariant(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return plist_new_bool(value.toBool());
    case QMetaType::ULongLong:
        if (value.toULongLong() > quint64(std::numeric_limits<qint64>::max())) {
            // The library writes an integer node of its own making as signed.
            return fromXmlValue("<integer>" + QByteArray::number(value.toULongLong()) + "</integer>");
        }
        return plist_new_uint(value.toULongLong());
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
        return plist_new_uint(uint64_t(value.toLongLong()));
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(value.toDouble());
    case QMetaType::QByteArray: {
        const QByteArray data = value.toByteArray();
        return plist_new_data(data.constData(), uint64_t(data.size()));
    }
    case QMetaType::QDateTime: {
        const QDateTime when = value.toDateTime();
        const qint64 ms = when.toMSecsSinceEpoch() - kPlistEpochOffset * 1000;
        if (ms / 1000 < std::numeric_limits<int32_t>::min() || ms / 1000 > std::numeric_limits<int32_t>::max())
            return fromXmlValue("<date>" + when.toUTC().toString(Qt::ISODate).toLatin1() + "</date>");
        return plist_new_date(int32_t(ms / 1000), int32_t((ms % 1000) * 1000));
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        plist_t array = plist_new_array();
        for (const QVariant& item : value.toList()) {
            if (plist_t child = fromVariant(item))
                plist_array_append_item(array, child);
        }
        return array;
    }
    case QMetaType::QVariantMap: {
        plist_t dict = plist_new_dict();
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (plist_t child = fromVariant(it.value()))
                plist_dict_set_item(dict, it.key().toUtf8().constData(), child);
        }
        return dict;
    }
    default:
        return plist_new_string(value.toString().toUtf8().constData());
    }
}

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

int openFlags(FinalLink link)
{
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    return link == FinalLink::NotFollowed ? flags | O_NOFOLLOW : flags;
}

QString openError(int code, FinalLink link)
{
    return code == ELOOP && link == FinalLink::NotFollowed ? QStringLiteral("the file is a symbolic link")
                                                           : systemError(code);
}

QString tooLargeError()
{
    return QStringLiteral("larger than %1 bytes").arg(kMaxPropertyListFileSize);
}

// Only a regular file of at most kMaxPropertyListFileSize bytes is read;
// `contents` is sized for one read past its end.
bool checkOpened(int fd, struct stat* info, QByteArray* contents, QString* error)
{
    if (::fstat(fd, info) != 0) {
        setError(error, systemError(errno));
        return false;
    }
    if (!S_ISREG(info->st_mode)) {
        setError(error, QStringLiteral("not a regular file"));
        return false;
    }
    if (info->st_size > kMaxPropertyListFileSize) {
        setError(error, tooLargeError());
        return false;
    }
    contents->resize(qsizetype(info->st_size) + 1);
    return true;
}

// Whether a read that brought the file to `total` bytes reached its end: a
// regular file that gave what its size promised is at its end, which saves a
// read per file (the installation check reads one per item).
bool atEnd(const struct stat& info, const QByteArray& contents, qsizetype total)
{
    return total == info.st_size && total < contents.size();
}

// Reads on from the `total` bytes already in `contents` to the end of the
// file, refusing a file that grew past the bound meanwhile.
bool readRest(int fd, const struct stat& info, QByteArray* contents, qsizetype total, QString* error)
{
    for (;;) {
        if (total == contents->size()) {
            if (total > kMaxPropertyListFileSize) {
                setError(error, tooLargeError()); // it grew while being read
                return false;
            }
            contents->resize(std::min<qsizetype>(total * 2 + 1, kMaxPropertyListFileSize + 1));
        }
        const ssize_t got = ::pread(fd, contents->data() + total, size_t(contents->size() - total), off_t(total));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            setError(error, systemError(errno));
            return false;
        }
        if (got == 0)
            break;
        total += got;
        if (atEnd(info, *contents, total))
            break;
    }
    contents->truncate(total);
    return true;
}

// The whole of a regular file of at most kMaxPropertyListFileSize bytes,
// opened without blocking (a FIFO or a device never stalls the reader).
// The file system ends a name at its first NUL: such a path would name
// another file than the one asked for.
QString nulInPathError()
{
    return QStringLiteral("the path holds a NUL character");
}

bool readBoundedFile(const QString& path, FinalLink link, QByteArray* contents, QString* error)
{
    if (path.contains(QChar(0))) {
        setError(error, nulInPathError());
        return false;
    }
    const int fd = ::open(QFile::encodeName(path).constData(), openFlags(link));
    if (fd < 0) {
        setError(error, openError(errno, link));
        return false;
    }
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    struct stat info {};
    return checkOpened(fd, &info, contents, error) && readRest(fd, info, contents, 0, error);
}

QVariantMap rootDictionary(const QVariant& root, QString* error)
{
    if (!root.isValid())
        return {};
    if (root.typeId() != QMetaType::QVariantMap) {
        setError(error, QStringLiteral("the root is not a dictionary"));
        return {};
    }
    return root.toMap();
}

// One file of a batch read through the ring.
struct BatchFile {
    QByteArray name;
    int fd = -1;
    bool opened = false;   // the open's result is known
    bool readDone = false; // `contents` holds the whole file
    struct stat info {};
    QByteArray contents;
    QString error;
};

// Reads a batch of files as readBoundedFile reads each: the same checks in
// the same order (open without blocking, then type and size, then contents),
// with the opens, first reads and closes of all of them each handed to the
// kernel at once. Anything the ring could not do is done file by file.
void readBatch(linux_io::IoRing& ring, std::vector<BatchFile>& files, FinalLink link)
{
    const int flags = openFlags(link);
    for (size_t i = 0; i < files.size(); ++i) {
        if (files[i].name.contains('\0')) {
            files[i].opened = true;
            files[i].error = nulInPathError();
        } else {
            ring.queueOpen(files[i].name.constData(), flags, i);
        }
    }
    ring.run([&](uint64_t i, int32_t result) {
        BatchFile& file = files[i];
        if (result == -ECANCELED)
            return;
        file.opened = true;
        if (result >= 0)
            file.fd = result;
        else
            file.error = openError(-result, link);
    });
    for (size_t i = 0; i < files.size(); ++i) {
        BatchFile& file = files[i];
        if (file.fd < 0)
            continue;
        if (checkOpened(file.fd, &file.info, &file.contents, &file.error))
            ring.queueRead(file.fd, file.contents.data(), unsigned(file.contents.size()), 0, i);
        else
            file.contents.clear();
    }
    ring.run([&](uint64_t i, int32_t result) {
        BatchFile& file = files[i];
        if (result < 0)
            return; // read again below, where an error is reported as readBoundedFile reports it
        if (result == 0 || atEnd(file.info, file.contents, result)) {
            file.contents.truncate(result);
            file.readDone = true;
        }
    });
    for (BatchFile& file : files) {
        if (file.fd < 0 || !file.error.isEmpty() || file.readDone)
            continue;
        if (!readRest(file.fd, file.info, &file.contents, 0, &file.error))
            file.contents.clear();
    }
    for (size_t i = 0; i < files.size(); ++i) {
        if (files[i].fd >= 0)
            ring.queueClose(files[i].fd, i);
    }
    ring.run([&](uint64_t i, int32_t result) {
        if (result == -ECANCELED)
            ::close(files[i].fd); // never reached the kernel
    });
    for (BatchFile& file : files) {
        if (file.opened)
            continue;
        file.contents.clear();
        if (!readBoundedFile(QFile::decodeName(file.name), link, &file.contents, &file.error))
            file.contents.clear();
    }
}

bool writeAll(int fd, const QByteArray& bytes)
{
    const char* at = bytes.constData();
    size_t left = size_t(bytes.size());
    while (left > 0) {
        const ssize_t written = ::write(fd, at, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        at += written;
        left -= size_t(written);
    }
    return true;
}

} // namespace

QVariant propertyListFromData(const QByteArray& data, QString* error)
{
    if (data.isEmpty()) {
        setError(error, QStringLiteral("empty property list"));
        return {};
    }
    if (data.size() > std::numeric_limits<int32_t>::max()) {
        setError(error, QStringLiteral("property list too large"));
        return {};
    }
    const bool binary = plist_is_binary(data.constData(), uint32_t(data.size()));
    const QString refused = binary ? BinaryStructure(data).check() : checkXmlStructure(data);
    if (!refused.isEmpty()) {
        setError(error, QStringLiteral("refused: ") + refused);
        return {};
    }
    plist_t root = nullptr;
    plist_from_memory(data.constData(), uint32_t(data.size()), &root);
    PlistPtr owner(root);
    if (!root) {
        setError(error, QStringLiteral("not a property list"));
        return {};
    }
    Converter converter;
    QVariant value = converter.convert(root);
    if (!converter.error.isEmpty()) {
        setError(error, QStringLiteral("it holds ") + converter.error);
        return {};
    }
    return value;
}

QVariant readPropertyList(const QString& path, QString* error, FinalLink link)
{
    QByteArray contents;
    if (!readBoundedFile(path, link, &contents, error))
        return {};
    return propertyListFromData(contents, error);
}

QVariantMap readPropertyListDictionary(const QString& path, QString* error, FinalLink link)
{
    return rootDictionary(readPropertyList(path, error, link), error);
}

QList<QVariantMap> readPropertyListDictionaries(const QStringList& paths, QStringList* errors, FinalLink link)
{
    QList<QVariantMap> dictionaries;
    dictionaries.reserve(paths.size());
    if (errors)
        errors->clear();
    const auto add = [&](const QVariant& root, QString error) {
        dictionaries.append(rootDictionary(root, &error));
        if (errors)
            errors->append(error);
    };
    // Setting a ring up costs more than reading dozens of files one by one,
    // so each thread keeps the one it made (its descriptor is close-on-exec).
    constexpr qsizetype kBatchFrom = 3;
    constexpr unsigned kBatchSize = 256;
    thread_local std::optional<linux_io::IoRing> ring;
    if (paths.size() >= kBatchFrom && !ring)
        ring.emplace(kBatchSize);
    if (paths.size() < kBatchFrom || !ring->valid()) {
        for (const QString& path : paths) {
            QString error;
            const QVariant root = readPropertyList(path, &error, link);
            add(root, error);
        }
        return dictionaries;
    }
    std::vector<BatchFile> files;
    for (qsizetype first = 0; first < paths.size(); first += qsizetype(ring->capacity())) {
        const qsizetype end = std::min(paths.size(), first + qsizetype(ring->capacity()));
        files.clear();
        files.resize(size_t(end - first));
        for (qsizetype i = first; i < end; ++i)
            files[size_t(i - first)].name = QFile::encodeName(paths.at(i));
        readBatch(*ring, files, link);
        for (BatchFile& file : files) {
            QString error = file.error;
            const QVariant root = error.isEmpty() ? propertyListFromData(file.contents, &error) : QVariant();
            add(root, error);
        }
    }
    return dictionaries;
}

QByteArray propertyListToXml(const QVariant& value)
{
    PlistPtr root(fromVariant(value));
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    QByteArray result(xml, qsizetype(length));
    plist_to_xml_free(xml);
    return result;
}

bool writePropertyList(const QString& path, const QVariant& value, QString* error)
{
    const QFileInfo info(path);
    const QByteArray target = QFile::encodeName(info.isSymLink() ? info.symLinkTarget() : path);
    static std::atomic<unsigned> serial{0};
    const QByteArray temporary = target + ".new-" + QByteArray::number(::getpid()) + '-'
                                 + QByteArray::number(serial.fetch_add(1));
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        setError(error, systemError(errno));
        return false;
    }
    struct stat old {};
    if (::stat(target.constData(), &old) == 0)
        ::fchmod(fd, old.st_mode & 07777);
    // Only a file whose every byte reached the disk may replace the old one.
    bool ok = writeAll(fd, propertyListToXml(value)) && ::fsync(fd) == 0;
    int code = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        code = errno;
    }
    if (ok && ::rename(temporary.constData(), target.constData()) != 0) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        ::unlink(temporary.constData());
        setError(error, systemError(code));
        return false;
    }
    const QByteArray folder = QFile::encodeName(QFileInfo(QFile::decodeName(target)).absolutePath());
    const int folderFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd); // the rename itself reaches the disk
        ::close(folderFd);
    }
    return true;
}

} // namespace platform
