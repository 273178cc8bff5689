// Aborting a long write on real files: a solid LZMS chunk takes wimlib far
// longer to compress than an abort may wait, so the write must stop in the
// middle of one, the old file stays byte for byte and no temporary or
// journal stays beside it. The messages of the write still arrive.
#include "imaging/wimgapi.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"

#include <atomic>
#include <chrono>
#include <dirent.h>
#include <set>
#include <string>
#include <thread>

namespace {

constexpr DWORD kReadWrite = WIM_GENERIC_READ | WIM_GENERIC_WRITE;

struct Listener {
    std::atomic<int> messages{0};
    std::atomic<int> progress{0};
    std::atomic<WPARAM> lastPercent{0};
    std::atomic<bool> abort{false};
};

DWORD CALLBACK Listen(DWORD message, WPARAM wParam, LPARAM, PVOID userData)
{
    auto& listener = *static_cast<Listener*>(userData);
    ++listener.messages;
    if (message == WIM_MSG_PROGRESS) {
        ++listener.progress;
        listener.lastPercent = wParam;
    }
    return listener.abort ? WIM_MSG_ABORT_IMAGE : WIM_MSG_SUCCESS;
}

std::set<std::string> NamesIn(const std::string& folder)
{
    std::set<std::string> names;
    if (DIR* listing = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(listing))
            names.insert(entry->d_name);
        closedir(listing);
    }
    return names;
}

class AbortRealWim : public testing::Test {
protected:
    void SetUp() override
    {
        ShellOutput("set -e; cd " + Quoted(folder.path()) +
                    "; mkdir small large; head -c 300000 /dev/urandom | base64 > small/a.txt"
                    "; head -c 48000000 /dev/urandom | base64 > large/b.txt"
                    "; wimlib-imagex capture small small.wim Small --compress=none >/dev/null"
                    "; wimlib-imagex capture large large.wim Large --compress=none >/dev/null"
                    "; rm -r large");
        registration_ = WIMRegisterMessageCallback(nullptr, Listen, &listener);
        ASSERT_NE(registration_, INVALID_CALLBACK_VALUE);
    }
    void TearDown() override { WIMUnregisterMessageCallback(nullptr, Listen); }

    // Exports image 1 of `source` into `destination`, opened as asked for a
    // solid LZMS file.
    BOOL Export(const std::string& source, const std::string& destination, DWORD disposition)
    {
        DWORD created = 0;
        HANDLE from =
            WIMCreateFile(DosPath(source).c_str(), WIM_GENERIC_READ, WIM_OPEN_EXISTING, 0, 0, &created);
        HANDLE to = WIMCreateFile(DosPath(destination).c_str(), kReadWrite, disposition, WIM_FLAG_SOLID,
                                  WIM_COMPRESS_LZMS, &created);
        HANDLE image = from != nullptr ? WIMLoadImage(from, 1) : nullptr;
        BOOL exported = FALSE;
        DWORD error = GetLastError();
        if (image != nullptr && to != nullptr) {
            exported = WIMExportImage(image, to, 0);
            error = GetLastError();
        }
        // The export is written when its destination closes: that close is
        // where an abort shows.
        if (image != nullptr)
            WIMCloseHandle(image);
        if (to != nullptr && !WIMCloseHandle(to) && exported) {
            exported = FALSE;
            error = GetLastError();
        }
        if (from != nullptr)
            WIMCloseHandle(from);
        SetLastError(error);
        return exported;
    }

    ScratchFolder folder;
    Listener listener;
    DWORD registration_ = INVALID_CALLBACK_VALUE;
};

// The progress of a solid write reaches the listeners in full, and the file
// is solid LZMS.
TEST_F(AbortRealWim, ASolidExportTellsItsProgress)
{
    const std::string esd = folder / "new.esd";
    ASSERT_TRUE(Export(folder / "small.wim", esd, WIM_CREATE_NEW)) << GetLastError();
    EXPECT_GT(listener.progress.load(), 0);
    EXPECT_EQ(listener.lastPercent.load(), 100u);
    EXPECT_EQ(Shell("wimlib-imagex verify " + Quoted(esd) + " >/dev/null 2>&1"), 0);
    EXPECT_EQ(WimlibInfo(esd)[0]["Compression"], "LZMS");
}

// An abort given while the first solid chunk is being compressed ends the
// export within a bound far below the chunk's time, into an existing solid
// file (appended in place) and over one it would replace (a new file).
TEST_F(AbortRealWim, AnAbortStopsASolidExportInTheMiddleOfAChunk)
{
    const struct {
        const char* name;
        DWORD disposition;
    } cases[] = {
        {"appended to a solid file", WIM_OPEN_EXISTING},
        {"replacing a file", WIM_CREATE_ALWAYS},
    };
    for (const auto& step : cases) {
        SCOPED_TRACE(step.name);
        const std::string destination = folder / "old.esd";
        ShellOutput("cd " + Quoted(folder.path()) + "; rm -f old.esd" +
                    "; wimlib-imagex export small.wim 1 old.esd --solid --compress=LZMS >/dev/null");
        const std::string before = FileBytes(destination);
        const std::set<std::string> namesBefore = NamesIn(folder.path());
        listener.abort = false;
        listener.messages = 0;

        std::atomic<bool> done{false};
        BOOL exported = TRUE;
        DWORD error = 0;
        std::thread worker([&] {
            exported = Export(folder / "large.wim", destination, step.disposition);
            error = GetLastError();
            done = true;
        });
        // Well inside the chunk, which takes wimlib tens of seconds here.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        listener.abort = true;
        const auto asked = std::chrono::steady_clock::now();
        while (!done && std::chrono::steady_clock::now() - asked < std::chrono::seconds(60))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto took = std::chrono::steady_clock::now() - asked;
        worker.join();

        EXPECT_LT(took, std::chrono::seconds(10));
        EXPECT_FALSE(exported);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_REQUEST_ABORTED));
        EXPECT_GT(listener.messages.load(), 0);
        EXPECT_TRUE(FileBytes(destination) == before) << "the old file changed";
        EXPECT_EQ(NamesIn(folder.path()), namesBefore);
    }
}

}  // namespace
