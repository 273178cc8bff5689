// Opening the image a reading page works on, and listing its folders. Every
// reader of one image goes through OpenSourceImage, so that what a source can
// be (a WIM, an ESD, a set of parts) is decided in one place.
#pragma once

#include "base/task_state.h"
#include "operations/imaging_handles.h"
#include "operations/split_set.h"

#include <cstdint>
#include <vector>

// Where opening a source stopped.
enum class SourceStep { Ready, Set, Open, References, Attributes, SplitPart, NoSuchImage, Load };

// Declared in the order taken, so the image goes before its WIM.
struct SourceImage {
    SplitSet set;           // the parts of a split set, or the file alone
    size_t failedPart = 0;  // the part the library would not add
    WimHandle wim;
    WimHandle image;
    WIM_INFO info{};
};

// Opens `path` for reading (verifying its integrity when `check`), with the
// other parts of its split set when it is one, and loads image `index` into
// `source`. Ready, or the step that failed with the last error saying why.
SourceStep OpenSourceImage(const WCHAR* path, DWORD index, bool check, SourceImage& source);

// Logs the parts of a split set in use, one line each.
void LogSourceParts(TaskState& task, const SourceImage& source);

// Logs the line of the step that failed and its reason.
void LogSourceFailure(TaskState& task, SourceStep step, const SourceImage& source, int index);

// The same line and reason as one text, for a page without a log. `code` is
// the last error the step left.
WString SourceFailureText(SourceStep step, const SourceImage& source, int index, DWORD code);

// One entry of a folder in an image.
struct ImageEntry {
    WString name;
    uint64_t size = 0;
    FILETIME lastWrite{};
    DWORD attributes = 0;
    bool IsFolder() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
};

// The entries of `folder` ("\" is the root; no trailing backslash otherwise)
// in the library's order, appended to `entries`. An empty folder gives none
// and true; false with the last error set when the folder cannot be read.
bool ListImageFolder(HANDLE image, WStringView folder, std::vector<ImageEntry>& entries);

// The entry at `path` itself; false with the last error when there is none.
bool FindImageEntry(HANDLE image, WStringView path, ImageEntry& entry);

// `folder` and a name in it as one image path.
WString ImageChildPath(WStringView folder, WStringView name);
