#include "operations/compression_choice.h"

#include "imaging/wimgapi.h"
#include "progress/log.h"

CompressionChoice ChooseCompression(const WString& text)
{
    static const struct {
        UINT nameId;
        CompressionChoice choice;
    } kKnown[] = {
        {140, {WIM_COMPRESS_LZX, 193}},
        {139, {WIM_COMPRESS_XPRESS, 192}},
        {243, {WIM_COMPRESS_LZMS, 244}},
    };
    WCHAR name[kTextBufferSize];
    for (const auto& entry : kKnown) {
        if (text == LoadTableString(entry.nameId, name))
            return entry.choice;
    }
    return {WIM_COMPRESS_NONE, 191};
}
