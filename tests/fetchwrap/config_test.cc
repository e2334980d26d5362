// The key=value store read and changed: reading and writing rules as round trips,
// lookups and changes, the limits (long lines, many entries), and the mkdir
// command of createDirByName. Saves that fail or are killed are in
// config_save_test.cc.
#include "config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tempdir.h"

namespace {

using testsupport::CTempDir;
using testsupport::ReadFile;
using testsupport::WriteFile;

// The entries as "P key=value", "C #text" or "B" joined by '|'.
std::string Describe(const sBaseConfig &config) {
    std::string str;
    for (int i = 0; i < config.entryCount; ++i) {
        const char *pBlock = config.entries[i];
        const char *pszText = pBlock + 1;
        if (!str.empty()) str += '|';
        if (pBlock[0] == CONFIG_KIND_PAIR)
            str += std::string("P ") + pszText + "=" + (pszText + std::strlen(pszText) + 1);
        else if (pszText[0] == '#')
            str += std::string("C ") + pszText;
        else
            str += "B";
    }
    return str;
}

struct sRoundTrip {
    const char *pszName;
    std::string strIn;
    std::string strEntries;
    std::string strSaved;
};

// Reads c.strIn from a file and saves it again: the entries and the saved text; with
// bReadBack also the entries of the saved file.
void CheckRoundTrip(const sRoundTrip &c, bool bReadBack) {
    SCOPED_TRACE(c.pszName);
    CTempDir dir;
    std::string strFile = dir.File("t.conf");
    ASSERT_TRUE(WriteFile(strFile, c.strIn));
    std::unique_ptr<sBaseConfig> pFirst(ReadConfig(strFile.c_str()));
    EXPECT_EQ(Describe(*pFirst), c.strEntries);
    EXPECT_EQ(SaveConfig(pFirst.get()), 1);
    EXPECT_EQ(ReadFile(strFile), c.strSaved);
    if (!bReadBack) return;
    std::unique_ptr<sBaseConfig> pSecond(ReadConfig(strFile.c_str()));
    EXPECT_EQ(Describe(*pSecond), c.strEntries);
}

// A store file t.conf in a directory of its own.
class ConfigStore : public ::testing::Test {
protected:
    CTempDir m_dir;
    const std::string m_strFile = m_dir.File("t.conf");
};

TEST_F(ConfigStore, ReadingRulesRoundTrip) {
    const std::vector<sRoundTrip> vCases = {
        {"spaces around =", "port = 80\n", "P port=80", "port=80\n"},
        {"trailing spaces kept", "k=v  \n", "P k=v  ", "k=v  \n"},
        {"CRLF cut", "a=1\r\nb=2\r\n", "P a=1|P b=2", "a=1\nb=2\n"},
        {"lone CR kept in value", "a=1\rx\n", "P a=1\rx", "a=1\rx\n"},
        {"line starting with = vanishes", "=x\na=1\n", "P a=1", "a=1\n"},
        {"line without = vanishes", "junk\na=1\n", "P a=1", "a=1\n"},
        {"indented comment loses indent", "   # c = d\n", "C # c = d", "# c = d\n"},
        {"blank and spaces-only lines", "\n   \na=1\n", "B|B|P a=1", "\n\na=1\n"},
        {"= inside value", "url=http://h/?a=b=c\n", "P url=http://h/?a=b=c",
         "url=http://h/?a=b=c\n"},
        {"key cut at space", "my key = v\n", "P my=v", "my=v\n"},
        {"tab is not a blank", "\tk=v\n", "P \tk=v", "\tk=v\n"},
        {"hash in value kept", "k=v # not a comment\n", "P k=v # not a comment",
         "k=v # not a comment\n"},
        {"empty value", "k=\n", "P k=", "k=\n"},
        {"last line without newline", "#c\nk=v", "C #c|P k=v", "#c\nk=v\n"},
        {"order and comments kept", "#a\nx=1\n\n#b\ny=2\n", "C #a|P x=1|B|C #b|P y=2",
         "#a\nx=1\n\n#b\ny=2\n"},
    };
    for (const sRoundTrip &c : vCases) CheckRoundTrip(c, false);
}

// A value or comment that ends in a CR used to be saved with a bare "\n"; the
// "\r\n" that made read back as a CRLF ending and the CR was lost. Found by
// the kvstore fuzz target (a line "...\r" cut by NUL bytes).
TEST_F(ConfigStore, TrailingCarriageReturnSurvivesSave) {
    using namespace std::string_literals;
    const std::vector<sRoundTrip> vCases = {
        {"CR then NUL bytes", "k=1\r\0\0\nport\n"s, "P k=1\r", "k=1\r\r\n"},
        {"comment CR then NUL", "#c=1\r\0\n"s, "C #c=1\r", "#c=1\r\r\n"},
        {"last line ends in CR", "k=v\r", "P k=v\r", "k=v\r\r\n"},
        {"CR before CRLF", "k=v\r\r\n", "P k=v\r", "k=v\r\r\n"},
        {"value only a CR", "k=\r\r\n", "P k=\r", "k=\r\r\n"},
        {"text cut at NUL", "k=ab\0cd\r\n"s, "P k=ab", "k=ab\n"},
    };
    for (const sRoundTrip &c : vCases) CheckRoundTrip(c, true);
}

TEST_F(ConfigStore, MissingFileIsEmptyAndFirstChangeCreatesIt) {
    std::string strFile = m_dir.File("sub/dir/new.conf");
    CBaseConfig config(strFile.c_str());
    ASSERT_NE(config.store, nullptr);
    EXPECT_EQ(config.store->entryCount, 0);
    EXPECT_EQ(config.GetValue("port"), nullptr);
    EXPECT_EQ(config.AddValue("#note"), 1);
    EXPECT_EQ(config.AddValue("plain text"), 1);  // kind 0 without '#': an empty line
    EXPECT_EQ(config.AddValue("port", "8566"), 1);
    EXPECT_EQ(ReadFile(strFile), "#note\n\nport=8566\n");
    mode_t nUmask = umask(022);
    umask(nUmask);
    struct stat st;
    ASSERT_EQ(stat(strFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~nUmask) << "a new file's mode is the umask's";
}

TEST_F(ConfigStore, LookupsAndChanges) {
    const std::string strIn = "#c\nk = first\nk=second\nother=1\n";
    ASSERT_TRUE(WriteFile(m_strFile, strIn));
    CBaseConfig config(m_strFile.c_str());

    ASSERT_NE(config.GetValue("k"), nullptr);
    EXPECT_STREQ(config.GetValue("k"), "first");
    EXPECT_EQ(config.GetValue("K"), nullptr) << "case counts";
    EXPECT_EQ(config.GetValue("#c"), nullptr) << "a comment carries no value";
    EXPECT_EQ(config.AddValue("k", "third"), 0);
    EXPECT_EQ(config.AddValue("#c"), 0) << "no second copy of a comment";
    EXPECT_EQ(config.SetValue("missing", "x"), 0);
    EXPECT_EQ(config.SetValue("#c", "x"), 0);
    EXPECT_EQ(ReadFile(m_strFile), strIn) << "refusals leave the file untouched";

    EXPECT_EQ(config.SetValue("k", "new"), 1);
    EXPECT_EQ(ReadFile(m_strFile), "#c\nk=new\nk=second\nother=1\n");
    EXPECT_EQ(config.DelValue("k"), 1);
    EXPECT_EQ(ReadFile(m_strFile), "#c\nk=second\nother=1\n");
    EXPECT_EQ(config.DelValue("#c"), 1);
    EXPECT_EQ(config.DelValue("nothing"), 0);
    EXPECT_EQ(ReadFile(m_strFile), "k=second\nother=1\n");
}

TEST_F(ConfigStore, RemovingOnlyEntryLeavesEmptyFile) {
    ASSERT_TRUE(WriteFile(m_strFile, "port=1\n"));
    CBaseConfig config(m_strFile.c_str());
    EXPECT_EQ(config.DelValue("port"), 1);
    struct stat st;
    ASSERT_EQ(stat(m_strFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

// Lines and values past the 1024-byte line buffer and the 512-byte block stay
// whole and stay one entry.
TEST_F(ConfigStore, OverlongLineIsOneWholeEntry) {
    for (size_t nLen : {508u, 509u, 510u, 1022u, 1023u, 1024u, 5000u}) {
        SCOPED_TRACE(nLen);
        std::string strValue(nLen, 'v');
        std::string strComment = "#" + std::string(nLen, 'c');
        ASSERT_TRUE(WriteFile(m_strFile, "k=" + strValue + "\n" + strComment + "\n"));
        CBaseConfig config(m_strFile.c_str());
        ASSERT_EQ(config.store->entryCount, 2);
        ASSERT_NE(config.GetValue("k"), nullptr);
        EXPECT_EQ(config.GetValue("k"), strValue);
        std::string strLonger(nLen * 2, 'w');
        EXPECT_EQ(config.SetValue("k", strLonger.c_str()), 1);
        EXPECT_EQ(ReadFile(m_strFile), "k=" + strLonger + "\n" + strComment + "\n");
    }
}

TEST_F(ConfigStore, TooManyEntriesIsNeverSaved) {
    std::string strIn;
    for (int i = 0; i < CONFIG_MAX_ENTRIES + 5; ++i) strIn += "k" + std::to_string(i) + "=1\n";
    ASSERT_TRUE(WriteFile(m_strFile, strIn));
    CBaseConfig config(m_strFile.c_str());
    EXPECT_EQ(config.store->entryCount, CONFIG_MAX_ENTRIES);
    EXPECT_TRUE(config.store->bIncomplete);
    EXPECT_EQ(SaveConfig(config.store), 0);
    EXPECT_EQ(config.AddValue("new", "1"), 0) << "no room for another entry";
    EXPECT_EQ(config.SetValue("k0", "2"), 1);  // in memory; the save refuses
    EXPECT_EQ(ReadFile(m_strFile), strIn) << "lines that were not loaded must not be lost";
}

TEST_F(ConfigStore, ExactlyFullStoreSavesButRefusesMore) {
    std::string strIn;
    for (int i = 0; i < CONFIG_MAX_ENTRIES; ++i) strIn += "k" + std::to_string(i) + "=1\n";
    ASSERT_TRUE(WriteFile(m_strFile, strIn));
    CBaseConfig config(m_strFile.c_str());
    EXPECT_FALSE(config.store->bIncomplete);
    EXPECT_EQ(config.AddValue("#more"), 0);
    EXPECT_EQ(SaveConfig(config.store), 1);
    EXPECT_EQ(ReadFile(m_strFile), strIn);
}

TEST(CreateDirByName, CommandText) {
    struct sCase {
        const char *pszName;
        int nResult;
        const char *pszCmd;
    };
    const std::vector<sCase> vCases = {
        {"/var/a\\b\\c", 1, "mkdir -p /var/a/b/c/"},
        {"rel", 1, "mkdir -p rel/"},
        {"a b", 1, "mkdir -p 'a b/'"},
        {"it's", 1, "mkdir -p 'it'\\''s/'"},
        {"x;$(touch m)`id`", 1, "mkdir -p 'x;$(touch m)`id`/'"},
        {"", 0, ""},
        {nullptr, 0, ""},
    };
    for (const sCase &c : vCases) {
        SCOPED_TRACE(c.pszName ? c.pszName : "(null)");
        char szCmd[1024];
        EXPECT_EQ(FormatMkdirCommand(c.pszName, szCmd, sizeof(szCmd)), c.nResult);
        EXPECT_STREQ(szCmd, c.pszCmd);
    }
    // "mkdir -p " + name + "/" is 1023 bytes: fits; one more does not.
    char szCmd[1024];
    std::string strName(1023 - 10, 'n');
    EXPECT_EQ(FormatMkdirCommand(strName.c_str(), szCmd, sizeof(szCmd)), 1);
    strName += 'n';
    EXPECT_EQ(FormatMkdirCommand(strName.c_str(), szCmd, sizeof(szCmd)), 0);
    EXPECT_EQ(createDirByName(strName.c_str()), 0);
}

TEST(CreateDirByName, RealMkdir) {
    CTempDir dir;
    EXPECT_EQ(createDirByName((dir.Path() + "\\x\\y").c_str()), 1);
    struct stat st;
    EXPECT_EQ(stat(dir.File("x/y").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    std::string strMarker = dir.File("marker");
    std::string strOdd = dir.File("a b;$(touch " + strMarker + ")");
    EXPECT_EQ(createDirByName(strOdd.c_str()), 1);
    EXPECT_EQ(stat(dir.File("a b;$(touch ").c_str(), &st), 0) << "the name is taken literally";
    EXPECT_NE(stat(strMarker.c_str(), &st), 0) << "nothing of the name was run";
}

}  // namespace
