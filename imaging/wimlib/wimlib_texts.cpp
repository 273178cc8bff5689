#include "imaging/wimlib/wimlib_texts.h"

namespace layer {

std::string QuotedPathIn(const std::string& text)
{
    const size_t open = text.find('"');
    if (open == std::string::npos)
        return {};
    const size_t close = text.find('"', open + 1);
    if (close == std::string::npos)
        return {};
    return text.substr(open + 1, close - open - 1);
}

}  // namespace layer
