/* Compile-time check of platform/win/Ado.h's table indexes against the C declarations of mingw-w64's
   adoint.h. Its C part names these interfaces without declaring them; they are declared first. */
#include <windows.h>
#include <oaidl.h>
#include <stddef.h>

typedef struct ADOError ADOError;
typedef struct ADOErrors ADOErrors;
typedef struct ADOField ADOField;
typedef struct ADOFields ADOFields;
typedef struct ADOParameter ADOParameter;
typedef struct ADOParameters ADOParameters;
typedef struct ADOProperty ADOProperty;
typedef struct ADOProperties ADOProperties;
typedef struct _ADOCommand _ADOCommand;
typedef struct _ADOConnection _ADOConnection;
typedef struct _ADOParameter _ADOParameter;
typedef struct _ADORecordset _ADORecordset;
typedef struct _ADORecord _ADORecord;
typedef struct _ADOStream _ADOStream;
#include <adoint.h>

#include "platform/win/Ado.h"

#define SLOT(table, member, index) \
    _Static_assert(offsetof(table, member) == (index) * sizeof(void*), #table "." #member)

SLOT(Recordset15Vtbl, get_EOF, kAdoRecordsetEof);
SLOT(Recordset15Vtbl, get_Fields, kAdoRecordsetFields);
SLOT(Recordset15Vtbl, get_RecordCount, kAdoRecordsetRecordCount);
SLOT(Recordset15Vtbl, MoveNext, kAdoRecordsetMoveNext);
SLOT(Recordset15Vtbl, get_State, kAdoRecordsetState);
SLOT(Fields15Vtbl, get_Count, kAdoFieldsCount);
SLOT(Fields15Vtbl, get_Item, kAdoFieldsItem);
SLOT(Field15Vtbl, get_Name, kAdoFieldName);
SLOT(Field15Vtbl, get_Value, kAdoFieldValue);
