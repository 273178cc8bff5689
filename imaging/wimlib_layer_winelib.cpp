// Placeholder: the wimlib layer is being written.
#include "imaging/wimgapi.h"
namespace {
BOOL WINAPI NotImplemented(HANDLE) { SetLastError(ERROR_CALL_NOT_IMPLEMENTED); return FALSE; }
const ImagingLibrary library = [] { ImagingLibrary l{}; l.closeHandle = NotImplemented; return l; }();
}
const ImagingLibrary& PlatformImagingLibrary() { return library; }
