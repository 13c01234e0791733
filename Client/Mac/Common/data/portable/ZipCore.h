#pragma once
// The zip primitives shared by the family's UnzipManager and the update tool,
// in plain C++ over minizip: which stored names stay inside a destination,
// what kind of file an entry is, copying an entry's data, and reading an
// archive through an open descriptor (so that what is read is exactly what
// was checked).

#include <unzip.h>

#include <cstddef>
#include <string_view>

namespace qbcore {

enum class ZipEntryKind { File, Folder, SymbolicLink, Special };

bool isZipSeparator(char c);
// Whether a stored name stays inside the destination: not absolute, no drive
// letter, no ".." component, whichever separator it uses.
bool isContainedName(std::string_view name);
// Unix kinds from the entry's attributes when it was made on Unix; otherwise a
// name ending in a separator is a folder and anything else a file.
ZipEntryKind entryKind(const unz_file_info64& info, std::string_view name);
// The entry's Unix permission bits (07777), or -1 when it carries none.
int entryPermissions(const unz_file_info64& info);

// Opens the archive through `fd` (not taken over; it must stay open while the
// archive is). Null when minizip cannot read it.
unzFile openZipDescriptor(int fd);

bool writeAll(int fd, const char* bytes, size_t count);
// Copies the opened current entry's data into `fd`: 0, minizip's negative
// read error, or -1 for a write that did not complete. `limit` bytes at most
// (a larger entry is a read error, UNZ_BADZIPFILE).
int copyEntryData(unzFile uf, int fd, char* buffer, unsigned bufferSize, unsigned long long limit = ~0ULL);

} // namespace qbcore
