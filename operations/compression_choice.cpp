#include "operations/compression_choice.h"

#include "base/log.h"
#include "base/resource.h"
#include "imaging/wimgapi.h"

CompressionChoice ChooseCompression(const WString& text)
{
    static const struct {
        UINT nameId;
        CompressionChoice choice;
    } kKnown[] = {
        {IDS_COMPRESSION_LZX, {WIM_COMPRESS_LZX, IDS_COMPRESSION_LZX_LINE}},
        {IDS_COMPRESSION_XPRESS, {WIM_COMPRESS_XPRESS, IDS_COMPRESSION_XPRESS_LINE}},
        {IDS_COMPRESSION_LZMS, {WIM_COMPRESS_LZMS, IDS_COMPRESSION_LZMS_LINE, WIM_FLAG_SOLID}},
    };
    WCHAR name[kTextBufferSize];
    for (const auto& entry : kKnown) {
        if (text == LoadTableString(entry.nameId, name))
            return entry.choice;
    }
    return {WIM_COMPRESS_NONE, IDS_COMPRESSION_NONE_LINE};
}
