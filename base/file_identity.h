// What proves that a file is the one a program made: its volume and file
// number, taken when it was made and compared again through the handle that
// removes it. A name alone proves nothing: another program may have made or
// replaced the file under it meanwhile. A file number is unique only while
// the file exists (ext4 gives a freed one to the next new file at once), so
// the maker holds the file open, for attributes only, until it removes it:
// that keeps the number its own and shares nothing away from other programs.
#pragma once

#include "base/text.h"

struct FileIdentity {
    DWORD volume = 0;
    ULONGLONG index = 0;
    bool known = false;
};

// The identity of the file that `path` names now; not known when it cannot
// be opened.
FileIdentity IdentityOfFile(const WCHAR* path);

// Deletes the file `path` names only while it is the file of `identity`.
// False, with nothing deleted, otherwise; ERROR_FILE_EXISTS when another
// file has the name now.
bool DeleteFileIfSame(const WCHAR* path, const FileIdentity& identity);

// A file this program has just made, held until it is removed or let go.
class MadeFile {
public:
    MadeFile() = default;
    ~MadeFile();
    MadeFile(const MadeFile&) = delete;
    MadeFile& operator=(const MadeFile&) = delete;

    // Takes the file `path` names now as made by us; call it right after
    // the call that created it. False when it cannot be held.
    bool Hold(const WCHAR* path);
    // Removes it if the name still holds it, then lets it go; false when
    // nothing was removed.
    bool Remove();
    // Keeps the file: nothing will remove it.
    void Release();
    bool Held() const { return pin_ != INVALID_HANDLE_VALUE; }
    const WString& Path() const { return path_; }

private:
    HANDLE pin_ = INVALID_HANDLE_VALUE;
    FileIdentity identity_;
    WString path_;
};
