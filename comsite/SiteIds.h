#pragma once

#include <windows.h>

#include <cstddef>

// The stand-in site library's identities: its class, its ProgID, the IDs of its three interfaces
// and of its type library (as DormexSite.idl declares them). SiteLibrary.ini names the class and
// interfaces for the COM client; tests of the client use them too. The test build
// (DormexSiteTest.dll, DORMEX_SITE_TEST_HOOKS) has a class, ProgID and type library of its own,
// so that registering or removing one build never touches the other's registration.
namespace dormexsite {

#ifdef DORMEX_SITE_TEST_HOOKS
inline constexpr wchar_t kProgId[] = L"DormexSiteTest.TopLevel";
inline constexpr wchar_t kClassName[] = L"Dormex stand-in site library, test build";
// {07B11B6C-238B-42E7-B1F3-67C80838054F}
inline constexpr CLSID kClsid = {
    0x07B11B6C, 0x238B, 0x42E7, {0xB1, 0xF3, 0x67, 0xC8, 0x08, 0x38, 0x05, 0x4F}};
// {2103AEC0-66B1-455F-B68C-CCCF80539B6D}
inline constexpr GUID kTypeLibId = {
    0x2103AEC0, 0x66B1, 0x455F, {0xB6, 0x8C, 0xCC, 0xCF, 0x80, 0x53, 0x9B, 0x6D}};
#else
inline constexpr wchar_t kProgId[] = L"DormexSite.TopLevel";
inline constexpr wchar_t kClassName[] = L"Dormex stand-in site library";
// {E3A74523-1825-4AC0-9A89-67E3B81579B8}
inline constexpr CLSID kClsid = {
    0xE3A74523, 0x1825, 0x4AC0, {0x9A, 0x89, 0x67, 0xE3, 0xB8, 0x15, 0x79, 0xB8}};
// {7B1F6C52-3E0A-4F57-9D1B-5A2C8E4F6031}
inline constexpr GUID kTypeLibId = {
    0x7B1F6C52, 0x3E0A, 0x4F57, {0x9D, 0x1B, 0x5A, 0x2C, 0x8E, 0x4F, 0x60, 0x31}};
#endif

// {38443E37-1153-4823-AC50-F35C8DE2D0EE}
inline constexpr IID kTopLevelIid = {
    0x38443E37, 0x1153, 0x4823, {0xAC, 0x50, 0xF3, 0x5C, 0x8D, 0xE2, 0xD0, 0xEE}};
// {91556A0E-19F6-463B-BD49-D296802E969F}
inline constexpr IID kCollectionIid = {
    0x91556A0E, 0x19F6, 0x463B, {0xBD, 0x49, 0xD2, 0x96, 0x80, 0x2E, 0x96, 0x9F}};
// {1B2774D4-361E-42CC-80F5-A873B24D43A4}
inline constexpr IID kCardIid = {
    0x1B2774D4, 0x361E, 0x42CC, {0x80, 0xF5, 0xA8, 0x73, 0xB2, 0x4D, 0x43, 0xA4}};

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
