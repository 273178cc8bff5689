// wimgapi.dll made of the wimlib layer: each export is the layer's own table
// entry, so the windows build, started under Wine, does real imaging.
#include "imaging/wimgapi.h"
#include "imaging/wimlib/layer.h"

#define WIMGAPI_EXPORT(name, field, result, failure, parameters, arguments)                                  \
    extern "C" result WINAPI Export##name parameters                                                         \
    {                                                                                                        \
        return PlatformImagingLibrary().field arguments;                                                     \
    }
WIMGAPI_ENTRY_POINTS(WIMGAPI_EXPORT)

// The binding looks this name up to tell the layer from Wine's stand-in;
// it answers with the version of wimlib behind it.
extern "C" DWORD WINAPI ExportCorvaneWimlibLayer()
{
    return wimlib_get_version();
}
