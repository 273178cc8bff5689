// Mounting and unmounting: transcripts against the scripted library.
#include "base/log.h"
#include "operations/operations.h"
#include "operations/temp_directory.h"
#include "tests/gtest_support.h"
#include "tests/support/scripted_imaging.h"

namespace {

WIM_MOUNT_LIST MountEntry(const WCHAR* wimPath, const WCHAR* mountPath, DWORD index, BOOL readWrite)
{
    WIM_MOUNT_LIST entry = {};
    CopyToBuffer(entry.WimPath, MAX_PATH, wimPath);
    CopyToBuffer(entry.MountPath, MAX_PATH, mountPath);
    entry.ImageIndex = index;
    entry.MountedForRW = readWrite;
    return entry;
}

// The system's text of a code as the log shows it.
std::string Reason(DWORD code)
{
    WCHAR text[kTextBufferSize];
    return Narrow(SystemErrorText(text, code));
}

std::string TempFolder()
{
    WCHAR folder[MAX_PATH];
    EXPECT_TRUE(ChooseTempDirectory(nullptr, nullptr, folder));
    return Narrow(folder);
}

class MountTest : public testing::Test {
protected:
    void SetUp() override
    {
        library.info.ImageCount = 3;
        task.mountSource = WSTR("D:\\images\\base.wim");
        task.mountPath = WSTR("D:\\mnt\\one");
        task.mountIndex = 2;
    }
    std::string Log() const { return Narrow(task.logText); }
    std::string Settings(const char* readWrite) const
    {
        return std::string("掛載路徑:\t\tD:\\mnt\\one\r\n"
                           "映像檔:\t\tD:\\images\\base.wim\r\n"
                           "映像卷:\t\t2\r\n"
                           "掛載為可讀/可寫:\t") +
               readWrite + "\r\n暫存資料夾:\t" + TempFolder() + "\r\n\r\n";
    }

    ScriptedImaging library;
    TaskState task;
};

TEST_F(MountTest, ReadOnlyMountLogsItsSettingsAndReleasesEverything)
{
    EXPECT_TRUE(RunMount(task));
    EXPECT_EQ(Log(), Settings("0") + "開啟映像檔中...\r\n掛載映像檔中...\r\n\r\n映像檔掛載成功.\r\n");
    EXPECT_EQ(library.CallText(),
              "WIMRegisterMessageCallback(0x0, ptr, null)\n"
              "WIMCreateFile(\"D:\\images\\base.wim\", 0xA0000000, 3, 536870912, 0, ptr)\n"
              "WIMSetTemporaryPath(0x1000, \"" +
                  TempFolder() +
                  "\")\n"
                  "WIMLoadImage(0x1000, 2)\n"
                  "WIMMountImageHandle(0x2002, \"D:\\mnt\\one\", 512)\n"
                  "WIMCloseHandle(0x2002)\n"
                  "WIMCloseHandle(0x1000)\n"
                  "WIMUnregisterMessageCallback(0x0, ptr)\n");
    EXPECT_EQ(task.lastPercent, 0u);
}

TEST_F(MountTest, AccessAndMountFlagsFollowReadWriteAndCheck)
{
    struct Case {
        bool readWrite;
        bool check;
        const char* create;
        const char* mount;
    };
    const Case cases[] = {
        {false, true, "0xA0000000, 3, 536870914", "514"},
        {true, false, "0xE0000000, 3, 536870912", "0"},
        {true, true, "0xE0000000, 3, 536870914", "2"},
    };
    for (const Case& c : cases) {
        ScriptedImaging scripted;
        scripted.info.ImageCount = 3;
        TaskState run;
        run.mountSource = task.mountSource;
        run.mountPath = task.mountPath;
        run.mountIndex = 2;
        run.mountReadWrite = c.readWrite;
        run.mountCheck = c.check;
        EXPECT_TRUE(RunMount(run));
        EXPECT_EQ(scripted.calls[1],
                  std::string("WIMCreateFile(\"D:\\images\\base.wim\", ") + c.create + ", 0, ptr)");
        EXPECT_EQ(scripted.calls[4],
                  std::string("WIMMountImageHandle(0x2002, \"D:\\mnt\\one\", ") + c.mount + ")");
        EXPECT_NE(Narrow(run.logText).find(std::string("掛載為可讀/可寫:\t") + (c.readWrite ? "1" : "0")),
                  std::string::npos);
    }
}

TEST_F(MountTest, EachFailureLogsItsLineAndTheReasonAndReleasesWhatWasTaken)
{
    struct Case {
        const char* call;
        std::string log;
        const char* releases;
    };
    const std::string denied = Reason(ERROR_ACCESS_DENIED);
    const Case cases[] = {
        {"WIMRegisterMessageCallback", "錯誤: 無法註冊回調函數.\r\n", ""},
        {"WIMCreateFile", "開啟映像檔中...\r\n錯誤: 無法開啟映像檔.\r\n錯誤: " + denied + "\r\n",
         "WIMUnregisterMessageCallback(0x0, ptr)\n"},
        {"WIMSetTemporaryPath", "開啟映像檔中...\r\n錯誤: 無法建立暫存資料夾.\r\n錯誤: " + denied + "\r\n",
         "WIMCloseHandle(0x1000)\nWIMUnregisterMessageCallback(0x0, ptr)\n"},
        {"WIMLoadImage",
         "開啟映像檔中...\r\n錯誤: 此映像檔 \"2\" 無法掛載映像卷.\r\n錯誤: " + denied + "\r\n",
         "WIMCloseHandle(0x1000)\nWIMUnregisterMessageCallback(0x0, ptr)\n"},
        {"WIMMountImageHandle",
         "開啟映像檔中...\r\n掛載映像檔中...\r\n錯誤: 無法掛載映像檔.\r\n錯誤: " + denied + "\r\n",
         "WIMCloseHandle(0x2002)\nWIMCloseHandle(0x1000)\nWIMUnregisterMessageCallback(0x0, ptr)\n"},
    };
    for (const Case& c : cases) {
        ScriptedImaging scripted;
        scripted.info.ImageCount = 3;
        scripted.Fail(c.call, ERROR_ACCESS_DENIED);
        TaskState run;
        run.mountSource = task.mountSource;
        run.mountPath = task.mountPath;
        run.mountIndex = 2;
        EXPECT_FALSE(RunMount(run)) << c.call;
        EXPECT_EQ(Narrow(run.logText), Settings("0") + c.log) << c.call;
        const std::string calls = scripted.CallText();
        const size_t release = calls.find(c.call);
        ASSERT_NE(release, std::string::npos);
        EXPECT_EQ(calls.substr(calls.find('\n', release) + 1), c.releases) << c.call;
    }
}

TEST_F(MountTest, NoUsableTemporaryFolderFailsBeforeTheLibrary)
{
    WCHAR saved[MAX_PATH] = {};
    const DWORD kept = GetEnvironmentVariableW(WSTR("TMP"), saved, MAX_PATH);
    WCHAR savedTemp[MAX_PATH] = {};
    const DWORD keptTemp = GetEnvironmentVariableW(WSTR("TEMP"), savedTemp, MAX_PATH);
    SetEnvironmentVariableW(WSTR("TMP"), WSTR("Z:\\no\\such\\folder"));
    SetEnvironmentVariableW(WSTR("TEMP"), WSTR("Z:\\no\\such\\folder"));
    const bool mounted = RunMount(task);
    SetEnvironmentVariableW(WSTR("TMP"), kept ? saved : nullptr);
    SetEnvironmentVariableW(WSTR("TEMP"), keptTemp ? savedTemp : nullptr);

    EXPECT_FALSE(mounted);
    const std::string log = Log();
    EXPECT_NE(log.find("暫存資料夾:\t\r\n錯誤: 無法建立暫存資料夾.\r\n錯誤: "), std::string::npos) << log;
    EXPECT_EQ(log.substr(log.size() - 4), "\r\n\r\n");
    EXPECT_EQ(library.CallText(), "");
}

class UnmountTest : public testing::Test {
protected:
    void SetUp() override
    {
        library.mounted = {
            MountEntry(WSTR("Z:\\w\\other.wim"), WSTR("Z:\\mnt\\other"), 1, FALSE),
            MountEntry(WSTR("Z:\\w\\base.wim"), WSTR("Z:\\Mnt\\Here"), 3, TRUE),
        };
        task.mountPath = WSTR("Z:\\Mnt\\Here");
    }
    std::string Log() const { return Narrow(task.logText); }

    ScriptedImaging library;
    TaskState task;
};

const char kFoundLines[] = "掛載路徑:\t\tZ:\\Mnt\\Here\r\n"
                           "映像檔:\t\tZ:\\w\\base.wim\r\n"
                           "映像卷:\t\t3\r\n"
                           "掛載為可讀/可寫:\t1\r\n"
                           "\r\n"
                           "獲取已掛載映像檔 handle...\r\n";

TEST_F(UnmountTest, CommitThenUnmountOfAReadWriteMount)
{
    task.unmountCommit = true;
    task.unmountCheck = true;
    EXPECT_TRUE(RunUnmount(task));
    EXPECT_EQ(Log(), std::string(kFoundLines) +
                         "正在儲存變更並卸載映像檔...\r\n正在卸載映像檔...\r\n\r\n已成功卸載映像檔\r\n");
    EXPECT_EQ(library.CallText(), "WIMGetMountedImages(ptr, 33536)\n"
                                  "WIMRegisterMessageCallback(0x0, ptr, null)\n"
                                  "WIMGetMountedImageHandle(\"Z:\\Mnt\\Here\", 2, ptr, ptr)\n"
                                  "WIMCommitImageHandle(0x2001, 2, null)\n"
                                  "WIMUnmountImageHandle(0x2001, 0)\n"
                                  "WIMCloseHandle(0x2001)\n"
                                  "WIMCloseHandle(0x1000)\n"
                                  "WIMUnregisterMessageCallback(0x0, ptr)\n");
}

TEST_F(UnmountTest, OnlyAReadWriteMountWithCommitSetIsCommitted)
{
    struct Case {
        BOOL readWrite;
        bool commit;
        int commits;
    };
    const Case cases[] = {{TRUE, false, 0}, {FALSE, true, 0}, {FALSE, false, 0}, {TRUE, true, 1}};
    for (const Case& c : cases) {
        ScriptedImaging scripted;
        scripted.mounted = {MountEntry(WSTR("Z:\\w.wim"), WSTR("Z:\\m"), 1, c.readWrite)};
        TaskState run;
        run.mountPath = WSTR("Z:\\m");
        run.unmountCommit = c.commit;
        EXPECT_TRUE(RunUnmount(run));
        EXPECT_EQ(scripted.CallCount("WIMCommitImageHandle"), c.commits);
        const std::string log = Narrow(run.logText);
        EXPECT_EQ(log.find("handle...\r\n正在儲存變更並卸載映像檔...\r\n正在卸載映像檔...") !=
                      std::string::npos,
                  c.commits == 1)
            << log;
        EXPECT_EQ(scripted.CallCount("WIMUnmountImageHandle"), 1);
    }
}

TEST_F(UnmountTest, MountPathMatchesWithoutCaseOrOneTrailingBackslash)
{
    struct Case {
        const WCHAR* typed;
        const WCHAR* listed;
        bool found;
    };
    const Case cases[] = {
        {WSTR("z:\\mnt\\HERE"), WSTR("Z:\\Mnt\\Here"), true},
        {WSTR("Z:\\Mnt\\Here\\"), WSTR("Z:\\Mnt\\Here"), true},
        {WSTR("Z:\\Mnt\\Here"), WSTR("Z:\\Mnt\\Here\\"), true},
        {WSTR("Z:\\Mnt\\Here\\\\"), WSTR("Z:\\Mnt\\Here"), false},
        {WSTR("Z:\\Mnt\\Her"), WSTR("Z:\\Mnt\\Here"), false},
        {WSTR("Z:\\Mnt\\Here\\x"), WSTR("Z:\\Mnt\\Here"), false},
    };
    for (const Case& c : cases) {
        ScriptedImaging scripted;
        scripted.mounted = {MountEntry(WSTR("Z:\\a.wim"), WSTR("Z:\\elsewhere"), 1, FALSE),
                            MountEntry(WSTR("Z:\\w.wim"), c.listed, 2, FALSE)};
        TaskState run;
        run.mountPath = c.typed;
        EXPECT_EQ(RunUnmount(run), c.found) << Narrow(c.typed);
        if (c.found) {
            EXPECT_EQ(scripted.calls[2],
                      "WIMGetMountedImageHandle(\"" + Narrow(c.listed) + "\", 0, ptr, ptr)");
        } else {
            EXPECT_EQ(Narrow(run.logText), "錯誤: 未找到掛載點在 " + Narrow(c.typed) + ".\r\n");
            EXPECT_EQ(scripted.CallText(), "WIMGetMountedImages(ptr, 33536)\n");
        }
    }
}

TEST_F(UnmountTest, EachFailureLogsItsLinesAndStops)
{
    struct Case {
        const char* call;
        std::string log;
        const char* next;  // the call after the failing one
    };
    const std::string denied = Reason(ERROR_ACCESS_DENIED);
    const Case cases[] = {
        {"WIMGetMountedImages", "錯誤: 未找到任何已掛載的映像檔.\r\n", nullptr},
        {"WIMRegisterMessageCallback", "錯誤: 無法註冊回調函數.\r\n", nullptr},
        {"WIMGetMountedImageHandle", "錯誤: 未找到任何已掛載的映像檔.\r\n錯誤: " + denied + "\r\n",
         "WIMUnregisterMessageCallback"},
        {"WIMCommitImageHandle",
         "正在儲存變更並卸載映像檔...\r\n錯誤: 無法寫入變更.\r\n錯誤: " + denied + "\r\n",
         "WIMCloseHandle(0x2001)"},
        {"WIMUnmountImageHandle",
         "正在儲存變更並卸載映像檔...\r\n正在卸載映像檔...\r\n錯誤: 無法卸載映像檔.\r\n錯誤: " + denied +
             "\r\n",
         "WIMCloseHandle(0x2001)"},
    };
    for (const Case& c : cases) {
        ScriptedImaging scripted;
        scripted.mounted = library.mounted;
        scripted.Fail(c.call, ERROR_ACCESS_DENIED);
        TaskState run;
        run.mountPath = task.mountPath;
        run.unmountCommit = true;
        EXPECT_FALSE(RunUnmount(run)) << c.call;
        const std::string log = Narrow(run.logText);
        EXPECT_EQ(log.substr(log.size() - std::min(log.size(), c.log.size())), c.log) << c.call;
        EXPECT_EQ(log.find("已成功卸載映像檔"), std::string::npos);
        size_t at = 0;
        while (at < scripted.calls.size() && scripted.calls[at].rfind(c.call, 0) != 0)
            ++at;
        ASSERT_LT(at, scripted.calls.size()) << c.call;
        if (c.next == nullptr) {
            EXPECT_EQ(at + 1, scripted.calls.size()) << c.call;
        } else {
            ASSERT_LT(at + 1, scripted.calls.size()) << c.call;
            EXPECT_EQ(scripted.calls[at + 1].rfind(c.next, 0), 0u) << scripted.CallText();
        }
        EXPECT_EQ(scripted.CallCount("WIMUnregisterMessageCallback"),
                  std::string(c.call) == "WIMRegisterMessageCallback" ||
                          std::string(c.call) == "WIMGetMountedImages"
                      ? 0
                      : 1);
    }
}

TEST_F(UnmountTest, MoreMountsThanTheBufferHoldsIsAFailedList)
{
    library.mounted.resize(33, library.mounted[1]);
    EXPECT_FALSE(RunUnmount(task));
    EXPECT_EQ(Log(), "錯誤: 未找到任何已掛載的映像檔.\r\n");
}

TEST(MountCallbackTest, ProgressMovesTheBarAndProblemsAreLoggedWithTheirReason)
{
    TaskState& task = Task();
    const WString savedLog = task.logText;
    const UINT savedPercent = task.lastPercent;
    task.logText.clear();
    task.lastPercent = 0;

    EXPECT_EQ(MountMessageCallback(WIM_MSG_PROGRESS, 40, 5000, nullptr), WIM_MSG_SUCCESS);
    EXPECT_EQ(task.lastPercent, 40u);
    EXPECT_EQ(MountMessageCallback(WIM_MSG_MOUNT_CLEANUP_PROGRESS, 70, 0, nullptr), WIM_MSG_SUCCESS);
    EXPECT_EQ(task.lastPercent, 70u);

    // A path longer than the fixed buffers is kept whole.
    const WString longPath = WSTR("Z:\\") + WString(300, WCHAR('p'));
    const struct {
        DWORD id;
        const char* prefix;
    } problems[] = {{WIM_MSG_ERROR, "ERROR: "}, {WIM_MSG_INFO, "INFO: "}, {WIM_MSG_WARNING, "WARNING: "}};
    std::string expected;
    for (const auto& problem : problems) {
        EXPECT_EQ(MountMessageCallback(problem.id, reinterpret_cast<WPARAM>(longPath.c_str()),
                                       ERROR_FILE_NOT_FOUND, nullptr),
                  WIM_MSG_SUCCESS);
        expected += std::string(problem.prefix) + Narrow(longPath) +
                    "    [Code=" + Reason(ERROR_FILE_NOT_FOUND) + "]\n\r\n";
    }
    for (DWORD quiet :
         {WIM_MSG_RETRY, WIM_MSG_TEXT, WIM_MSG_STEPIT, WIM_MSG_VERIFYING_INTEGRITY, WIM_MSG_QUERY_ABORT})
        EXPECT_EQ(MountMessageCallback(quiet, reinterpret_cast<WPARAM>(longPath.c_str()), 5, nullptr),
                  WIM_MSG_SUCCESS);
    EXPECT_EQ(Narrow(task.logText), expected);
    EXPECT_EQ(task.lastPercent, 70u);

    task.logText = savedLog;
    task.lastPercent = savedPercent;
}

}  // namespace
