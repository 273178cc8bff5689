// Applying an image to a folder with wimlib, UNIX owners, modes, special
// files and links included. wimlib says little while it extracts, so the
// library's messages are made here: one WIM_MSG_PROCESS per item (folders
// and empty files as the tree is laid out, files as their data comes out, in
// the order wimlib reads it), WIM_MSG_PROGRESS from the bytes written, and
// WIM_MSG_ERROR and WIM_MSG_WARNING from the texts wimlib prints, with the
// caller's path of the file they name.
#include "imaging/wimlib/child_write.h"
#include "imaging/wimlib/file_io.h"
#include "imaging/wimlib/wimlib_texts.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace layer {

namespace {

// One item of the image: its path in the image, and where its data lies in
// the WIM, which is the order wimlib extracts data in.
struct ApplyItem {
    std::string path;  // in the image, '/'-separated, from the root
    bool directory = false;
    bool hasData = false;
    bool regular = false;  // a plain file whose data can be read back
    uint64_t position = 0;
    uint64_t resourceOffset = 0;  // where the resource holding its data starts
    uint64_t size = 0;
    bool missing = false;  // its data is not in the file
    uint8_t hash[20] = {};
};

struct ApplyRun {
    uintptr_t wim = 0;
    WString callerTarget;          // as the caller gave it, without a trailing backslash
    std::vector<ApplyItem> items;  // structure items first, then data items in data order
    size_t structureItems = 0;
    std::vector<uint64_t> dataEnds;  // per data item: bytes extracted once its data is out
    size_t delivered = 0;
    DWORD startTick = 0;
    bool aborted = false;
};

WString CallerItemPath(const ApplyRun& run, const std::string& imagePath)
{
    WString path = run.callerTarget;
    for (WCHAR c : WideFromUtf8(imagePath))
        path.push_back(c == '/' ? WCHAR('\\') : c);
    return path;
}

int CollectItem(const struct wimlib_dir_entry* entry, void* context)
{
    auto& items = *static_cast<std::vector<ApplyItem>*>(context);
    if (entry->depth == 0)
        return 0;
    ApplyItem item;
    item.path = entry->full_path;
    item.directory = (entry->attributes & WIMLIB_FILE_ATTRIBUTE_DIRECTORY) != 0;
    const struct wimlib_resource_entry& data = entry->streams[0].resource;
    item.regular = !item.directory && (entry->attributes & WIMLIB_FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                   (entry->unix_mode == 0 || S_ISREG(entry->unix_mode));
    item.size = data.uncompressed_size;
    item.hasData = !item.directory && item.size != 0;
    item.position = data.packed ? data.raw_resource_offset_in_wim + data.offset : data.offset;
    item.resourceOffset = data.packed ? data.raw_resource_offset_in_wim : data.offset;
    item.missing = item.hasData && data.is_missing;
    std::memcpy(item.hash, data.sha1_hash, sizeof item.hash);
    items.push_back(std::move(item));
    return 0;
}

// Orders the items the way wimlib makes them: folders and empty files while
// it lays out the tree, then files as their data is read, in file order.
void PlanItems(ApplyRun& run)
{
    std::stable_partition(run.items.begin(), run.items.end(),
                          [](const ApplyItem& item) { return !item.hasData; });
    run.structureItems = static_cast<size_t>(
        std::find_if(run.items.begin(), run.items.end(), [](const ApplyItem& item) { return item.hasData; }) -
        run.items.begin());
    std::stable_sort(run.items.begin() + run.structureItems, run.items.end(),
                     [](const ApplyItem& a, const ApplyItem& b) { return a.position < b.position; });
    // Files with the same data (hard links, copies) are written together,
    // and their data counts once.
    uint64_t total = 0;
    const uint8_t* previous = nullptr;
    for (size_t i = run.structureItems; i < run.items.size(); ++i) {
        const ApplyItem& item = run.items[i];
        if (previous == nullptr || std::memcmp(previous, item.hash, sizeof item.hash) != 0)
            total += item.size;
        previous = item.hash;
        run.dataEnds.push_back(total);
    }
}

// Sends WIM_MSG_PROCESS for the items up to `until`; false on an abort answer.
bool DeliverItemsUpTo(ApplyRun& run, size_t until)
{
    BOOL include = TRUE;
    while (run.delivered < until && run.delivered < run.items.size()) {
        const WString path = CallerItemPath(run, run.items[run.delivered].path);
        ++run.delivered;
        include = TRUE;
        if (Deliver(run.wim, WIM_MSG_PROCESS, reinterpret_cast<WPARAM>(path.c_str()),
                    reinterpret_cast<LPARAM>(&include)))
            return false;
    }
    return true;
}

enum wimlib_progress_status ApplyProgress(enum wimlib_progress_msg message, union wimlib_progress_info* info,
                                          void* context)
{
    auto& run = *static_cast<ApplyRun*>(context);
    bool going = true;
    switch (message) {
    case WIMLIB_PROGRESS_MSG_EXTRACT_FILE_STRUCTURE: {
        const uint64_t end = info->extract.end_file_count;
        const uint64_t done = info->extract.current_file_count;
        going = DeliverItemsUpTo(run, end == 0 ? run.structureItems
                                               : static_cast<size_t>(run.structureItems * done / end));
        break;
    }
    case WIMLIB_PROGRESS_MSG_EXTRACT_STREAMS: {
        const uint64_t done = info->extract.completed_bytes;
        const uint64_t total = info->extract.total_bytes;
        size_t until = run.structureItems;
        going = DeliverItemsUpTo(run, run.structureItems);
        const auto end = std::upper_bound(run.dataEnds.begin(), run.dataEnds.end(), done);
        until += static_cast<size_t>(end - run.dataEnds.begin());
        if (going)
            going = DeliverItemsUpTo(run, until);
        if (going) {
            const ProgressFigures figures = EstimateProgress(done, total, run.startTick);
            Deliver(run.wim, WIM_MSG_PROGRESS, figures.percent, figures.remaining);
        }
        break;
    }
    case WIMLIB_PROGRESS_MSG_EXTRACT_METADATA:
    case WIMLIB_PROGRESS_MSG_EXTRACT_IMAGE_END:
        going = DeliverItemsUpTo(run, run.items.size());
        break;
    default:
        break;
    }
    if (!going)
        run.aborted = true;
    return run.aborted ? WIMLIB_PROGRESS_STATUS_ABORT : WIMLIB_PROGRESS_STATUS_CONTINUE;
}

// SHA-1, for reading applied data back.
class Sha1 {
public:
    void Add(const uint8_t* data, size_t size)
    {
        length_ += size;
        while (size > 0) {
            const size_t take = std::min(size, sizeof block_ - used_);
            std::memcpy(block_ + used_, data, take);
            used_ += take;
            data += take;
            size -= take;
            if (used_ == sizeof block_) {
                Compress(block_);
                used_ = 0;
            }
        }
    }

    void Finish(uint8_t digest[20])
    {
        const uint64_t bits = length_ * 8;
        const uint8_t pad = 0x80;
        Add(&pad, 1);
        const uint8_t zero = 0;
        while (used_ != 56)
            Add(&zero, 1);
        uint8_t tail[8];
        for (int i = 0; i < 8; ++i)
            tail[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
        Add(tail, 8);
        for (int i = 0; i < 5; ++i) {
            for (int j = 0; j < 4; ++j)
                digest[4 * i + j] = static_cast<uint8_t>(state_[i] >> (24 - 8 * j));
        }
    }

private:
    static uint32_t Rotate(uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

    void Compress(const uint8_t* block)
    {
        uint32_t w[80];
        for (int i = 0; i < 16; ++i)
            w[i] = uint32_t(block[4 * i]) << 24 | uint32_t(block[4 * i + 1]) << 16 |
                   uint32_t(block[4 * i + 2]) << 8 | block[4 * i + 3];
        for (int i = 16; i < 80; ++i)
            w[i] = Rotate(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
        for (int i = 0; i < 80; ++i) {
            uint32_t f, k;
            if (i < 20) {
                f = (b & c) | (~b & d);
                k = 0x5A827999;
            } else if (i < 40) {
                f = b ^ c ^ d;
                k = 0x6ED9EBA1;
            } else if (i < 60) {
                f = (b & c) | (b & d) | (c & d);
                k = 0x8F1BBCDC;
            } else {
                f = b ^ c ^ d;
                k = 0xCA62C1D6;
            }
            const uint32_t next = Rotate(a, 5) + f + e + k + w[i];
            e = d;
            d = c;
            c = Rotate(b, 30);
            b = a;
            a = next;
        }
        state_[0] += a;
        state_[1] += b;
        state_[2] += c;
        state_[3] += d;
        state_[4] += e;
    }

    uint32_t state_[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    uint8_t block_[64] = {};
    size_t used_ = 0;
    uint64_t length_ = 0;
};

// Reads an applied file back and compares it with the image's hash; the
// last error tells why when it does not match or cannot be read.
bool AppliedDataMatches(const std::string& unixPath, const ApplyItem& item, std::vector<uint8_t>& buffer)
{
    const int descriptor = open(unixPath.c_str(), O_RDONLY | O_NOFOLLOW);
    if (descriptor < 0)
        return FailErrno(ERROR_FILE_NOT_FOUND);
    Sha1 hash;
    uint64_t total = 0;
    for (;;) {
        const ssize_t got = read(descriptor, buffer.data(), buffer.size());
        if (got < 0) {
            const int error = errno;
            close(descriptor);
            return Fail(Win32FromErrno(error, ERROR_READ_FAULT));
        }
        if (got == 0)
            break;
        hash.Add(buffer.data(), static_cast<size_t>(got));
        total += static_cast<uint64_t>(got);
    }
    close(descriptor);
    if (total != item.size)
        return Fail(ERROR_CRC);
    if (total == 0)
        return true;  // an empty file has no data and no hash
    uint8_t digest[20];
    hash.Finish(digest);
    if (std::memcmp(digest, item.hash, sizeof digest) != 0)
        return Fail(ERROR_CRC);
    return true;
}

// The file a wimlib text is about: its first quoted path inside `root`.
bool PathInText(const std::string& text, const std::string& root, std::string& relative)
{
    for (size_t open = text.find('"'); open != std::string::npos; open = text.find('"', open + 1)) {
        const size_t close = text.find('"', open + 1);
        if (close == std::string::npos)
            return false;
        const std::string quoted = text.substr(open + 1, close - open - 1);
        if (quoted == root || quoted.rfind(root + "/", 0) == 0) {
            relative = quoted.substr(root.size());
            return true;
        }
        open = close;
    }
    return false;
}

// The system error a wimlib text ends with (": No space left on device").
DWORD CodeInText(const std::string& text, DWORD fallback)
{
    for (int error = 1; error < 134; ++error) {
        const std::string ending = std::string(": ") + strerror(error);
        if (text.size() >= ending.size() &&
            text.compare(text.size() - ending.size(), ending.size(), ending) == 0)
            return Win32FromErrno(error, fallback);
    }
    return fallback;
}

// Tells the callbacks what wimlib printed while the apply ran: errors and
// warnings with the caller's path of the file they name.
void DeliverTexts(ApplyRun& run, WimlibTexts& texts, const std::string& unixTarget, DWORD failure)
{
    bool errorSent = false;
    for (const WimlibTexts::Text& text : texts.Read()) {
        std::string relative;
        const WString path =
            PathInText(text.text, unixTarget, relative) ? CallerItemPath(run, relative) : run.callerTarget;
        if (text.warning) {
            Deliver(run.wim, WIM_MSG_WARNING, reinterpret_cast<WPARAM>(path.c_str()),
                    CodeInText(text.text, 0));
        } else if (failure != ERROR_SUCCESS && !errorSent) {
            errorSent = true;
            Deliver(run.wim, WIM_MSG_ERROR, reinterpret_cast<WPARAM>(path.c_str()), failure);
        }
    }
    if (failure != ERROR_SUCCESS && failure != ERROR_REQUEST_ABORTED && !errorSent)
        Deliver(run.wim, WIM_MSG_ERROR, reinterpret_cast<WPARAM>(run.callerTarget.c_str()), failure);
}

// ---------------------------------------------------------------------------
// WIM_FLAG_NO_APPLY: the image is walked and nothing is written; with
// WIM_FLAG_VERIFY every stored file's data is read back against its hash.

struct CheckRun {
    uintptr_t wim = 0;
    DWORD startTick = 0;
};

enum wimlib_progress_status CheckProgress(enum wimlib_progress_msg message, union wimlib_progress_info* info,
                                          void* context)
{
    const auto& run = *static_cast<CheckRun*>(context);
    if (message != WIMLIB_PROGRESS_MSG_VERIFY_STREAMS || info == nullptr)
        return WIMLIB_PROGRESS_STATUS_CONTINUE;
    const ProgressFigures figures = EstimateProgress(info->verify_streams.completed_bytes,
                                                     info->verify_streams.total_bytes, run.startTick);
    Deliver(run.wim, WIM_MSG_PROGRESS, figures.percent, figures.remaining);
    return WIMLIB_PROGRESS_STATUS_CONTINUE;
}

// The figure after `label` in one of wimlib's texts ("Expected SHA-1: 3fa1...").
bool FieldInText(const std::string& text, const char* label, std::string& value)
{
    const size_t at = text.find(label);
    if (at == std::string::npos)
        return false;
    size_t start = at + std::strlen(label);
    while (start < text.size() && text[start] == ' ')
        ++start;
    size_t end = start;
    while (end < text.size() && std::isxdigit(static_cast<unsigned char>(text[end])))
        ++end;
    value = text.substr(start, end - start);
    return !value.empty();
}

bool HashFromHex(const std::string& hex, uint8_t hash[20])
{
    if (hex.size() != 40)
        return false;
    for (size_t i = 0; i < 20; ++i)
        hash[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    return true;
}

// Where the damage lies, from what wimlib printed about it.
void LocateDamage(WimFile::DataCheck& check, WimlibTexts& texts)
{
    for (const WimlibTexts::Text& text : texts.Read()) {
        std::string value;
        if (!check.hashKnown && FieldInText(text.text, "Expected SHA-1:", value))
            check.hashKnown = HashFromHex(value, check.hash);
        if (!check.offsetKnown && FieldInText(text.text, "Resource offset in WIM:", value)) {
            check.offset = std::stoull(value);
            check.offsetKnown = true;
        }
    }
}

bool Damaged(const WimFile::DataCheck& check, const ApplyItem& item)
{
    if (check.failure == ERROR_SUCCESS || !item.hasData)
        return false;
    if (check.hashKnown)
        return std::memcmp(check.hash, item.hash, sizeof item.hash) == 0;
    return check.offsetKnown && check.offset == item.resourceOffset;
}

// Whether an entry of any image holds the damaged data; otherwise no image's
// check would name it. Read only once damage is found.
bool AnyImageHolds(WimFile& file, const WimFile::DataCheck& check)
{
    struct wimlib_wim_info info = {};
    if (wimlib_get_wim_info(file.wim, &info) != 0)
        return false;
    for (int index = 1; index <= static_cast<int>(info.image_count); ++index) {
        std::vector<ApplyItem> items;
        if (wimlib_iterate_dir_tree(file.wim, index, WIMLIB_WIM_ROOT_PATH,
                                    WIMLIB_ITERATE_DIR_TREE_FLAG_RECURSIVE, CollectItem, &items) != 0)
            continue;
        if (std::any_of(items.begin(), items.end(),
                        [&](const ApplyItem& item) { return Damaged(check, item); }))
            return true;
    }
    return false;
}

// Reads all the file's data once, in a child so that an abort stops it at
// once; false only on an abort. wimlib stops at the first damage it meets.
bool CheckFileData(WimFile& file, uintptr_t wim)
{
    if (file.dataCheck.done)
        return true;
    WimFile::DataCheck check;
    CheckRun run{wim, GetTickCount()};
    {
        WimlibTexts texts;
        RegisterProgress(file, CheckProgress, &run);
        const bool checked = WimlibSucceeds(
            [&] { return WriteInChild(file, [&] { return wimlib_verify_wim(file.wim, 0); }); });
        const DWORD failure = checked ? ERROR_SUCCESS : GetLastError();
        RegisterProgress(file, ProgressBridge, &file.progress);
        if (failure == ERROR_REQUEST_ABORTED)
            return Fail(ERROR_REQUEST_ABORTED);
        check.failure = failure;
        if (failure != ERROR_SUCCESS)
            LocateDamage(check, texts);
    }
    // A read past the end is a file cut short, whatever the call called it.
    if (check.failure != ERROR_SUCCESS && check.offsetKnown) {
        struct stat status;
        if (stat(file.unixPath.c_str(), &status) == 0 &&
            check.offset >= static_cast<uint64_t>(status.st_size))
            check.failure = ERROR_HANDLE_EOF;
    }
    check.referenced = check.failure != ERROR_SUCCESS && (check.hashKnown || check.offsetKnown) &&
                       AnyImageHolds(file, check);
    check.done = true;
    file.dataCheck = check;
    return true;
}

// What a check found wrong with an entry, as the library names it.
DWORD EntryFailure(DWORD failure)
{
    if (failure == ERROR_CRC || failure == ERROR_HANDLE_EOF)
        return failure;
    return ERROR_CRC;
}

// Walks image `index` as an apply to nowhere: every item is told, entries
// whose data the file lacks or that fail the data check are told as errors.
BOOL WalkImage(WimFile& file, ApplyRun& run, bool verify)
{
    DWORD failure = ERROR_SUCCESS;
    const auto tell = [&](const WString& path, DWORD code) {
        if (failure == ERROR_SUCCESS)
            failure = code;
        Deliver(run.wim, WIM_MSG_ERROR, reinterpret_cast<WPARAM>(path.c_str()), code);
    };
    if (!DeliverItemsUpTo(run, run.items.size()))
        return Fail(ERROR_REQUEST_ABORTED);
    for (const ApplyItem& item : run.items) {
        if (item.missing)
            tell(CallerItemPath(run, item.path), ERROR_NOT_FOUND);
    }
    if (verify) {
        if (!CheckFileData(file, run.wim))
            return FALSE;
        WimFile::DataCheck& check = file.dataCheck;
        bool found = false;
        for (const ApplyItem& item : run.items) {
            if (!item.missing && Damaged(check, item)) {
                found = true;
                tell(CallerItemPath(run, item.path), EntryFailure(check.failure));
            }
        }
        // Damage in another image's metadata or missing data, or in data
        // another image holds, is that image's to tell; damage no entry
        // holds is told once.
        const bool elsewhere =
            check.failure == ERROR_FILE_CORRUPT || check.failure == ERROR_NOT_FOUND || check.referenced;
        if (check.failure != ERROR_SUCCESS && !found && !elsewhere && !check.named) {
            check.named = true;
            tell(run.callerTarget, check.failure);
        }
    }
    if (failure != ERROR_SUCCESS)
        return Fail(failure);
    Deliver(run.wim, WIM_MSG_PROGRESS, 100, 0);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace

BOOL WINAPI LayerApplyImage(HANDLE image, PCWSTR path, DWORD flags)
{
    std::shared_ptr<HandleEntry> entry = Lookup(image, HandleKind::Image);
    if (entry == nullptr)
        return FALSE;
    std::string unixTarget;
    if (!UnixPathFromDos(path, unixTarget))
        return FALSE;
    while (unixTarget.size() > 1 && unixTarget.back() == '/')
        unixTarget.pop_back();
    WimFile& file = *entry->file;
    std::lock_guard<std::recursive_mutex> guard(file.lock);
    if (!Current(file))
        return FALSE;
    const int index = static_cast<int>(entry->index);

    ApplyRun run;
    run.wim = file.progress.wim;
    run.callerTarget = path;
    while (!run.callerTarget.empty() && run.callerTarget.back() == '\\')
        run.callerTarget.pop_back();
    if (!WimlibSucceeds([&] {
            return wimlib_iterate_dir_tree(file.wim, index, WIMLIB_WIM_ROOT_PATH,
                                           WIMLIB_ITERATE_DIR_TREE_FLAG_RECURSIVE, CollectItem, &run.items);
        }))
        return FALSE;
    PlanItems(run);
    run.startTick = GetTickCount();
    if (flags & WIM_FLAG_NO_APPLY)
        return WalkImage(file, run, (flags & WIM_FLAG_VERIFY) != 0);

    DWORD failure = ERROR_SUCCESS;
    {
        WimlibTexts texts;
        RegisterProgress(file, ApplyProgress, &run);
        // In a child: a solid chunk is decompressed whole before wimlib asks
        // for an abort again.
        if (!WimlibSucceeds([&] {
                return WriteInChild(file, [&] {
                    return wimlib_extract_image(file.wim, index, unixTarget.c_str(),
                                                WIMLIB_EXTRACT_FLAG_UNIX_DATA);
                });
            }))
            failure = GetLastError();
        RegisterProgress(file, ProgressBridge, &file.progress);
        DeliverTexts(run, texts, unixTarget, failure);
    }
    if (failure == ERROR_SUCCESS && (flags & WIM_FLAG_VERIFY)) {
        std::vector<uint8_t> buffer(1 << 20);
        for (const ApplyItem& item : run.items) {
            if (!item.regular)
                continue;
            if (!AppliedDataMatches(unixTarget + item.path, item, buffer)) {
                failure = GetLastError();
                const WString itemPath = CallerItemPath(run, item.path);
                Deliver(run.wim, WIM_MSG_ERROR, reinterpret_cast<WPARAM>(itemPath.c_str()), failure);
                break;
            }
        }
    }
    if (failure != ERROR_SUCCESS)
        return Fail(failure);
    Deliver(run.wim, WIM_MSG_PROGRESS, 100, 0);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace layer
