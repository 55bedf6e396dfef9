#include "LayoutCheck.h"

#include <memory>
#include <string>

#include "platform/Error.h"
#include "platform/Utf.h"

namespace dormex::com {
namespace {

// A type's attributes and a function's description, each released with its type; null when
// `info` gives none.
auto typeAttr(ITypeInfo* info) {
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) attr = nullptr;
    auto release = [info](TYPEATTR* held) { info->ReleaseTypeAttr(held); };
    return std::unique_ptr<TYPEATTR, decltype(release)>(attr, release);
}
auto funcDesc(ITypeInfo* info, UINT index) {
    FUNCDESC* desc = nullptr;
    if (FAILED(info->GetFuncDesc(index, &desc))) desc = nullptr;
    auto release = [info](FUNCDESC* held) { info->ReleaseFuncDesc(held); };
    return std::unique_ptr<FUNCDESC, decltype(release)>(desc, release);
}

// What an argument's type must be, pointers aside.
enum class Shape { Int32, Int64, Bstr, Variant, InterfacePointer, Interface };

// True when `type`, declared in `info`, has `shape` under any aliases; an enum is a 32-bit
// integer.
bool is(ITypeInfo* info, const TYPEDESC& type, Shape shape) {
    if (type.vt == VT_USERDEFINED) {
        ComPtr<ITypeInfo> named;
        if (FAILED(info->GetRefTypeInfo(type.hreftype, named.out()))) return false;
        const auto attr = typeAttr(named.get());
        if (!attr) return false;
        switch (attr->typekind) {
            case TKIND_ALIAS:
                return is(named.get(), attr->tdescAlias, shape);
            case TKIND_ENUM:
                return shape == Shape::Int32;
            case TKIND_INTERFACE:
            case TKIND_DISPATCH:
            case TKIND_COCLASS:
                return shape == Shape::Interface;
            default:
                return false;
        }
    }
    switch (shape) {
        case Shape::Int32:
            return type.vt == VT_I4 || type.vt == VT_UI4 || type.vt == VT_INT || type.vt == VT_UINT;
        case Shape::Int64:
            return type.vt == VT_I8 || type.vt == VT_UI8;
        case Shape::Bstr:
            return type.vt == VT_BSTR;
        case Shape::Variant:
            return type.vt == VT_VARIANT;
        case Shape::InterfacePointer:
            return type.vt == VT_UNKNOWN || type.vt == VT_DISPATCH ||
                   (type.vt == VT_PTR && is(info, *type.lptdesc, Shape::Interface));
        case Shape::Interface:
            return false;
    }
    return false;
}

// For each Arg in its order: whether it is an [out] pointer, and the shape it passes or points to.
const std::pair<bool, Shape> kArgShapes[] = {
    {false, Shape::Int32}, {false, Shape::Int64},  {false, Shape::Bstr},
    {true, Shape::Int32},  {true, Shape::Variant}, {true, Shape::InterfacePointer}};

bool matches(ITypeInfo* info, const ELEMDESC& element, Arg arg) {
    const TYPEDESC& type = element.tdesc;
    const auto [out, shape] = kArgShapes[static_cast<int>(arg)];
    if (out != ((element.paramdesc.wParamFlags & PARAMFLAG_FOUT) != 0)) return false;
    if (!out) return is(info, type, shape);
    return type.vt == VT_PTR && is(info, *type.lptdesc, shape);
}

// The name `info` gives its member `id` (MEMBERID_NIL: the type itself).
std::string nameOf(ITypeInfo* info, MEMBERID id) {
    Bstr name;
    if (FAILED(info->GetDocumentation(id, name.out(), nullptr, nullptr, nullptr))) return "?";
    return platform::toUtf8(name.text());
}

// The base types as a declaration writes them.
const std::pair<VARTYPE, const char*> kTypeNames[] = {
    {VT_I1, "char"},   {VT_UI1, "unsigned char"},   {VT_I2, "short"},    {VT_UI2, "unsigned short"},
    {VT_I4, "long"},   {VT_UI4, "unsigned long"},   {VT_INT, "int"},     {VT_UINT, "unsigned int"},
    {VT_I8, "hyper"},  {VT_UI8, "unsigned hyper"},  {VT_R4, "float"},    {VT_BOOL, "VARIANT_BOOL"},
    {VT_R8, "double"}, {VT_VARIANT, "VARIANT"},     {VT_CY, "CURRENCY"}, {VT_UNKNOWN, "IUnknown*"},
    {VT_DATE, "DATE"}, {VT_DISPATCH, "IDispatch*"}, {VT_BSTR, "BSTR"},   {VT_HRESULT, "HRESULT"},
    {VT_VOID, "void"}};

// `type` as the declaration writes it, e.g. "long", "BSTR", "IUnknown**".
std::string typeText(ITypeInfo* info, const TYPEDESC& type) {
    for (const auto& [vt, name] : kTypeNames)
        if (vt == type.vt) return name;
    switch (type.vt) {
        case VT_PTR:
            return typeText(info, *type.lptdesc) + "*";
        case VT_USERDEFINED: {
            ComPtr<ITypeInfo> named;
            if (FAILED(info->GetRefTypeInfo(type.hreftype, named.out()))) return "?";
            return nameOf(named.get(), MEMBERID_NIL);
        }
        default:
            return "VARTYPE " + std::to_string(type.vt);
    }
}

// The declaration of `desc`, e.g. "HRESULT SetActive(long)".
std::string declaration(ITypeInfo* info, const FUNCDESC& desc) {
    std::string text = typeText(info, desc.elemdescFunc.tdesc) + " ";
    if (desc.callconv != CC_STDCALL)
        text += "(calling convention " + std::to_string(desc.callconv) + ") ";
    text += nameOf(info, desc.memid) + "(";
    for (SHORT i = 0; i < desc.cParams; ++i) {
        const ELEMDESC& param = desc.lprgelemdescParam[i];
        if (i > 0) text += ", ";
        if (param.paramdesc.wParamFlags & PARAMFLAG_FOUT) text += "[out] ";
        text += typeText(info, param.tdesc);
    }
    return text + ")";
}

// How Dormex calls a method with `args`, e.g. "HRESULT (long, [out] VARIANT*)".
std::string callText(const std::vector<Arg>& args) {
    static const char* const kNames[] = {"long",        "hyper",          "BSTR",
                                         "[out] long*", "[out] VARIANT*", "[out] IUnknown**"};
    std::string text = "HRESULT (";
    for (const Arg arg : args) {
        if (text.back() != '(') text += ", ";
        text += kNames[static_cast<int>(arg)];
    }
    return text + ")";
}

// True when the function at table byte offset `offset` of `info` or of one of its bases matches
// `call`; `found` gets its declaration, or stays empty when none is declared there.
bool declaredAt(ITypeInfo* info, int offset, const Call& call, std::string& found) {
    info->AddRef();
    ComPtr<ITypeInfo> current = ComPtr<ITypeInfo>::attach(info);
    while (current) {
        const auto attr = typeAttr(current.get());
        if (!attr) return false;
        for (UINT i = 0; i < attr->cFuncs; ++i) {
            const auto desc = funcDesc(current.get(), i);
            if (!desc || desc->oVft != offset ||
                (desc->funckind != FUNC_PUREVIRTUAL && desc->funckind != FUNC_VIRTUAL))
                continue;
            found = declaration(current.get(), *desc);
            if (desc->callconv != CC_STDCALL || desc->elemdescFunc.tdesc.vt != VT_HRESULT ||
                desc->cParams != static_cast<SHORT>(call.args.size()))
                return false;
            SHORT index = 0;
            for (const Arg arg : call.args)
                if (!matches(current.get(), desc->lprgelemdescParam[index++], arg)) return false;
            return true;
        }
        HREFTYPE base = 0;
        ComPtr<ITypeInfo> next;
        if (attr->cImplTypes == 0 || FAILED(current.get()->GetRefTypeOfImplType(0, &base)) ||
            FAILED(current.get()->GetRefTypeInfo(base, next.out())))
            break;
        current = std::move(next);
    }
    return false;
}

}  // namespace

ComPtr<ITypeLib> typeLibraryOf(IUnknown* object) {
    ComPtr<IDispatch> dispatch;
    ComPtr<ITypeInfo> info;
    ComPtr<ITypeLib> library;
    UINT count = 0;
    UINT index = 0;
    if (FAILED(object->QueryInterface(IID_IDispatch, dispatch.outVoid())) || !dispatch ||
        FAILED(dispatch.get()->GetTypeInfoCount(&count)) || count == 0 ||
        FAILED(dispatch.get()->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.out())) || !info ||
        FAILED(info.get()->GetContainingTypeLib(library.out(), &index)))
        library.reset();
    return library;
}

bool checkLayout(ITypeLib* library, REFIID iid, const char* key, const std::vector<Call>& calls) {
    ComPtr<ITypeInfo> info;
    if (!library || FAILED(library->GetTypeInfoOfGuid(iid, info.out())) || !info) return false;
    const std::string declares =
        "The site library declares " + nameOf(info.get(), MEMBERID_NIL) + " ([COM] " + key + ")";
    {
        // A dual interface is described as a dispatch interface; its table is the interface
        // view behind it.
        const auto attr = typeAttr(info.get());
        if (attr && attr->typekind == TKIND_DISPATCH) {
            HREFTYPE table = 0;
            ComPtr<ITypeInfo> view;
            if (!(attr->wTypeFlags & TYPEFLAG_FDUAL) ||
                FAILED(info.get()->GetRefTypeOfImplType(static_cast<UINT>(-1), &table)) ||
                FAILED(info.get()->GetRefTypeInfo(table, view.out())))
                throw Error(
                    declares +
                    " as a dispatch-only interface, whose methods cannot be called by position");
            info = std::move(view);
        }
    }
    for (const Call& call : calls) {
        const int offset = (kOwnBase + call.position) * static_cast<int>(sizeof(void*));
        std::string found;
        if (declaredAt(info.get(), offset, call, found)) continue;
        throw Error(declares + " position " + std::to_string(call.position) +
                    (found.empty() ? " as nothing" : " as " + found) + ", where Dormex calls " +
                    callText(call.args));
    }
    return true;
}

}  // namespace dormex::com
