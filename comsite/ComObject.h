#pragma once

#include <oaidl.h>
#include <windows.h>

#include <array>
#include <exception>
#include <string>
#include <utility>

#include "SiteIds.h"
#include "platform/Utf.h"
#include "platform/win/DispatchTable.h"

// The machinery under the stand-in server's objects: hand-built interface tables (slots 0 to 6
// IUnknown and IDispatch, then the interface's own methods at fixed positions), reference
// counting, a count of live objects, ISupportErrorInfo, and failures published with
// SetErrorInfo. Nothing here throws across a COM call.
namespace dormexsite {

using dormex::platform::win::kOwnBase;

// Any function, stored in an interface table.
using Slot = void (*)();

template <class F>
Slot toSlot(F function) {
    return reinterpret_cast<Slot>(function);
}

struct ComObject;

// The running executable's directory, with a trailing backslash.
std::wstring executableDirectory();

// What an interface table serves: its kind, the `iidCount` interface IDs it answers (the first
// its own), its name for error sources, and its table.
struct InterfaceInfo {
    Iface kind;
    const IID* iids;
    size_t iidCount;
    const wchar_t* source;
    const Slot* table;
};

// The head of every object: the interface table first (the COM pointer is the object's address),
// then a second table for ISupportErrorInfo, the reference count and the destructor.
struct ComObject {
    const Slot* table;
    const Slot* errorInfoTable;
    LONG references = 1;
    const InterfaceInfo* info;
    void (*destroy)(ComObject*);

    explicit ComObject(const InterfaceInfo& interfaceInfo);
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;
};

// Creates a T (a ComObject at offset 0) with one reference.
template <class T, class... Args>
T* makeObject(Args&&... args) {
    T* object = new T(std::forward<Args>(args)...);
    object->destroy = [](ComObject* self) { delete static_cast<T*>(self); };
    return object;
}

// Objects alive now, class factory aside, and those of one kind.
LONG liveObjects();
LONG liveObjectsOf(Iface kind);

// IUnknown's three methods for any object, as its table holds them.
HRESULT STDMETHODCALLTYPE queryInterface(ComObject* self, REFIID riid, void** out);
ULONG STDMETHODCALLTYPE addRef(ComObject* self);
ULONG STDMETHODCALLTYPE release(ComObject* self);

// Publishes `message` as the error information of `self`'s interface and returns `status`.
HRESULT failWith(ComObject* self, HRESULT status, const std::string& message);

// Records that the own method at `position` of `kind` was called, and returns the status an
// injected fault asks for, else S_OK (test build only; see TestHooks.h).
HRESULT enterMethod(ComObject* self, Iface kind, int position);

// The slot of `Body`, the own method at `position` of objects of type T: an injected fault, a
// thrown exception or a failure becomes a published error.
template <int Position, auto Body>
struct Method;
template <int Position, class T, class... Args, HRESULT (*Body)(T&, Args...)>
struct Method<Position, Body> {
    static HRESULT STDMETHODCALLTYPE slot(ComObject* self, Args... args) {
        const HRESULT injected = enterMethod(self, self->info->kind, Position);
        if (injected != S_OK) return injected;
        try {
            return Body(static_cast<T&>(*self), args...);
        } catch (const std::exception& e) {
            return failWith(self, E_FAIL, e.what());
        } catch (...) {
            return failWith(self, E_FAIL, "Unexpected failure in the site library");
        }
    }
};

// `Body` as the own method at `Position` of an interface table.
template <int Position, auto Body>
std::pair<int, Slot> own() {
    return {Position, toSlot(&Method<Position, Body>::slot)};
}

// Writes the seven IUnknown and IDispatch slots shared by every interface. The site interfaces
// (top level, collection, card) describe themselves through siteTypeInfo.
void installUnknownAndDispatch(Slot* table);

// The type information of site interface `iid` from the type library in the DLL's resources
// that the tests chose (test build, TestHooks.h), else the one registered with the class.
HRESULT siteTypeInfo(REFIID iid, ITypeInfo** info);

// The own method at `position` of an interface that does not implement it: an injected fault,
// else E_NOTIMPL.
HRESULT notImplemented(ComObject* self, int position);
template <int Position>
HRESULT STDMETHODCALLTYPE notImplementedSlot(ComObject* self) {
    return notImplemented(self, Position);
}

// Builds the table of an interface with `Size` slots: IUnknown and IDispatch, every own slot
// failing with E_NOTIMPL, then `slots` placed at their positions (1 = the first own method).
template <size_t Size>
class InterfaceTable {
public:
    InterfaceTable(std::initializer_list<std::pair<int, Slot>> slots) {
        installUnknownAndDispatch(m_slots.data());
        fill(std::make_index_sequence<Size - kOwnBase - 1>());
        for (const auto& [position, slot] : slots) m_slots[kOwnBase + position] = slot;
    }
    const Slot* data() const { return m_slots.data(); }

private:
    // Own positions 1 to Size - 7, each failing with E_NOTIMPL.
    template <size_t... Own>
    void fill(std::index_sequence<Own...>) {
        ((m_slots[kOwnBase + 1 + Own] = toSlot(&notImplementedSlot<int(Own) + 1>)), ...);
    }

    std::array<Slot, Size> m_slots{};
};

}  // namespace dormexsite
