// The imaging library of the windows build: the system's wimgapi.dll, bound
// at run time. It is loaded once, from the system folder only, so no DLL
// beside the program is picked up in its place. A missing library or entry
// point is an ordinary failure: the call sets ERROR_MOD_NOT_FOUND or
// ERROR_PROC_NOT_FOUND and returns the library's failure value. Under Wine,
// whose wimgapi.dll is a stand-in, every call fails with
// ERROR_CALL_NOT_IMPLEMENTED, unless the prefix holds the linux build's
// wimlib layer as its wimgapi.dll.
#include "base/text.h"
#include "imaging/wimgapi.h"

#include <cstring>

namespace {

// Declares the pointer type of one entry point, named after it.
#define WIMGAPI_DECLARE_TYPE(name, field, result, failure, parameters, arguments)                            \
    using name##Pointer = result(WINAPI*) parameters;
WIMGAPI_ENTRY_POINTS(WIMGAPI_DECLARE_TYPE)

// The entry point's address as its own type. The detour through void(*)(void),
// the generic function pointer type, keeps the compiler from warning about a
// cast between unrelated function types.
template <typename Pointer>
Pointer EntryPoint(HMODULE module, const char* name)
{
    return reinterpret_cast<Pointer>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, name)));
}

#define WIMGAPI_DECLARE_FIELD(name, field, result, failure, parameters, arguments)                           \
    name##Pointer field = nullptr;
// Binds one entry point of the loaded module; a missing one stays null.
#define WIMGAPI_BIND(name, field, result, failure, parameters, arguments)                                    \
    field = EntryPoint<name##Pointer>(module, "WIM" #name);

// Wine ships a wimgapi.dll whose exports are mostly stubs that raise an
// exception when called. Wine marks every module it loads from its own
// builds (its DLLs and any winelib DLL) in the DOS stub; the one winelib
// wimgapi.dll that does the work, the wimlib layer, also exports a name
// Wine's cannot have.
bool IsWineStandIn(HMODULE module)
{
    static const char kMark[] = "Wine builtin DLL";
    const bool wineBuilt = std::memcmp(reinterpret_cast<const char*>(module) + sizeof(IMAGE_DOS_HEADER),
                                       kMark, sizeof kMark - 1) == 0;
    return wineBuilt && GetProcAddress(module, "CorvaneWimlibLayer") == nullptr;
}

struct Binding {
    HMODULE module = nullptr;
    DWORD missing = ERROR_PROC_NOT_FOUND;  // the last error of a call that has no entry point
    WIMGAPI_ENTRY_POINTS(WIMGAPI_DECLARE_FIELD)

    void Load()
    {
        module = LoadLibraryExW(WSTR("wimgapi.dll"), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (module == nullptr) {
            missing = ERROR_MOD_NOT_FOUND;
        } else if (IsWineStandIn(module)) {
            // Nothing bound: every call fails as not supported instead of crashing.
            missing = ERROR_CALL_NOT_IMPLEMENTED;
        } else {
            WIMGAPI_ENTRY_POINTS(WIMGAPI_BIND)
        }
    }
};

BOOL CALLBACK LoadBinding(PINIT_ONCE, PVOID binding, PVOID*)
{
    static_cast<Binding*>(binding)->Load();
    return TRUE;
}

// Loaded on the first call from whichever thread makes it; the library stays
// loaded until the process ends.
const Binding& Bound()
{
    static Binding binding;
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    InitOnceExecuteOnce(&once, LoadBinding, &binding, nullptr);
    return binding;
}

// One table entry per entry point: the bound function, or the failure value
// with the reason in the last error.
#define WIMGAPI_FORWARD(name, field, result, failure, parameters, arguments)                                 \
    result WINAPI Call##name parameters                                                                      \
    {                                                                                                        \
        const Binding& binding = Bound();                                                                    \
        if (binding.field == nullptr) {                                                                      \
            SetLastError(binding.missing);                                                                   \
            return failure;                                                                                  \
        }                                                                                                    \
        return binding.field arguments;                                                                      \
    }
WIMGAPI_ENTRY_POINTS(WIMGAPI_FORWARD)

#define WIMGAPI_TABLE_ENTRY(name, field, result, failure, parameters, arguments) .field = Call##name,
const ImagingLibrary kSystemLibrary = {WIMGAPI_ENTRY_POINTS(WIMGAPI_TABLE_ENTRY)};

}  // namespace

const ImagingLibrary& PlatformImagingLibrary()
{
    return kSystemLibrary;
}
