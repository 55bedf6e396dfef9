#pragma once

#include <oaidl.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <utility>

#include "platform/win/DispatchTable.h"

// Small owners of COM resources and the call of an interface method by its position, for the COM
// site library client. Each owner releases what it holds when it goes, on every path.
namespace dormex::com {

// An interface pointer released when it goes out of scope.
template <class T = IUnknown>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : m_pointer(std::exchange(other.m_pointer, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            m_pointer = std::exchange(other.m_pointer, nullptr);
        }
        return *this;
    }
    ~ComPtr() { reset(); }

    // Takes over a pointer whose reference the caller already holds.
    static ComPtr attach(T* pointer) {
        ComPtr result;
        result.m_pointer = pointer;
        return result;
    }

    T* get() const { return m_pointer; }
    explicit operator bool() const { return m_pointer != nullptr; }
    // The place for an out-parameter; releases what was held first.
    T** out() {
        reset();
        return &m_pointer;
    }
    void** outVoid() { return reinterpret_cast<void**>(out()); }
    void reset() {
        if (m_pointer) std::exchange(m_pointer, nullptr)->Release();
    }

private:
    T* m_pointer = nullptr;
};

// A BSTR freed when it goes out of scope.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const std::u16string& text)
        : m_bstr(::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                     static_cast<UINT>(text.size()))) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { ::SysFreeString(m_bstr); }
    BSTR get() const { return m_bstr; }
    BSTR* out() {
        ::SysFreeString(m_bstr);
        m_bstr = nullptr;
        return &m_bstr;
    }
    std::u16string text() const {
        return std::u16string(reinterpret_cast<const char16_t*>(m_bstr ? m_bstr : L""),
                              m_bstr ? ::SysStringLen(m_bstr) : 0);
    }

private:
    BSTR m_bstr = nullptr;
};

// A VARIANT cleared when it goes out of scope.
class VariantValue {
public:
    VariantValue() { ::VariantInit(&m_value); }
    VariantValue(const VariantValue&) = delete;
    VariantValue& operator=(const VariantValue&) = delete;
    ~VariantValue() { ::VariantClear(&m_value); }
    VARIANT* out() {
        ::VariantClear(&m_value);
        return &m_value;
    }
    const VARIANT& get() const { return m_value; }

private:
    VARIANT m_value;
};

using platform::win::kOwnBase;

// Calls the method at table index `index` of `object` with `args`, declared with exactly the
// argument types given, so that a 64-bit integer or a VARIANT is passed as the platform's
// convention wants it (two stack slots on 32-bit Windows). The thread's error information is
// cleared first, so a failure that publishes none is never described by an earlier one.
template <class... Args>
HRESULT callIndex(IUnknown* object, int index, Args... args) {
    using Method = HRESULT(STDMETHODCALLTYPE*)(IUnknown*, Args...);
    void** table = nullptr;
    std::memcpy(&table, object, sizeof table);
    ::SetErrorInfo(0, nullptr);
    return reinterpret_cast<Method>(table[index])(object, args...);
}

// Calls the interface's own method at `position` (counted from 1 after IDispatch).
template <class... Args>
HRESULT callAt(IUnknown* object, int position, Args... args) {
    return callIndex<Args...>(object, kOwnBase + position, args...);
}

}  // namespace dormex::com
