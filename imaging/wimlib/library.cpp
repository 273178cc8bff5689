// The wimlib layer's table of calls: the library the linux build binds.
#include "imaging/wimlib/layer.h"

namespace {

using namespace layer;

#define LAYER_TABLE_ENTRY(stem, field, result, failure, parameters, arguments) .field = Layer##stem,
const ImagingLibrary kWimlibLayer = {WIMGAPI_ENTRY_POINTS(LAYER_TABLE_ENTRY)};

}  // namespace

const ImagingLibrary& PlatformImagingLibrary()
{
    return kWimlibLayer;
}