#include "operations/compression_choice.h"

#include "base/log.h"
#include "base/resource.h"
#include "imaging/wimgapi.h"

namespace {

const CompressionChoice kKinds[] = {
    {WIM_COMPRESS_NONE, IDS_COMPRESSION_NONE_LINE, 0, IDS_COMPRESSION_NONE},
    {WIM_COMPRESS_LZX, IDS_COMPRESSION_LZX_LINE, 0, IDS_COMPRESSION_LZX},
    {WIM_COMPRESS_XPRESS, IDS_COMPRESSION_XPRESS_LINE, 0, IDS_COMPRESSION_XPRESS},
    {WIM_COMPRESS_LZMS, IDS_COMPRESSION_LZMS_LINE, WIM_FLAG_SOLID, IDS_COMPRESSION_LZMS},
};

}  // namespace

CompressionChoice ChooseCompression(const WString& text)
{
    WCHAR name[kTextBufferSize];
    for (const CompressionChoice& kind : kKinds) {
        if (kind.type != WIM_COMPRESS_NONE && text == LoadTableString(kind.nameId, name))
            return kind;
    }
    return kKinds[0];
}

void LogWrittenCompression(TaskState& task, const CompressionChoice& chosen, DWORD fileType)
{
    const CompressionChoice* kept = &kKinds[0];
    for (const CompressionChoice& kind : kKinds) {
        if (kind.type == fileType)
            kept = &kind;
    }
    LogMessage(task, kept->logId);
    if (kept->type != chosen.type) {
        WCHAR name[kTextBufferSize];
        LogMessage(task, IDS_KEPT_COMPRESSION,
                   static_cast<const WCHAR*>(LoadTableString(chosen.nameId, name)));
    }
}
