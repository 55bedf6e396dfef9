#pragma once

#include <windows.h>

#include <cstddef>

// The stand-in site library's identities: its class, its ProgID and the IDs of its three
// interfaces (the COM client's defaults), and the ADO interface IDs its recordsets answer. Shared
// by the server and the client; the method positions are each side's own.
namespace dormexsite {

inline constexpr wchar_t kProgId[] = L"DormexSite.TopLevel";
inline constexpr wchar_t kClassName[] = L"Dormex stand-in site library";

// {E3A74523-1825-4AC0-9A89-67E3B81579B8}
inline constexpr CLSID kClsid = {
    0xE3A74523, 0x1825, 0x4AC0, {0x9A, 0x89, 0x67, 0xE3, 0xB8, 0x15, 0x79, 0xB8}};
// {38443E37-1153-4823-AC50-F35C8DE2D0EE}
inline constexpr IID kTopLevelIid = {
    0x38443E37, 0x1153, 0x4823, {0xAC, 0x50, 0xF3, 0x5C, 0x8D, 0xE2, 0xD0, 0xEE}};
// {91556A0E-19F6-463B-BD49-D296802E969F}
inline constexpr IID kCollectionIid = {
    0x91556A0E, 0x19F6, 0x463B, {0xBD, 0x49, 0xD2, 0x96, 0x80, 0x2E, 0x96, 0x9F}};
// {1B2774D4-361E-42CC-80F5-A873B24D43A4}
inline constexpr IID kCardIid = {
    0x1B2774D4, 0x361E, 0x42CC, {0x80, 0xF5, 0xA8, 0x73, 0xB2, 0x4D, 0x43, 0xA4}};

// ADO's interface IDs differ only in their first part: xxxxxxxx-0000-0010-8000-00AA006D2EA4.
constexpr IID adoIid(unsigned long first) {
    return {first, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
}
// Recordset15 as every ADO version answers it, and the other _Recordset IDs (the older family
// 05xx and the newer 15xx): 1.5, 2.0, 2.1 and _Recordset itself.
inline constexpr IID kRecordset15Iid = adoIid(0x0000050E);
inline constexpr IID kRecordsetIids[] = {adoIid(0x0000050E), adoIid(0x0000054F), adoIid(0x00000555),
                                         adoIid(0x00000556), adoIid(0x0000150E), adoIid(0x0000154F),
                                         adoIid(0x00001555), adoIid(0x00001556)};
// Fields (15, 20, Fields) and Field (15, 20, Field) in both families.
inline constexpr IID kFieldsIids[] = {adoIid(0x00000506), adoIid(0x0000054D), adoIid(0x00000564),
                                      adoIid(0x00001506), adoIid(0x0000154D), adoIid(0x00001564)};
inline constexpr IID kFieldIids[] = {adoIid(0x00000505), adoIid(0x0000054C), adoIid(0x00000569),
                                     adoIid(0x00001505), adoIid(0x0000154C), adoIid(0x00001569)};

// Table index of an interface's own method at `position` (1 = the first after IUnknown's three
// and IDispatch's four slots).
inline constexpr int kOwnBase = 6;

// The server's interfaces, as test hooks name them.
enum class Iface : int {
    TopLevel = 1,
    Collection = 2,
    Card = 3,
    Recordset = 4,
    Fields = 5,
    Field = 6
};

}  // namespace dormexsite
