#include "ComObject.h"

#include <cstddef>
#include <string>

#include "TestHooks.h"

namespace dormexsite {
namespace {

LONG g_live = 0;
// Live objects by kind (index: Iface).
LONG g_liveByKind[8] = {};

// ADO's newer interface IDs start at xxxx15xx; the older family at xxxx05xx.
bool newerAdoId(const IID& iid) {
    return iid.Data1 >= 0x1000 && iid.Data1 < 0x2000 && iid.Data2 == 0 && iid.Data3 == 0x10;
}

bool answers(const ComObject* self, REFIID riid) {
    const bool olderOnly = self->info->kind == Iface::Recordset &&
                           faultAt(Iface::Recordset, 0) == FaultMode::OlderIdsOnly;
    for (const IID* const* iid = self->info->iids; *iid; ++iid)
        if (IsEqualIID(riid, **iid)) return !(olderOnly && newerAdoId(riid));
    return false;
}

HRESULT STDMETHODCALLTYPE queryInterfaceSlot(ComObject* self, REFIID riid, void** out) {
    return queryInterface(self, riid, out);
}

ULONG STDMETHODCALLTYPE addRefSlot(ComObject* self) {
    return addRef(self);
}

ULONG STDMETHODCALLTYPE releaseSlot(ComObject* self) {
    return release(self);
}

bool describesItself(const ComObject* self) {
    return self->info->kind == Iface::TopLevel || self->info->kind == Iface::Collection ||
           self->info->kind == Iface::Card;
}

HRESULT STDMETHODCALLTYPE getTypeInfoCount(ComObject* self, UINT* count) {
    if (!count) return E_POINTER;
    *count = describesItself(self) ? 1 : 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE getTypeInfo(ComObject* self, UINT index, LCID, ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0 || !describesItself(self)) return DISP_E_BADINDEX;
    return siteTypeInfo(**self->info->iids, info);
}

HRESULT STDMETHODCALLTYPE getIdsOfNames(ComObject*, REFIID, LPOLESTR*, UINT count, LCID,
                                        DISPID* ids) {
    for (UINT i = 0; ids && i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
}

HRESULT STDMETHODCALLTYPE invoke(ComObject*, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*,
                                 EXCEPINFO*, UINT*) {
    return DISP_E_MEMBERNOTFOUND;
}

// ISupportErrorInfo, reached through the object's second table.
ComObject* owner(void* errorInfoPointer) {
    return reinterpret_cast<ComObject*>(static_cast<char*>(errorInfoPointer) -
                                        offsetof(ComObject, errorInfoTable));
}
HRESULT STDMETHODCALLTYPE errorInfoQueryInterface(void* self, REFIID riid, void** out) {
    return queryInterface(owner(self), riid, out);
}
ULONG STDMETHODCALLTYPE errorInfoAddRef(void* self) {
    return addRef(owner(self));
}
ULONG STDMETHODCALLTYPE errorInfoRelease(void* self) {
    return release(owner(self));
}
HRESULT STDMETHODCALLTYPE interfaceSupportsErrorInfo(void* self, REFIID riid) {
    return answers(owner(self), riid) ? S_OK : S_FALSE;
}
const Slot kErrorInfoTable[] = {toSlot(&errorInfoQueryInterface), toSlot(&errorInfoAddRef),
                                toSlot(&errorInfoRelease), toSlot(&interfaceSupportsErrorInfo)};

// Publishes `description` as the thread's error information for `self`.
void publish(ComObject* self, const std::wstring& description) {
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create))) return;
    create->SetGUID(**self->info->iids);
    create->SetSource(const_cast<LPOLESTR>(self->info->source));
    create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
        SetErrorInfo(0, info);
        info->Release();
    }
    create->Release();
}

}  // namespace

ComObject::ComObject(const InterfaceInfo& interfaceInfo)
    : table(interfaceInfo.table), errorInfoTable(kErrorInfoTable), info(&interfaceInfo) {
    objectCreated();
    InterlockedIncrement(&g_liveByKind[static_cast<int>(interfaceInfo.kind)]);
}

LONG liveObjects() {
    return g_live;
}

LONG liveObjectsOf(Iface kind) {
    return g_liveByKind[static_cast<int>(kind)];
}

void objectCreated() {
    InterlockedIncrement(&g_live);
}

void objectDestroyed() {
    InterlockedDecrement(&g_live);
}

HRESULT queryInterface(ComObject* self, REFIID riid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || answers(self, riid)) {
        *out = self;
    } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
        *out = &self->errorInfoTable;
    } else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    addRef(self);
    return S_OK;
}

ULONG addRef(ComObject* self) {
    return static_cast<ULONG>(InterlockedIncrement(&self->references));
}

ULONG release(ComObject* self) {
    const LONG left = InterlockedDecrement(&self->references);
    if (left == 0) {
        const int kind = static_cast<int>(self->info->kind);
        self->destroy(self);
        InterlockedDecrement(&g_liveByKind[kind]);
        objectDestroyed();
    }
    return static_cast<ULONG>(left);
}

HRESULT failWith(ComObject* self, HRESULT status, const std::string& message) {
    std::wstring wide(message.size(), L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, message.data(), static_cast<int>(message.size()),
                                      wide.data(), static_cast<int>(wide.size()));
    wide.resize(static_cast<size_t>(n > 0 ? n : 0));
    publish(self, wide);
    return status;
}

HRESULT enterMethod(ComObject* self, Iface kind, int position) {
    recordCall(kind, position);
    if (faultAt(kind, position) != FaultMode::Fail) return S_OK;
    // Without a description the thread's error information is left as it is, as a careless
    // server leaves it.
    if (const std::wstring* description = faultDescription()) publish(self, *description);
    return faultStatus();
}

void installUnknownAndDispatch(Slot* table) {
    table[0] = toSlot(&queryInterfaceSlot);
    table[1] = toSlot(&addRefSlot);
    table[2] = toSlot(&releaseSlot);
    table[3] = toSlot(&getTypeInfoCount);
    table[4] = toSlot(&getTypeInfo);
    table[5] = toSlot(&getIdsOfNames);
    table[6] = toSlot(&invoke);
}

std::wstring executableDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return L".\\";
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L".\\" : path.substr(0, slash + 1);
}

}  // namespace dormexsite
