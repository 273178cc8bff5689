#include "capture_config/capture_config.h"

#include "base/resource.h"
#include "base/user_path.h"

#include "base/log.h"

#include <iterator>

namespace {

const WCHAR* const kDefaultExclusions[] = {
    WSTR("\\$windows.~bt"),    WSTR("\\$windows.~ls"),
    WSTR("\\winpepge.sys"),    WSTR("\\Windows\\CSC"),
    WSTR("\\Recycled"),        WSTR("\\Recycler"),
    WSTR("\\$Recycle.Bin\\*"), WSTR("\\System Volume Information"),
    WSTR("\\swapfile.sys"),    WSTR("\\pagefile.sys"),
    WSTR("\\hiberfil.sys"),
};

const WCHAR* const kDefaultCompressionExclusions[] = {
    WSTR("*.mp3"), WSTR("*.zip"), WSTR("*.cab"), WSTR("*.rar"), WSTR("*.7z"), WSTR("*.pnf"), WSTR("*.wim"),
};

const WCHAR kDefaultConfigName[] = WSTR("wimscript.ini");

// A line longer than this is not a pattern or a header; it is dropped whole.
constexpr size_t kMaxLineLength = 4095;

bool IsLineSpace(WCHAR c)
{
    return c == WSTR(' ') || c == WSTR('\t') || c == WSTR('\n') || c == WSTR('\v') || c == WSTR('\f') ||
           c == WSTR('\r');
}

// The file's text encoding, told by its byte-order mark. Without one every
// byte is a character of the same value.
enum class Encoding { Bytes, Utf16Little, Utf16Big };

// Turns the file's characters into lines and the lines into patterns.
class ConfigReader {
public:
    explicit ConfigReader(TaskState& task) : task_(task) {}

    void Take(WCHAR c)
    {
        // A NUL is never part of a path; dropping it also reads the ASCII
        // range of a UTF-16 file that has no byte-order mark.
        if (c == 0)
            return;
        if (c == WSTR('\n')) {
            EndLine();
            return;
        }
        if (length_ < kMaxLineLength)
            line_[length_++] = c;
        else
            overlong_ = true;
    }

    void EndLine()
    {
        if (!overlong_)
            TakeLine(WStringView(line_, length_));
        length_ = 0;
        overlong_ = false;
    }

private:
    void TakeLine(WStringView line)
    {
        while (!line.empty() && IsLineSpace(line.back()))
            line.remove_suffix(1);
        if (!line.empty() && line.front() == WSTR('"') && line.back() == WSTR('"')) {
            line.remove_prefix(1);
            if (!line.empty())
                line.remove_suffix(1);
        }
        if (EqualsIgnoringCase(line, WSTR("[ExclusionList]"))) {
            section_ = &task_.exclusions;
        } else if (EqualsIgnoringCase(line, WSTR("[CompressionExclusionList]"))) {
            section_ = &task_.compressionExclusions;
        } else if (EqualsIgnoringCase(line, WSTR("[ExclusionException]"))) {
            section_ = &task_.exclusionExceptions;
        } else if (!line.empty() && section_ != nullptr) {
            AddUniquePattern(*section_, line);
        }
    }

    TaskState& task_;
    PatternList* section_ = nullptr;
    WCHAR line_[kMaxLineLength];
    size_t length_ = 0;
    bool overlong_ = false;
};

// The program's folder followed by wimscript.ini; false when it does not fit.
bool DefaultConfigPath(WCHAR* path)
{
    WCHAR module[kTextBufferSize];
    DWORD length = GetModuleFileNameW(nullptr, module, kTextBufferSize);
    if (length == 0 || length >= static_cast<DWORD>(kTextBufferSize))
        return false;
    size_t folderLength = SplitPathText(module, length).nameStart;
    WString candidate(module, folderLength);
    if (candidate.empty() || (candidate.back() != WSTR('\\') && candidate.back() != WSTR('/')))
        candidate += WSTR('\\');
    candidate += kDefaultConfigName;
    if (candidate.size() >= static_cast<size_t>(kTextBufferSize))
        return false;
    CopyToBuffer(path, kTextBufferSize, candidate);
    return true;
}

void LogList(TaskState& task, const PatternList& list, const WCHAR* header)
{
    if (list.count <= 0)
        return;
    AppendLog(task, header);
    for (int32_t i = 0; i < list.count; ++i)
        AppendLog(task, list.entries[static_cast<size_t>(i)].pattern);
}

}  // namespace

bool MakePatternEntry(PatternEntry& entry, WStringView text)
{
    entry = PatternEntry();
    if (text.size() > kMaxPatternLength)
        return false;
    entry.pattern.assign(text);
    UpperCaseInPlace(entry.pattern.data(), entry.pattern.size());

    const WCHAR* upper = entry.pattern.data();
    PathSplit split = SplitPathText(upper, entry.pattern.size());
    WStringView folder(upper + split.directoryStart, split.nameStart - split.directoryStart);
    if (folder.empty() || (folder.front() != WSTR('\\') && folder.front() != WSTR('/')))
        entry.directory = WSTR("\\");
    entry.directory += folder;
    // Paths are matched with backslashes; a slash in a pattern means the same.
    for (WCHAR& c : entry.directory) {
        if (c == WSTR('/'))
            c = WSTR('\\');
    }
    entry.directoryLength = entry.directory.size();
    entry.name.assign(upper + split.nameStart, entry.pattern.size() - split.nameStart);
    entry.hasWildcard =
        (entry.name.find(WSTR('*')) != WString::npos || entry.name.find(WSTR('?')) != WString::npos) ? 1 : 0;
    return true;
}

bool AddUniquePattern(PatternList& list, WStringView text)
{
    if (list.count < 0 || list.count >= list.capacity ||
        static_cast<size_t>(list.count) >= list.entries.size())
        return false;
    if (text.empty())
        return false;
    PatternEntry entry;
    if (!MakePatternEntry(entry, text))
        return false;
    for (int32_t i = 0; i < list.count; ++i) {
        if (list.entries[static_cast<size_t>(i)].pattern == entry.pattern)
            return false;
    }
    list.entries[static_cast<size_t>(list.count)] = std::move(entry);
    ++list.count;
    return true;
}

bool ReadConfigSections(TaskState& task, HANDLE file)
{
    ConfigReader reader(task);
    static constexpr DWORD kChunk = 64 * 1024;
    std::vector<unsigned char> chunk(kChunk);
    Encoding encoding = Encoding::Bytes;
    bool first = true;
    int pendingByte = -1;  // the first byte of a UTF-16 unit split by a chunk end
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, chunk.data(), kChunk, &got, nullptr))
            return false;
        if (got == 0)
            break;
        size_t at = 0;
        if (first) {
            first = false;
            if (got >= 2 && chunk[0] == 0xFF && chunk[1] == 0xFE) {
                encoding = Encoding::Utf16Little;
                at = 2;
            } else if (got >= 2 && chunk[0] == 0xFE && chunk[1] == 0xFF) {
                encoding = Encoding::Utf16Big;
                at = 2;
            } else if (got >= 3 && chunk[0] == 0xEF && chunk[1] == 0xBB && chunk[2] == 0xBF) {
                at = 3;
            }
        }
        for (; at < got; ++at) {
            if (encoding == Encoding::Bytes) {
                reader.Take(static_cast<WCHAR>(chunk[at]));
            } else if (pendingByte < 0) {
                pendingByte = chunk[at];
            } else {
                unsigned earlier = static_cast<unsigned>(pendingByte);
                unsigned later = chunk[at];
                pendingByte = -1;
                reader.Take(static_cast<WCHAR>(encoding == Encoding::Utf16Little ? earlier | (later << 8)
                                                                                 : (earlier << 8) | later));
            }
        }
    }
    reader.EndLine();
    return true;
}

bool LoadCaptureConfig(TaskState& task)
{
    ResetPatternList(task.exclusions);
    for (const WCHAR* pattern : kDefaultExclusions)
        AddUniquePattern(task.exclusions, pattern);
    ResetPatternList(task.compressionExclusions);
    for (const WCHAR* pattern : kDefaultCompressionExclusions)
        AddUniquePattern(task.compressionExclusions, pattern);
    ResetPatternList(task.exclusionExceptions);

    WCHAR path[kTextBufferSize];
    if (!task.captureConfigFile.empty()) {
        UserPath file;
        if (!TakeUserPath(file, task.captureConfigFile)) {
            LogMessage(task, IDS_CONFIG_FILE_LINE, static_cast<const WCHAR*>(file.text));
            LogMessage(task, IDS_CONFIG_FILE_FAILED);
            return false;
        }
        CopyToBuffer(path, kTextBufferSize, file.text);
    } else {
        if (!DefaultConfigPath(path) || GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES)
            return true;
    }

    LogMessage(task, IDS_CONFIG_FILE_LINE, static_cast<const WCHAR*>(path));
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        LogMessage(task, IDS_CONFIG_FILE_FAILED);
        return false;
    }
    // A file that fails part-way would leave a list the user did not write.
    bool read = ReadConfigSections(task, file);
    CloseHandle(file);
    if (!read) {
        LogMessage(task, IDS_CONFIG_FILE_FAILED);
        return false;
    }
    return true;
}

void LogPatternLists(TaskState& task)
{
    LogList(task, task.exclusions, WSTR("\r\n[ExclusionList]"));
    LogList(task, task.compressionExclusions, WSTR("\r\n[CompressionExclusionList]"));
    LogList(task, task.exclusionExceptions, WSTR("\r\n[ExclusionException]"));
}
