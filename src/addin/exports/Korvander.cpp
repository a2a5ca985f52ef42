// The add-in's exports and its load/unload hooks.
//
// Initialisation runs once, on the first export the host calls (the host
// always starts with GetClassNames or GetClassObject). Running it then, and
// not from a static constructor, means every static object of the library
// is already built when the driver registers its classes, whatever the link
// order, and nothing heavy runs under the Windows loader lock. The unload
// hook is a static object whose destructor runs when the library is
// unloaded (dlclose, FreeLibrary or process exit).

#include "addin/v8napi.h"

#include <mutex>

#include "driver/uRegisterDrivers.h"

// Windows names its exports in Korvander.def; elsewhere the version script
// keeps these and hides the rest.
#if defined(_WIN32)
#define KORV_EXPORT
#else
#define KORV_EXPORT __attribute__((visibility("default")))
#endif

namespace {

bool Loaded = false;

void EnsureLoaded() noexcept {
    static std::once_flag Once;
    try {
        std::call_once(Once, [] {
            korv::V8NapiLoad();
            Loaded = true;
            try {
                korv::RegisterDrivers();
            } catch (...) {
                // A driver that failed to register offers no class; the
                // host then gets an empty class list and no object.
            }
        });
    } catch (...) {
    }
}

struct TUnloadHook {
    TUnloadHook() = default;
    TUnloadHook(const TUnloadHook&) = delete;
    TUnloadHook& operator=(const TUnloadHook&) = delete;
    ~TUnloadHook() {
        if (Loaded)
            korv::V8NapiUnload();
    }
};

TUnloadHook UnloadHook;

} // namespace

extern "C" {

KORV_EXPORT const korv::WCHAR_T* GetClassNames() {
    EnsureLoaded();
    return korv::V8GetClassNames();
}

KORV_EXPORT long GetClassObject(const korv::WCHAR_T* wsName, void** pIntf) {
    EnsureLoaded();
    return korv::V8GetClassObject(wsName, pIntf);
}

KORV_EXPORT long DestroyObject(void** pIntf) {
    EnsureLoaded();
    return korv::V8DestroyObject(pIntf);
}

KORV_EXPORT int GetAttachType() {
    return korv::V8GetAttachType();
}

} // extern "C"
