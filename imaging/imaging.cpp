#include "imaging/wimgapi.h"

#include <atomic>

namespace {
std::atomic<const ImagingLibrary*> current{nullptr};
}

const ImagingLibrary& Imaging()
{
    const ImagingLibrary* library = current.load();
    return library ? *library : PlatformImagingLibrary();
}

const ImagingLibrary* SetImagingLibrary(const ImagingLibrary* library)
{
    return current.exchange(library);
}
