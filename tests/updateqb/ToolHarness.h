#pragma once
// Runs the real update tool set-user-ID root as an ordinary user. The test
// process, started as root, moves itself into a private root folder whose
// /Applications, /Library and /Volumes are fresh tmpfs folders and whose
// password database knows two ordinary test users; nothing of the machine
// is touched.

#include <sys/types.h>

#include <string>
#include <vector>

namespace harness {

inline constexpr uid_t kUser = 4242;
inline constexpr uid_t kOtherUser = 4243;
inline const std::string kUserHome = "/Volumes/home/qbuser";
inline const std::string kToolFolder = "/Library/Application Support/Quorbel";
// Where the tests install the tool under test, set-user-ID root.
inline const std::string kTool = "/Volumes/bin/updateqb";

// Whether this process runs inside the private root (then the tests run).
bool insidePrivateRoot();
// Called first in main: re-executes the test binary inside the private root
// when it is root and not yet there; prepares the users and the tool inside.
void enterPrivateRoot(int argc, char** argv);

struct Outcome {
    int status = -1; // exit status, or -1 when killed or not started
    std::string out, err;
};

// Runs argv with exactly `environment`; as `user` (through setpriv) unless 0.
Outcome run(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {}, uid_t user = kUser,
            int timeoutSeconds = 60);
// The tool as the ordinary user with an empty environment.
Outcome tool(const std::vector<std::string>& arguments);

// Every entry below the given folders, one line each: path, type and mode,
// owner, group, size, and the content's digest or the link's target.
std::string listing(const std::vector<std::string>& roots = {"/Applications", "/Library"});

// Empties /Applications and /Library.
void clearSystemFolders();

bool writeFile(const std::string& path, const std::string& bytes, mode_t mode = 0644);
std::string readFile(const std::string& path);
std::string sha256(const std::string& bytes);

// A signature file for the update tool, signed with the build's update key
// (or the PEM private key given).
std::string signature(const std::string& command, const std::string& target, const std::string& version,
                      const std::string& payload, const std::string& privateKeyPem = {});
std::string developmentPrivateKey();

struct ZipItem {
    std::string name;
    std::string data;
    unsigned mode = 0100644; // file type and permissions
};
std::string zipArchive(const std::vector<ZipItem>& items);

// A scratch folder below /tmp, readable by everyone, removed with the object.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::string path(const std::string& name) const { return m_path + "/" + name; }
    const std::string& root() const { return m_path; }

private:
    std::string m_path;
};

} // namespace harness
