// The pieces apply, the image check and extraction share (apply_run.h).
#include "imaging/wimlib/apply_run.h"
#include "imaging/wimlib/child_write.h"
#include "imaging/wimlib/file_io.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace layer {

namespace {

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

}  // namespace

WString CallerItemPath(const ApplyRun& run, const std::string& imagePath)
{
    WString path = run.callerTarget;
    for (WCHAR c : WideFromUtf8(imagePath))
        path.push_back(c == '/' ? WCHAR('\\') : c);
    return path;
}

ApplyItem ItemOf(const struct wimlib_dir_entry* entry, std::string path)
{
    ApplyItem item;
    item.path = std::move(path);
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
    return item;
}

int CollectItem(const struct wimlib_dir_entry* entry, void* context)
{
    if (entry->depth != 0)
        static_cast<std::vector<ApplyItem>*>(context)->push_back(ItemOf(entry, entry->full_path));
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
    case WIMLIB_PROGRESS_MSG_EXTRACT_TREE_END:
        going = DeliverItemsUpTo(run, run.items.size());
        break;
    default:
        break;
    }
    if (!going)
        run.aborted = true;
    return run.aborted ? WIMLIB_PROGRESS_STATUS_ABORT : WIMLIB_PROGRESS_STATUS_CONTINUE;
}

DWORD CheckAppliedData(const ApplyRun& run, const std::string& root, const std::vector<std::string>& skipped)
{
    std::vector<uint8_t> buffer(1 << 20);
    for (const ApplyItem& item : run.items) {
        if (!item.regular || std::find(skipped.begin(), skipped.end(), item.path) != skipped.end())
            continue;
        if (!AppliedDataMatches(root + item.path, item, buffer)) {
            const DWORD failure = GetLastError();
            const WString itemPath = CallerItemPath(run, item.path);
            Deliver(run.wim, WIM_MSG_ERROR, reinterpret_cast<WPARAM>(itemPath.c_str()), failure);
            return failure;
        }
    }
    return ERROR_SUCCESS;
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

void StartRun(ApplyRun& run, const WimFile& file, PCWSTR callerTarget)
{
    run.wim = file.progress.wim;
    run.callerTarget = callerTarget;
    while (!run.callerTarget.empty() && run.callerTarget.back() == '\\')
        run.callerTarget.pop_back();
}

DWORD ExtractTelling(WimFile& file, ApplyRun& run, const std::string& landed,
                     const std::function<int()>& extract)
{
    WimlibTexts texts;
    RegisterProgress(file, ApplyProgress, &run);
    // In a child where a solid chunk would keep wimlib from asking for an
    // abort for long (child_write.h).
    const DWORD failure =
        WimlibSucceeds([&] { return WriteInChild(file, extract); }) ? ERROR_SUCCESS : GetLastError();
    RegisterProgress(file, ProgressBridge, &file.progress);
    DeliverTexts(run, texts, landed, failure);
    return failure;
}

BOOL EndRun(const ApplyRun& run, DWORD failure)
{
    if (failure != ERROR_SUCCESS)
        return Fail(failure);
    Deliver(run.wim, WIM_MSG_PROGRESS, 100, 0);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace layer
