// The DLL's entry points: the class factory, and per-user registration (HKCU\Software\Classes, so
// registering needs no administrator) of the class and its type library for regsvr32 and
// regsvr32 /u. Where the system does not show the user's classes in the classes root (Wine), the
// class is registered there as well.
#include <olectl.h>
#include <windows.h>

#include <string>

#include "ComObject.h"
#include "SiteIds.h"
#include "SiteObjects.h"
#include "TestHooks.h"
#include "platform/win/Wide.h"

// Declared by the system's oleauto.h since Windows Vista, but not by mingw-w64's.
extern "C" HRESULT WINAPI RegisterTypeLibForUser(ITypeLib* library, OLECHAR* path, OLECHAR* help);
extern "C" HRESULT WINAPI UnRegisterTypeLibForUser(REFGUID id, WORD major, WORD minor, LCID lcid,
                                                   SYSKIND kind);

namespace dormexsite {
namespace {

using dormex::platform::win::modulePath;

HMODULE g_module = nullptr;
LONG g_locks = 0;

HRESULT STDMETHODCALLTYPE factoryQueryInterface(IClassFactory* self, REFIID riid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *out = self;
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

// The factory is a static object: counting its references would only keep the DLL loaded.
ULONG STDMETHODCALLTYPE factoryAddRef(IClassFactory*) {
    return 2;
}

ULONG STDMETHODCALLTYPE factoryRelease(IClassFactory*) {
    return 1;
}

HRESULT STDMETHODCALLTYPE factoryCreateInstance(IClassFactory*, IUnknown* outer, REFIID riid,
                                                void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return createTopLevel(riid, out);
}

HRESULT STDMETHODCALLTYPE factoryLockServer(IClassFactory*, BOOL lock) {
    if (lock)
        InterlockedIncrement(&g_locks);
    else
        InterlockedDecrement(&g_locks);
    return S_OK;
}

const Slot kFactoryTable[] = {toSlot(&factoryQueryInterface), toSlot(&factoryAddRef),
                              toSlot(&factoryRelease), toSlot(&factoryCreateInstance),
                              toSlot(&factoryLockServer)};
struct Factory {
    const Slot* table;
} g_factory = {kFactoryTable};

std::wstring guidText(REFGUID guid) {
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

// Where the class is registered: the user's classes, and the classes root itself where the
// system does not show the user's classes through it (Wine).
struct ClassesKey {
    HKEY root;
    const wchar_t* prefix;
};
const ClassesKey kUserClasses = {HKEY_CURRENT_USER, L"Software\\Classes\\"};
const ClassesKey kClassesRoot = {HKEY_CLASSES_ROOT, L""};

HRESULT setValue(const ClassesKey& where, const std::wstring& key, const wchar_t* name,
                 const std::wstring& value) {
    HKEY handle = nullptr;
    LONG rc = RegCreateKeyExW(where.root, (where.prefix + key).c_str(), 0, nullptr, 0, KEY_WRITE,
                              nullptr, &handle, nullptr);
    if (rc == ERROR_SUCCESS) {
        rc = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(handle);
    }
    return HRESULT_FROM_WIN32(static_cast<DWORD>(rc));
}

HRESULT deleteTree(const ClassesKey& where, const std::wstring& key) {
    const LONG rc = RegDeleteTreeW(where.root, (where.prefix + key).c_str());
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND
               ? S_OK
               : HRESULT_FROM_WIN32(static_cast<DWORD>(rc));
}

// The server path the classes root gives for the class, or empty text.
std::wstring registeredPath() {
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = sizeof path - sizeof(wchar_t);
    const std::wstring key = L"CLSID\\" + guidText(kClsid) + L"\\InprocServer32";
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path,
                     &size) != ERROR_SUCCESS)
        return {};
    return path;
}

HRESULT registerIn(const ClassesKey& where, const std::wstring& path) {
    const std::wstring clsidKey = L"CLSID\\" + guidText(kClsid);
    const std::wstring progIdKey = kProgId;
    HRESULT status = S_OK;
    for (HRESULT step :
         {setValue(where, clsidKey, nullptr, kClassName),
          setValue(where, clsidKey + L"\\InprocServer32", nullptr, path),
          setValue(where, clsidKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment"),
          setValue(where, clsidKey + L"\\ProgID", nullptr, progIdKey),
          setValue(where, clsidKey + L"\\TypeLib", nullptr, guidText(kTypeLibId)),
          setValue(where, progIdKey, nullptr, kClassName),
          setValue(where, progIdKey + L"\\CLSID", nullptr, guidText(kClsid))}) {
        if (FAILED(step) && SUCCEEDED(status)) status = step;
    }
    return status;
}

HRESULT unregisterIn(const ClassesKey& where) {
    const HRESULT a = deleteTree(where, L"CLSID\\" + guidText(kClsid));
    const HRESULT b = deleteTree(where, kProgId);
    return FAILED(a) ? a : b;
}

// The DLL's type library number `resource`.
HRESULT loadTypeLibrary(int resource, ITypeLib** library) {
    const std::wstring path = modulePath(g_module) + L"\\" + std::to_wstring(resource);
    return LoadTypeLibEx(path.c_str(), REGKIND_NONE, library);
}

constexpr SYSKIND kSysKind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;

}  // namespace

HRESULT siteTypeInfo(REFIID iid, ITypeInfo** info) {
    *info = nullptr;
    ITypeLib* library = nullptr;
    HRESULT status = loadTypeLibrary(declaration(), &library);
    if (FAILED(status)) return status;
    status = library->GetTypeInfoOfGuid(iid, info);
    library->Release();
    return status;
}

}  // namespace dormexsite

using namespace dormexsite;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualCLSID(clsid, kClsid)) return CLASS_E_CLASSNOTAVAILABLE;
    return factoryQueryInterface(reinterpret_cast<IClassFactory*>(&g_factory), riid, out);
}

extern "C" HRESULT WINAPI DllCanUnloadNow(void) {
    return liveObjects() == 0 && g_locks == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT WINAPI DllRegisterServer(void) {
    const std::wstring path = modulePath(g_module);
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    if (FAILED(registerIn(kUserClasses, path))) return SELFREG_E_CLASS;
    if (_wcsicmp(registeredPath().c_str(), path.c_str()) != 0 &&
        FAILED(registerIn(kClassesRoot, path)))
        return SELFREG_E_CLASS;
    ITypeLib* library = nullptr;
    HRESULT status = loadTypeLibrary(1, &library);
    if (SUCCEEDED(status)) {
        status = RegisterTypeLibForUser(library, const_cast<OLECHAR*>(path.c_str()), nullptr);
        library->Release();
    }
    return FAILED(status) ? SELFREG_E_TYPELIB : S_OK;
}

extern "C" HRESULT WINAPI DllUnregisterServer(void) {
    // A type library registered by hand elsewhere, or not at all, is no reason to keep the class.
    UnRegisterTypeLibForUser(kTypeLibId, 1, 0, LOCALE_NEUTRAL, kSysKind);
    if (FAILED(unregisterIn(kUserClasses))) return SELFREG_E_CLASS;
    // Left in the classes root by a registration there: removed when it names this server.
    if (_wcsicmp(registeredPath().c_str(), modulePath(g_module).c_str()) == 0 &&
        FAILED(unregisterIn(kClassesRoot)))
        return SELFREG_E_CLASS;
    return S_OK;
}
