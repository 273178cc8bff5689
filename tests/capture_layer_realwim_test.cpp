// The wimlib layer's capture on real trees: the messages a callback sees, in
// the library's order, and what the include answer keeps out; new files that
// appear only when complete; appends that fail leave the file byte for byte.
#include "imaging/wimgapi.h"
#include "tests/gtest_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/message_listener.h"
#include "tests/support/scripted_imaging.h"

#include <algorithm>
#include <set>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace {

struct Message {
    DWORD id;
    std::string path;  // for the messages that carry one
    LPARAM lParam;
    WPARAM wParam;
};

// Records every message; answers the include question from `excluded` (paths
// ending in one of them are left out) and aborts after `abortAfter` items.
struct Recorder {
    std::vector<Message> messages;
    std::vector<std::string> excluded;
    long abortAfter = -1;

    static inline Recorder* current = nullptr;

    static DWORD CALLBACK Callback(DWORD id, WPARAM wParam, LPARAM lParam, PVOID)
    {
        Recorder& self = *current;
        Message message{id, "", lParam, wParam};
        if (id == WIM_MSG_PROCESS || id == WIM_MSG_COMPRESS || id == WIM_MSG_ERROR || id == WIM_MSG_WARNING)
            message.path = Narrow(reinterpret_cast<const WCHAR*>(wParam));
        self.messages.push_back(message);
        if (self.abortAfter >= 0 && static_cast<long>(self.messages.size()) > self.abortAfter &&
            (id == WIM_MSG_PROCESS || id == WIM_MSG_QUERY_ABORT))
            return WIM_MSG_ABORT_IMAGE;
        if (id == WIM_MSG_PROCESS) {
            for (const std::string& end : self.excluded) {
                if (message.path.size() >= end.size() &&
                    message.path.compare(message.path.size() - end.size(), end.size(), end) == 0)
                    *reinterpret_cast<BOOL*>(lParam) = FALSE;
            }
        }
        return WIM_MSG_SUCCESS;
    }

    Recorder()
    {
        current = this;
        WIMRegisterMessageCallback(nullptr, Callback, nullptr);
    }
    ~Recorder()
    {
        WIMUnregisterMessageCallback(nullptr, Callback);
        current = nullptr;
    }

    std::vector<const Message*> Of(DWORD id) const
    {
        std::vector<const Message*> found;
        for (const Message& message : messages) {
            if (message.id == id)
                found.push_back(&message);
        }
        return found;
    }
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line))
        lines.push_back(line);
    return lines;
}

class CaptureLayerRealWim : public testing::Test {
protected:
    void SetUp() override
    {
        source = folder / "src";
        Shell("mkdir -p " + Quoted(source + "/keep/inner") + " " + Quoted(source + "/skip/deep") + " " +
              Quoted(source + "/empty"));
        ShellOutput("cd " + Quoted(source) +
                    " && echo one > a.txt && head -c 70000 /dev/urandom > b.zip && : > zero.txt"
                    " && echo two > keep/inner/c.txt && echo three > skip/deep/d.txt && echo drop > drop.txt"
                    " && ln -s a.txt link && ln a.txt hard.txt");
    }

    HANDLE Create(const std::string& wim, DWORD disposition = WIM_CREATE_ALWAYS)
    {
        DWORD created = 0;
        return WIMCreateFile(DosPath(wim).c_str(), WIM_GENERIC_READ | WIM_GENERIC_WRITE, disposition, 0,
                             WIM_COMPRESS_LZX, &created);
    }

    std::string Dos(const std::string& relative) const
    {
        std::string path = Narrow(DosPath(source));
        for (char c : relative)
            path += c == '/' ? '\\' : c;
        return path;
    }

    ScratchFolder folder;
    std::string source;
};

TEST_F(CaptureLayerRealWim, MessagesComeInTheLibrarysOrderAndTheAnswerKeepsPathsOut)
{
    Recorder recorder;
    recorder.excluded = {"\\skip", "\\drop.txt"};
    const std::string wim = folder / "out.wim";
    HANDLE handle = Create(wim);
    ASSERT_NE(handle, nullptr) << GetLastError();
    HANDLE image = WIMCaptureImage(handle, DosPath(source).c_str(), 0);
    ASSERT_NE(image, nullptr) << GetLastError();

    // Scanning: every path but the root is asked about once, a folder's
    // subtree only when the folder is kept.
    auto range = std::find_if(recorder.messages.begin(), recorder.messages.end(),
                              [](const Message& m) { return m.id == WIM_MSG_SETRANGE; });
    ASSERT_NE(range, recorder.messages.end());
    std::set<std::string> asked;
    DWORD lastScanned = 0;
    for (auto m = recorder.messages.begin(); m != range; ++m) {
        if (m->id == WIM_MSG_PROCESS) {
            EXPECT_TRUE(asked.insert(m->path).second) << m->path;
        }
        if (m->id == WIM_MSG_SCANNING) {
            EXPECT_GE(static_cast<DWORD>(m->lParam), lastScanned);
            lastScanned = static_cast<DWORD>(m->lParam);
        }
    }
    const std::set<std::string> expectedAsked = {
        Dos("/a.txt"), Dos("/b.zip"),      Dos("/zero.txt"),
        Dos("/keep"),  Dos("/keep/inner"), Dos("/keep/inner/c.txt"),
        Dos("/skip"),  Dos("/drop.txt"),   Dos("/empty"),
        Dos("/link"),  Dos("/hard.txt"),
    };
    EXPECT_EQ(asked, expectedAsked);
    // Kept: a.txt, b.zip, zero.txt, c.txt, link, hard.txt.
    EXPECT_EQ(range->lParam, 6);
    EXPECT_EQ(lastScanned, 6u);

    // Capturing, as the handles close and the data is written: one item
    // message per kept file, then the bar reaches 100.
    EXPECT_TRUE(WIMCloseHandle(image));
    EXPECT_TRUE(WIMCloseHandle(handle));
    range = std::find_if(recorder.messages.begin(), recorder.messages.end(),
                         [](const Message& m) { return m.id == WIM_MSG_SETRANGE; });
    std::multiset<std::string> processed;
    std::vector<WPARAM> percents;
    for (auto m = range + 1; m != recorder.messages.end(); ++m) {
        if (m->id == WIM_MSG_PROCESS)
            processed.insert(m->path);
        if (m->id == WIM_MSG_PROGRESS)
            percents.push_back(m->wParam);
    }
    const std::multiset<std::string> expectedProcessed = {Dos("/a.txt"),    Dos("/b.zip"),
                                                          Dos("/zero.txt"), Dos("/keep/inner/c.txt"),
                                                          Dos("/link"),     Dos("/hard.txt")};
    EXPECT_EQ(processed, expectedProcessed);
    // Files with data of their own are told as their data is written; files
    // without (empty, links, names of a file with several) with the metadata,
    // after all of them.
    std::vector<std::string> order;
    for (auto m = range + 1; m != recorder.messages.end(); ++m) {
        if (m->id == WIM_MSG_PROCESS)
            order.push_back(m->path);
    }
    const auto told = [&](const std::string& path) { return std::find(order.begin(), order.end(), path); };
    for (const char* written : {"/b.zip", "/keep/inner/c.txt"}) {
        for (const char* quiet : {"/zero.txt", "/link", "/a.txt", "/hard.txt"})
            EXPECT_LT(told(Dos(written)), told(Dos(quiet))) << written << " " << quiet;
    }
    ASSERT_FALSE(percents.empty());
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_EQ(percents.back(), 100u);
    // Compression is asked for each file that has data, while scanning.
    std::set<std::string> compressed;
    for (const Message* m : recorder.Of(WIM_MSG_COMPRESS))
        compressed.insert(m->path);
    const std::set<std::string> expectedCompressed = {Dos("/a.txt"), Dos("/b.zip"), Dos("/keep/inner/c.txt"),
                                                      Dos("/hard.txt")};
    EXPECT_EQ(compressed, expectedCompressed);
    EXPECT_TRUE(recorder.Of(WIM_MSG_ERROR).empty());

    std::vector<std::string> listed = Lines(ShellOutput("wimlib-imagex dir " + Quoted(wim) + " 1"));
    std::sort(listed.begin(), listed.end());
    const std::vector<std::string> expectedListed = {
        "/",     "/a.txt",   "/b.zip", "/empty", "/hard.txt", "/keep", "/keep/inner", "/keep/inner/c.txt",
        "/link", "/zero.txt"};
    EXPECT_EQ(listed, expectedListed);
    ShellOutput("wimlib-imagex verify " + Quoted(wim));
}

TEST_F(CaptureLayerRealWim, AFailedCreateLeavesNoFileAndAnOldFileAsItWas)
{
    const std::string fresh = folder / "fresh.wim";
    const std::string old = folder / "old.wim";
    MakeSampleWim(old, 1);
    const std::string oldBytes = FileBytes(old);
    for (const std::string& wim : {fresh, old}) {
        Recorder recorder;
        recorder.abortAfter = 5;
        HANDLE handle = Create(wim);
        ASSERT_NE(handle, nullptr) << GetLastError();
        EXPECT_EQ(WIMCaptureImage(handle, DosPath(source).c_str(), 0), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REQUEST_ABORTED));
        EXPECT_TRUE(WIMCloseHandle(handle));
    }
    EXPECT_NE(access(fresh.c_str(), F_OK), 0);
    EXPECT_EQ(FileBytes(old), oldBytes);
    // A missing source fails before anything is written, too.
    HANDLE handle = Create(fresh);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(WIMCaptureImage(handle, DosPath(folder / "absent").c_str(), 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(WIMCloseHandle(handle));
    EXPECT_NE(access(fresh.c_str(), F_OK), 0);
    EXPECT_EQ(ShellOutput("ls -A " + Quoted(folder.path())), "old.wim\nsrc\n");
}

// A new file never replaces one made under its name meanwhile, and a new
// file that takes its name leaves nothing else behind.
TEST_F(CaptureLayerRealWim, ANewFileNeverReplacesOneMadeMeanwhile)
{
    const std::string wim = folder / "new.wim";
    for (const bool madeMeanwhile : {true, false}) {
        SCOPED_TRACE(madeMeanwhile ? "made meanwhile" : "free name");
        HANDLE handle = Create(wim, WIM_CREATE_NEW);
        ASSERT_NE(handle, nullptr) << GetLastError();
        if (madeMeanwhile)
            ShellOutput("printf mine > " + Quoted(wim));
        // The name is taken as the handle closes and writes the file.
        HANDLE image = WIMCaptureImage(handle, DosPath(source).c_str(), 0);
        ASSERT_NE(image, nullptr) << GetLastError();
        EXPECT_TRUE(WIMCloseHandle(image));
        EXPECT_EQ(WIMCloseHandle(handle), !madeMeanwhile);
        if (madeMeanwhile) {
            EXPECT_EQ(FileBytes(wim), "mine");
            unlink(wim.c_str());
        }
        EXPECT_EQ(ShellOutput("ls -A " + Quoted(folder.path())), madeMeanwhile ? "src\n" : "new.wim\nsrc\n");
    }
    ShellOutput("wimlib-imagex verify " + Quoted(wim));
}

// A WIM kept inside the folder it captures does not capture itself, nor
// the files its own writing puts beside it.
TEST_F(CaptureLayerRealWim, AWimInsideItsSourceLeavesItselfOut)
{
    const std::string wim = source + "/inside.wim";
    for (const DWORD disposition : {WIM_CREATE_ALWAYS, WIM_OPEN_EXISTING}) {
        HANDLE handle = Create(wim, disposition);
        ASSERT_NE(handle, nullptr) << GetLastError();
        HANDLE image = WIMCaptureImage(handle, DosPath(source).c_str(), 0);
        ASSERT_NE(image, nullptr) << GetLastError();
        EXPECT_TRUE(WIMCloseHandle(image));
        EXPECT_TRUE(WIMCloseHandle(handle));
    }
    for (const char* index : {"1", "2"}) {
        const std::string listed = ShellOutput("wimlib-imagex dir " + Quoted(wim) + " " + index);
        EXPECT_EQ(listed.find("inside.wim"), std::string::npos) << listed;
        EXPECT_NE(listed.find("/keep/inner/c.txt"), std::string::npos) << listed;
    }
}

TEST_F(CaptureLayerRealWim, AnAbortedAppendLeavesTheFileByteForByte)
{
    const std::string wim = folder / "base.wim";
    MakeSampleWim(wim, 1);
    const std::string before = FileBytes(wim);
    // Aborted while scanning: the capture fails.
    {
        Recorder recorder;
        recorder.abortAfter = 3;
        HANDLE handle = Create(wim, WIM_OPEN_EXISTING);
        ASSERT_NE(handle, nullptr) << GetLastError();
        EXPECT_EQ(WIMCaptureImage(handle, DosPath(source).c_str(), 0), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REQUEST_ABORTED));
        EXPECT_EQ(WIMGetImageCount(handle), 1u);
        EXPECT_TRUE(WIMCloseHandle(handle));
        EXPECT_EQ(FileBytes(wim), before);
    }
    // Aborted while the data is written (after the range), and at the check
    // that WIM_FLAG_VERIFY makes of the written data, which is part of the
    // write: both at the close, which fails and keeps nothing.
    for (const DWORD flags : {0u, static_cast<DWORD>(WIM_FLAG_VERIFY)}) {
        Recorder recorder;
        recorder.abortAfter = flags == 0 ? 40 : -1;
        MessageListener abortAtCheck([](DWORD message, WPARAM) {
            return message == WIM_MSG_VERIFYING_INTEGRITY ? WIM_MSG_ABORT_IMAGE : WIM_MSG_SUCCESS;
        });
        HANDLE handle = Create(wim, WIM_OPEN_EXISTING);
        ASSERT_NE(handle, nullptr) << GetLastError();
        HANDLE image = WIMCaptureImage(handle, DosPath(source).c_str(), flags);
        ASSERT_NE(image, nullptr) << GetLastError();
        EXPECT_EQ(WIMGetImageCount(handle), 2u);
        EXPECT_TRUE(WIMCloseHandle(image));
        EXPECT_FALSE(WIMCloseHandle(handle)) << flags;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REQUEST_ABORTED)) << flags;
        EXPECT_EQ(FileBytes(wim), before) << flags;
    }
    EXPECT_EQ(ShellOutput("ls -A " + Quoted(folder.path())), "base.wim\nsrc\n");

    // And a capture that is let through appends image 2.
    HANDLE handle = Create(wim, WIM_OPEN_EXISTING);
    ASSERT_NE(handle, nullptr);
    HANDLE image = WIMCaptureImage(handle, DosPath(source).c_str(), WIM_FLAG_NO_RP_FIX);
    ASSERT_NE(image, nullptr) << GetLastError();
    EXPECT_EQ(WIMGetImageCount(handle), 2u);
    WIMCloseHandle(image);
    WIMCloseHandle(handle);
    ShellOutput("wimlib-imagex verify " + Quoted(wim));
}

TEST_F(CaptureLayerRealWim, ASecondWriterIsRefusedWithASharingViolation)
{
    const std::string wim = folder / "base.wim";
    MakeSampleWim(wim, 1);
    HANDLE first = Create(wim, WIM_OPEN_EXISTING);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Create(wim, WIM_OPEN_EXISTING), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(Create(wim, WIM_CREATE_ALWAYS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    WIMCloseHandle(first);
}

// Paths the capture cannot take, which the caller did not leave out: each is
// named in an error message and the capture fails, leaving no new file and an
// old file byte for byte; a WIM_MSG_SKIP_ERROR answer leaves the path out.
struct LeftOutCase {
    const char* what;
    std::string make;                // shell commands run in the source folder
    std::vector<std::string> named;  // ends of the paths the errors must name
    bool goneWhileWriting;           // b.zip is removed once the scan is over
};

TEST_F(CaptureLayerRealWim, APathThatCannotBeCapturedFailsTheCaptureAndIsNamed)
{
    const std::vector<LeftOutCase> cases = {
        {"names that are no UTF-8",
         "printf x > \"$(printf 'bad\\377.txt')\" && mkdir \"$(printf 'dir\\376')\""
         " && echo y > \"$(printf 'dir\\376')/inner.txt\"",
         {"\\bad\xEF\xBF\xBD.txt", "\\dir\xEF\xBF\xBD"},
         false},
        {"a file gone before its data is written", "true", {"\\b.zip"}, true},
    };
    const std::string old = folder / "old.wim";
    const std::string fresh = folder / "fresh.wim";
    MakeSampleWim(old, 1);
    const std::string oldBytes = FileBytes(old);
    for (const LeftOutCase& test : cases) {
        SCOPED_TRACE(test.what);
        Shell("rm -rf " + Quoted(source) + " && mkdir -p " + Quoted(source) + " && cd " + Quoted(source) +
              " && head -c 70000 /dev/urandom > b.zip && echo one > a.txt && " + test.make);
        for (const std::string& wim : {fresh, old}) {
            Recorder recorder;
            std::string removeAtRange = test.goneWhileWriting ? source + "/b.zip" : "";
            MessageListener remover([&](DWORD message, WPARAM) {
                if (message == WIM_MSG_SETRANGE && !removeAtRange.empty())
                    unlink(removeAtRange.c_str());
                return WIM_MSG_SUCCESS;
            });
            HANDLE handle = Create(wim, wim == old ? WIM_OPEN_EXISTING : WIM_CREATE_ALWAYS);
            ASSERT_NE(handle, nullptr) << GetLastError();
            // The scan's failures fail the capture; the write's, the close.
            HANDLE image = WIMCaptureImage(handle, DosPath(source).c_str(), 0);
            EXPECT_EQ(image != nullptr, test.goneWhileWriting);
            if (image == nullptr) {
                EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
            }
            WIMCloseHandle(image);
            EXPECT_EQ(WIMCloseHandle(handle), !test.goneWhileWriting);
            EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
            std::vector<std::string> named;
            for (const Message* error : recorder.Of(WIM_MSG_ERROR))
                named.push_back(error->path);
            ASSERT_EQ(named.size(), test.named.size()) << testing::PrintToString(named);
            for (size_t i = 0; i < named.size(); ++i)
                EXPECT_EQ(named[i], Dos("") + test.named[i]);
            if (test.goneWhileWriting)
                Shell("cd " + Quoted(source) + " && head -c 70000 /dev/urandom > b.zip");
        }
        EXPECT_NE(access(fresh.c_str(), F_OK), 0);
        EXPECT_EQ(FileBytes(old), oldBytes);
    }

    // Told to skip, the capture leaves those paths out and succeeds.
    Shell("rm -rf " + Quoted(source) + " && mkdir -p " + Quoted(source) + " && cd " + Quoted(source) +
          " && head -c 70000 /dev/urandom > b.zip && echo one > a.txt && " + cases[0].make);
    MessageListener skipper([](DWORD message, WPARAM) {
        return message == WIM_MSG_ERROR ? WIM_MSG_SKIP_ERROR : WIM_MSG_SUCCESS;
    });
    HANDLE handle = Create(fresh);
    ASSERT_NE(handle, nullptr);
    HANDLE image = WIMCaptureImage(handle, DosPath(source).c_str(), 0);
    EXPECT_NE(image, nullptr) << GetLastError();
    WIMCloseHandle(image);
    WIMCloseHandle(handle);
    EXPECT_EQ(ShellOutput("wimlib-imagex dir " + Quoted(fresh) + " 1"), "/\n/a.txt\n/b.zip\n");
}

}  // namespace
