// A scripted imaging library for operation tests: it records every call with
// its arguments, answers with scripted results and last-error codes, holds
// image XML in memory and delivers scripted messages to the registered
// callback. Constructing one puts it in place of the platform library;
// destroying it puts the previous library back.
#pragma once

#include "base/text.h"
#include "imaging/wimgapi.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

struct ScriptedMessage {
    DWORD id;
    WPARAM wParam;
    LPARAM lParam;
};

class ScriptedImaging {
public:
    ScriptedImaging();
    ~ScriptedImaging();
    ScriptedImaging(const ScriptedImaging&) = delete;
    ScriptedImaging& operator=(const ScriptedImaging&) = delete;

    // The call `name` (the library's name, e.g. "WIMCreateFile") fails with
    // `error` from its `nth` invocation on (1 = the first).
    void Fail(const std::string& name, DWORD error, int nth = 1);
    // The same, but only the `nth` invocation fails; the others succeed.
    void FailOnce(const std::string& name, DWORD error, int nth);

    // Messages sent to the registered callbacks while `name` runs; the
    // callbacks' verdicts are kept in `verdicts`.
    void DeliverDuring(const std::string& name, std::vector<ScriptedMessage> messages);

    // Runs inside `name` before it answers (for tests that block a call).
    void Hook(const std::string& name, std::function<void()> action);

    // The recorded calls, one line each: name(arg, arg, ...).
    std::vector<std::string> calls;
    std::string CallText() const;
    int CallCount(const std::string& name) const;

    // What the library reports.
    WIM_INFO info{};                    // WIMGetAttributes; ImageCount drives the rest
    std::map<DWORD, WString> imageXml;  // by 1-based index, without byte-order mark
    WString fileXml;                    // WIMGetImageInformation on the WIM handle
    DWORD bootIndex = 0;                // set by WIMSetBootImage
    bool openAlwaysCreates = true;      // WIM_OPEN_ALWAYS reports a new file

    // WIMFindFirstImageFile / WIMFindNextImageFile answer a path with these
    // (one find at a time).
    std::map<WString, std::vector<WIM_FIND_DATA>> found;
    WString findPath;
    size_t findNext = 0;
    static inline const HANDLE kFindHandle = reinterpret_cast<HANDLE>(0x3000);

    // WIMGetMountedImages lists these, in this order.
    std::vector<WIM_MOUNT_LIST> mounted;

    // The exact bytes of each WIMSetImageInformation call.
    std::vector<std::vector<unsigned char>> storedInformation;
    std::vector<DWORD> verdicts;

    static inline const HANDLE kWimHandle = reinterpret_cast<HANDLE>(0x1000);
    static HANDLE ImageHandle(DWORD index)
    {
        return reinterpret_cast<HANDLE>(0x2000 + static_cast<UINT_PTR>(index));
    }

    // Used by the table's entries.
    static ScriptedImaging* current;
    bool Enter(const std::string& name, const std::vector<std::string>& arguments);
    // Wrapped: the callback type carries a calling-convention attribute that
    // a template argument would drop.
    struct Registered {
        WIMMessageCallback function;
    };
    std::vector<Registered> callbacks;

private:
    const ImagingLibrary* previous_;
    ScriptedImaging* outer_;  // one made inside another's lifetime hands back to it
    struct Failure {
        DWORD error;
        int nth;
        bool once;
    };
    std::map<std::string, Failure> failures_;
    std::map<std::string, int> invocations_;
    std::map<std::string, std::vector<ScriptedMessage>> messages_;
    std::map<std::string, std::function<void()>> hooks_;
};

// Test text helpers shared by the operation tests.
std::string Narrow(WStringView text);
std::string HandleText(HANDLE handle);
// The system's text of `code`, as the log shows it.
std::string SystemText(DWORD code);
// The log line that gives the reason for a failure: string 201 with the
// system's text of `code`, and CR LF.
std::string ReasonLine(DWORD code);
// Splits a log that ends with the success closing line of delete or change
// (string 174, or string 173 with a duration such as "45s" or "2m05s") into
// what comes before it; false when the log does not end so.
bool SplitClosingLine(const std::string& log, std::string* before);
