#pragma once

/* ADO as the site library's recordsets are read: the table indexes of the methods used in
   Recordset15, Fields15 and Field15, and the interface IDs every ADO version answers. Shared by
   the COM client and the stand-in server; win/com/AdoLayout.c checks each index against
   mingw-w64's adoint.h when it is compiled, in both architectures. Plain C, so that check can
   include it. */

enum {
    kAdoRecordsetEof = 20,
    kAdoRecordsetFields = 21,
    kAdoRecordsetRecordCount = 26,
    kAdoRecordsetMoveNext = 36,
    kAdoRecordsetState = 55,
    kAdoFieldsCount = 7,
    kAdoFieldsItem = 10,
    kAdoFieldName = 11,
    kAdoFieldValue = 13
};

#ifdef __cplusplus
#include <windows.h>

namespace dormex::ado {

/* ADO's interface IDs differ only in their first part: xxxxxxxx-0000-0010-8000-00AA006D2EA4. */
constexpr IID iid(unsigned long first) {
    return {first, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
}
/* Recordset15 as every ADO version answers it, and the other _Recordset IDs (the older family
   05xx and the newer 15xx): 1.5, 2.0, 2.1 and _Recordset itself. */
inline constexpr IID kRecordset15 = iid(0x0000050E);
inline constexpr IID kRecordsetIids[] = {iid(0x0000050E), iid(0x0000054F), iid(0x00000555),
                                         iid(0x00000556), iid(0x0000150E), iid(0x0000154F),
                                         iid(0x00001555), iid(0x00001556)};
/* Fields (15, 20, Fields) and Field (15, 20, Field) in both families. */
inline constexpr IID kFieldsIids[] = {iid(0x00000506), iid(0x0000054D), iid(0x00000564),
                                      iid(0x00001506), iid(0x0000154D), iid(0x00001564)};
inline constexpr IID kFieldIids[] = {iid(0x00000505), iid(0x0000054C), iid(0x00000569),
                                     iid(0x00001505), iid(0x0000154C), iid(0x00001569)};

}  // namespace dormex::ado
#endif
