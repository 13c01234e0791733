// The root side's path rules, one table. Before they had one home, each rule
// was written in several places that differed; a row marked "was:" shows the
// case where a former copy accepted what is refused now (the strictest won).

#include "PathRules.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

struct Row {
    std::string text;
    bool path;   // isCleanAbsolutePath
    bool bundle; // isBundlePath
    bool name;   // isPlainName
    const char* was;
};

} // namespace

TEST(PathRules, OneTableForEveryPathTheRootSideIsGiven)
{
    const std::string longName(NAME_MAX + 1, 'n');
    const Row rows[] = {
        {"/Applications/Quorbel.app", true, true, false, nullptr},
        {"/Quorbel.app", true, true, false, nullptr},
        {"Quorbel.app", false, false, true, nullptr},
        {"/Applications", true, false, false, nullptr},
        {"/", false, false, false, nullptr},
        {"", false, false, false, nullptr},
        {"/Applications/Quorbel.app/", false, false, false, "the helper's folder walk took a trailing slash"},
        {"/Applications//Quorbel.app", false, false, false, nullptr},
        {"/Applications/./Quorbel.app", false, false, false, nullptr},
        {"/Applications/../Applications/Quorbel.app", false, false, false, nullptr},
        {"..", false, false, false, nullptr},
        {".Quorbel.app", false, false, false, nullptr},
        {"/Applications/.Quorbel.app", true, false, false, "the move's removal check took a hidden bundle"},
        {"/Applications/Quorbel.APP", true, false, false, "the move's removal check took \".APP\""},
        {"/Applications/.app", true, false, false, nullptr},
        {"/Applications/Quorbel.app\x7f", false, false, false, nullptr},
        {std::string("/Applications/Q\0.app", 20), false, false, false, nullptr},
        {"/Applications/Q\n.app", false, false, false, nullptr},
        {"/Applications/Q\t.app", false, false, false, nullptr},
        {"/Applications/Qu\xc3\xb6rbel.app", true, true, false, nullptr},
        {"Qu\xc3\xb6rbel.app", false, false, true, nullptr},
        {"a/b", false, false, false, nullptr},
        {"/" + longName + ".app", false, false, false, "only the update tool bounded a component"},
        {longName, false, false, false, "only the update tool bounded a name"},
        {"/" + std::string(PATH_MAX, 'p'), false, false, false, "only the update tool bounded a path"},
        {"/home/u/../u/Quorbel.app", false, false, false, "the helper's install took any source starting with \"/\""},
        {"relative/Quorbel.app", false, false, false, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(qbcore::shownPlain(row.text.substr(0, 80)) + (row.was ? std::string(" (was: ") + row.was + ")" : ""));
        EXPECT_EQ(qbcore::isCleanAbsolutePath(row.text), row.path);
        EXPECT_EQ(qbcore::isBundlePath(row.text), row.bundle);
        EXPECT_EQ(qbcore::isPlainName(row.text), row.name);
        EXPECT_EQ(qbcore::isBundleName(row.text), row.name && row.text.size() > 4 && row.text.ends_with(".app"));
    }
}

TEST(PathRules, ControlBytesAreShownAsQuestionMarks)
{
    EXPECT_EQ(qbcore::shownPlain(std::string("a\0b\x1f\x7f c\xc3\xb6", 9)), "a?b?? c\xc3\xb6");
    EXPECT_TRUE(qbcore::hasControlCharacter(std::string(1, '\0')));
    EXPECT_FALSE(qbcore::hasControlCharacter(" ~\x80\xff"));
}
