#pragma once
// A bundle delivered as a zip archive: one folder at the archive's top level,
// holding only folders and regular files. Every entry is checked before
// anything is written.

#include <cstdint>
#include <string>
#include <vector>

namespace updateqb {

struct PlannedEntry {
    std::string path; // below the bundle folder; "" for the bundle folder itself
    bool folder = false;
    unsigned mode = 0;
    uint64_t size = 0;
};

// Reads the archive through `archive` and answers what it would write;
// refuses links, device nodes, pipes, sockets, set-user-ID and set-group-ID
// entries, names that escape or hold control characters or backslashes, and
// archives that are not one folder.
std::vector<PlannedEntry> planBundle(int archive);

// Writes the planned entries into the empty folder `destination` (root-owned
// files and folders; set-user-ID, set-group-ID and group or other write bits
// never set). The archive is read again through `archive`; an entry whose
// data does not match its checksum or its planned size is refused.
void extractBundle(int archive, const std::vector<PlannedEntry>& plan, int destination);

} // namespace updateqb
