#pragma once

#include <oaidl.h>
#include <windows.h>

#include <vector>

#include "ComSupport.h"

// The site library's own description of its interfaces, checked against how Dormex calls them:
// each method it calls by position must be declared at that table offset, with the argument
// types Dormex passes and an HRESULT result. Judged by the calling convention, not by names.
namespace dormex::com {

// One argument as Dormex passes it: a 32-bit integer, a 64-bit integer or a BSTR by value, or
// an [out] pointer to a 32-bit integer, a VARIANT or an interface pointer (of any declared type).
enum class Arg { Long, Hyper, Bstr, OutLong, OutVariant, OutObject };

// A method Dormex calls: its own position (1 = the first after IDispatch) and its arguments.
struct Call {
    int position;
    std::vector<Arg> args;
};

// The type library that `object` describes itself with (IDispatch::GetTypeInfo); null when it
// gives none.
ComPtr<ITypeLib> typeLibraryOf(IUnknown* object);

// Checks interface `iid` as `library` declares it against `calls`. False, checking nothing, when
// `library` is null or does not describe `iid`. Throws an Error naming the interface,
// its [COM] key `key`, the position and the declaration when a call does not match.
bool checkLayout(ITypeLib* library, REFIID iid, const char* key, const std::vector<Call>& calls);

}  // namespace dormex::com
