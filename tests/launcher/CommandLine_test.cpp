// Which arguments are ours.

#include "CommandLine.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

using CommandLine::Command;

namespace {

struct ParseCase {
    const char* what;
    QStringList arguments;
    Command command;
    bool json = false;
    QString archivePath = {};
};

TEST(CommandLineParse, OursAreOnlyDoubleDashOptionsThatAreNotQts)
{
    const ParseCase cases[] = {
        {"no argument", {}, Command::None},
        {"Qt option with its value", {"-platform", "offscreen"}, Command::None},
        {"Qt option with two dashes", {"--platform", "offscreen"}, Command::None},
        {"Qt option with an equals sign", {"-style=fusion"}, Command::None},
        {"Qt option without value", {"--reverse"}, Command::None},
        {"Qt session restore", {"-session", "1234_5678"}, Command::None},
        {"a file a desktop passes", {"/home/ann/Documents/report.pdf"}, Command::None},
        {"single-dash word that is not Qt's", {"-x"}, Command::None},
        {"end of options", {"--", "--check"}, Command::None},
        {"a Qt value that looks like ours", {"-style", "--check"}, Command::None},
        {"check", {"--check"}, Command::Check},
        {"check as JSON, either order", {"--json", "--check"}, Command::Check, true},
        {"check beside Qt options", {"-platform", "offscreen", "--check"}, Command::Check},
        {"repair", {"--repair"}, Command::Repair},
        {"archive, path apart", {"--support-archive", "/tmp/a.zip"}, Command::SupportArchive, false, "/tmp/a.zip"},
        {"archive, path joined", {"--support-archive=/tmp/b.zip"}, Command::SupportArchive, false, "/tmp/b.zip"},
        {"archive path beginning with a dash", {"--support-archive", "-a.zip"}, Command::SupportArchive, false, "-a.zip"},
        {"help wins", {"--check", "--help"}, Command::Help},
        {"version", {"--version"}, Command::Version},
        {"short help", {"-h"}, Command::Help},
        {"short help, the other spelling", {"-?"}, Command::Help},
        {"verbose with a command", {"--verbose", "--check"}, Command::Check},
        {"verbose alone", {"--verbose"}, Command::Usage},
        {"unknown option", {"--frobnicate"}, Command::Usage},
        {"unknown beside a known one", {"--check", "--frobnicate"}, Command::Usage},
        {"json alone", {"--json"}, Command::Usage},
        {"repair as JSON", {"--repair", "--json"}, Command::Repair, true},
        {"json with the archive", {"--json", "--support-archive", "/tmp/c.zip"}, Command::Usage},
        {"two commands", {"--check", "--repair"}, Command::Usage},
        {"a value where none goes", {"--check=yes"}, Command::Usage},
        {"archive without path", {"--support-archive"}, Command::Usage},
        {"archive with an empty path", {"--support-archive="}, Command::Usage},
        {"a file beside a command", {"--check", "report.pdf"}, Command::Usage},
    };
    for (const ParseCase& c : cases) {
        const CommandLine::Request request = CommandLine::parse(c.arguments);
        EXPECT_EQ(request.command, c.command) << c.what;
        EXPECT_EQ(request.json, c.json) << c.what;
        EXPECT_EQ(request.archivePath, c.archivePath) << c.what;
        EXPECT_EQ(request.problem.isEmpty(), c.command != Command::Usage) << c.what;
    }
}

TEST(CommandLineParse, AnArchivePathThatCannotBeDecodedExactlyIsRefused)
{
    // Latin-1 bytes in a UTF-8 locale: decoding them would name another file.
    char program[] = "Quorbel";
    char option[] = "--support-archive";
    char path[] = "/tmp/caf\xe9.zip";
    char* argv[] = {program, option, path, nullptr};
    EXPECT_EQ(CommandLine::parse(3, argv).command, Command::Usage);
    char joined[] = "--support-archive=/tmp/caf\xe9.zip";
    char* argvJoined[] = {program, joined, nullptr};
    EXPECT_EQ(CommandLine::parse(2, argvJoined).command, Command::Usage);
}

} // namespace
