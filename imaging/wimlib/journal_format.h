// The rollback journal's bytes and the test of whether it still speaks of
// the file at its name. Plain POSIX, no Windows types: the mount helper,
// a Unix program, settles a commit's journal with the same code.
//
// Layout (numbers 8 bytes, little-endian): the magic "CVJRNL02", the WIM's
// device and inode, its size before the write, where the saved tail starts
// and its length, the WIM's header as it was, the tail, and a checksum of
// all that. Once the write has put a new header in place, an appendix may
// follow: that header and a checksum of the first checksum and it. A
// journal cut short is known by its checksum; an appendix cut short is left
// out (it was never complete, so nothing was put back on the strength of it).
//
// The earlier format ("CVJRNL01") had neither identity nor appendix: the
// size, tail start and tail length, the header, the tail and the checksum.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace journal {

constexpr size_t kHeaderSize = 208;
constexpr size_t kFlagsOffset = 16;
// wimlib sets this flag in the header as its in-place write begins, and
// writes the new header without it as the write ends.
constexpr uint32_t kWriteInProgress = 0x40;
constexpr char kMagic[8] = {'C', 'V', 'J', 'R', 'N', 'L', '0', '2'};
constexpr char kOldMagic[8] = {'C', 'V', 'J', 'R', 'N', 'L', '0', '1'};

struct Record {
    int version = 2;
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t fileSize = 0;
    uint64_t tailStart = 0;
    std::string savedHeader;  // the header before the write
    std::string tail;         // the bytes from tailStart to fileSize before the write
    std::string newHeader;    // the header the write put in place, when known
};

enum class Parse { Valid, Torn, Foreign };

inline uint64_t Checksum(const char* bytes, size_t size)
{
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i < size; ++i) {
        hash ^= static_cast<unsigned char>(bytes[i]);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

inline void PutNumber(std::string& out, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

inline uint64_t GetNumber(const std::string& bytes, size_t at)
{
    uint64_t value = 0;
    for (size_t i = 8; i > 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i - 1]);
    return value;
}

// The journal as written before the WIM is touched.
inline std::string Encode(const Record& record)
{
    std::string bytes(kMagic, sizeof kMagic);
    PutNumber(bytes, record.device);
    PutNumber(bytes, record.inode);
    PutNumber(bytes, record.fileSize);
    PutNumber(bytes, record.tailStart);
    PutNumber(bytes, record.tail.size());
    bytes += record.savedHeader;
    bytes += record.tail;
    PutNumber(bytes, Checksum(bytes.data(), bytes.size()));
    return bytes;
}

// What follows the journal once the new header is known; `mainChecksum` is
// the journal's own last 8 bytes.
inline std::string EncodeAppendix(const std::string& mainChecksum, const std::string& newHeader)
{
    std::string bytes = mainChecksum + newHeader;
    std::string appendix = newHeader;
    PutNumber(appendix, Checksum(bytes.data(), bytes.size()));
    return appendix;
}

inline Parse Decode(const std::string& bytes, Record& record)
{
    const bool current = bytes.compare(0, sizeof kMagic, kMagic, std::min(bytes.size(), sizeof kMagic)) == 0;
    const bool old =
        bytes.compare(0, sizeof kOldMagic, kOldMagic, std::min(bytes.size(), sizeof kOldMagic)) == 0;
    if (!current && !old)
        return Parse::Foreign;
    const size_t numbers = old ? 3 : 5;
    const size_t fixed = sizeof kMagic + 8 * numbers;
    if (bytes.size() < fixed + kHeaderSize + 8)
        return Parse::Torn;
    record = Record{};
    record.version = old ? 1 : 2;
    size_t at = sizeof kMagic;
    if (!old) {
        record.device = GetNumber(bytes, at);
        record.inode = GetNumber(bytes, at + 8);
        at += 16;
    }
    record.fileSize = GetNumber(bytes, at);
    record.tailStart = GetNumber(bytes, at + 8);
    const uint64_t tailSize = GetNumber(bytes, at + 16);
    const uint64_t room = bytes.size() - fixed - kHeaderSize - 8;
    if (tailSize > room || record.tailStart + tailSize != record.fileSize || record.tailStart < kHeaderSize)
        return Parse::Torn;
    const size_t mainEnd = fixed + kHeaderSize + static_cast<size_t>(tailSize) + 8;
    if (GetNumber(bytes, mainEnd - 8) != Checksum(bytes.data(), mainEnd - 8))
        return Parse::Torn;
    record.savedHeader = bytes.substr(fixed, kHeaderSize);
    record.tail = bytes.substr(fixed + kHeaderSize, static_cast<size_t>(tailSize));
    // Anything else after the journal is its appendix, whole or not at all.
    if (!old && bytes.size() == mainEnd + kHeaderSize + 8) {
        const std::string newHeader = bytes.substr(mainEnd, kHeaderSize);
        if (EncodeAppendix(bytes.substr(mainEnd - 8, 8), newHeader) == bytes.substr(mainEnd))
            record.newHeader = newHeader;
    } else if (old && bytes.size() != mainEnd) {
        return Parse::Torn;
    }
    return Parse::Valid;
}

inline uint32_t FlagsOf(const std::string& header)
{
    uint32_t flags = 0;
    for (size_t i = 4; i > 0; --i)
        flags = (flags << 8) | static_cast<unsigned char>(header[kFlagsOffset + i - 1]);
    return flags;
}

// The saved header, or the same with wimlib's write-in-progress flag: what
// the file shows from the journal's writing until wimlib's last header.
inline bool IsSavedHeader(const std::string& header, const Record& record)
{
    auto cleared = [](std::string bytes) {
        const uint32_t flags = FlagsOf(bytes) & ~kWriteInProgress;
        for (size_t i = 0; i < 4; ++i)
            bytes[kFlagsOffset + i] = static_cast<char>((flags >> (8 * i)) & 0xFF);
        return bytes;
    };
    return header.size() == kHeaderSize && cleared(header) == cleared(record.savedHeader);
}

inline bool ReadFully(int descriptor, char* buffer, size_t size, uint64_t offset)
{
    while (size > 0) {
        const ssize_t got = pread(descriptor, buffer, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = EIO;
            return false;
        }
        buffer += got;
        size -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

inline bool WriteFully(int descriptor, const char* buffer, size_t size, uint64_t offset)
{
    while (size > 0) {
        const ssize_t put = pwrite(descriptor, buffer, size, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            if (put == 0)
                errno = ENOSPC;
            return false;
        }
        buffer += put;
        size -= static_cast<size_t>(put);
        offset += static_cast<uint64_t>(put);
    }
    return true;
}

// The header the file on `descriptor` has now ("" when it has none).
inline std::string CurrentHeader(int descriptor)
{
    std::string header(kHeaderSize, '\0');
    return ReadFully(descriptor, header.data(), header.size(), 0) ? header : std::string();
}

// Whether the journal was written for the file open on `descriptor` and
// that file is still in a state the interrupted write (or an interrupted
// putting back) left: the same file (device and inode; an old-format
// journal cannot tell), not cut below where the saved bytes go, and
// showing the saved header or the new one the write put in place. Any
// other header means another writer has made the file anew since.
inline bool Matches(int descriptor, const Record& record)
{
    struct stat status;
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    if (record.version >= 2 && (static_cast<uint64_t>(status.st_dev) != record.device ||
                                static_cast<uint64_t>(status.st_ino) != record.inode))
        return false;
    if (static_cast<uint64_t>(status.st_size) < record.tailStart)
        return false;
    const std::string header = CurrentHeader(descriptor);
    if (header.empty())
        return false;
    return IsSavedHeader(header, record) || (!record.newHeader.empty() && header == record.newHeader);
}

// Puts the saved bytes back: the tail first and the header last, so that a
// kill part way leaves a header that still matches the journal.
inline bool PutBack(int descriptor, const Record& record, int (*sync)(int))
{
    if (!WriteFully(descriptor, record.tail.data(), record.tail.size(), record.tailStart) ||
        ftruncate(descriptor, static_cast<off_t>(record.fileSize)) != 0 ||
        !WriteFully(descriptor, record.savedHeader.data(), record.savedHeader.size(), 0))
        return false;
    return sync(descriptor) == 0;
}

}  // namespace journal
