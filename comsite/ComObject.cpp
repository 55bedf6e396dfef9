#include "ComObject.h"

#include <algorithm>
#include <cstddef>
#include <string>

#include "TestHooks.h"
#include "platform/win/Wide.h"

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
    for (size_t i = 0; i < self->info->iidCount; ++i)
        if (IsEqualIID(riid, self->info->iids[i])) return !(olderOnly && newerAdoId(riid));
    return false;
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
    return siteTypeInfo(self->info->iids[0], info);
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

// ISupportErrorInfo, reached through the object's second table: `Function` of the object
// that holds the table.
template <auto Function, class... Args>
auto STDMETHODCALLTYPE ofOwner(void* errorInfoPointer, Args... args) {
    return Function(reinterpret_cast<ComObject*>(static_cast<char*>(errorInfoPointer) -
                                                 offsetof(ComObject, errorInfoTable)),
                    args...);
}
HRESULT supportsErrorInfo(ComObject* self, REFIID riid) {
    return answers(self, riid) ? S_OK : S_FALSE;
}
const Slot kErrorInfoTable[] = {toSlot(&ofOwner<queryInterface, REFIID, void**>),
                                toSlot(&ofOwner<addRef>), toSlot(&ofOwner<release>),
                                toSlot(&ofOwner<supportsErrorInfo, REFIID>)};

// Publishes `description` as the thread's error information for `self`.
void publish(ComObject* self, const std::wstring& description) {
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create))) return;
    create->SetGUID(self->info->iids[0]);
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
    InterlockedIncrement(&g_live);
    InterlockedIncrement(&g_liveByKind[static_cast<int>(interfaceInfo.kind)]);
}

LONG liveObjects() {
    return g_live;
}

LONG liveObjectsOf(Iface kind) {
    return g_liveByKind[static_cast<int>(kind)];
}

HRESULT STDMETHODCALLTYPE queryInterface(ComObject* self, REFIID riid, void** out) {
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

ULONG STDMETHODCALLTYPE addRef(ComObject* self) {
    return static_cast<ULONG>(InterlockedIncrement(&self->references));
}

ULONG STDMETHODCALLTYPE release(ComObject* self) {
    const LONG left = InterlockedDecrement(&self->references);
    if (left == 0) {
        const int kind = static_cast<int>(self->info->kind);
        self->destroy(self);
        InterlockedDecrement(&g_liveByKind[kind]);
        InterlockedDecrement(&g_live);
    }
    return static_cast<ULONG>(left);
}

HRESULT failWith(ComObject* self, HRESULT status, const std::string& message) {
    publish(self, dormex::platform::toWide(message));
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

HRESULT notImplemented(ComObject* self, int position) {
    const HRESULT injected = enterMethod(self, self->info->kind, position);
    if (injected != S_OK) return injected;
    return failWith(self, E_NOTIMPL,
                    "Method " + std::to_string(position) + " of " +
                        dormex::platform::toUtf8(std::wstring_view(self->info->source)) +
                        " is not implemented");
}

void installUnknownAndDispatch(Slot* table) {
    const Slot slots[] = {toSlot(&queryInterface), toSlot(&addRef),
                          toSlot(&release),        toSlot(&getTypeInfoCount),
                          toSlot(&getTypeInfo),    toSlot(&getIdsOfNames),
                          toSlot(&invoke)};
    std::copy(std::begin(slots), std::end(slots), table);
}

std::wstring executableDirectory() {
    const std::wstring path = dormex::platform::win::modulePath(nullptr);
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L".\\" : path.substr(0, slash + 1);
}

}  // namespace dormexsite
