// Server class and method names used by library and application code, as
// zero-terminated 16-bit text constants (m_<method>, t_<class>).
#pragma once

#include <torqa/export.h>

// Collection classes and methods.
TORQA_API extern const unsigned short* const t_ListOfDataTypes;
TORQA_API extern const unsigned short* const t_ListOfObjects;
TORQA_API extern const unsigned short* const t_ArrayOfDataTypes;
TORQA_API extern const unsigned short* const t_ArrayOfObjects;
TORQA_API extern const unsigned short* const t_RelationshipObj;
TORQA_API extern const unsigned short* const m_SetAt;
TORQA_API extern const unsigned short* const m_GetAt;
TORQA_API extern const unsigned short* const m_InsertAt;
TORQA_API extern const unsigned short* const m_RemoveAt;
TORQA_API extern const unsigned short* const m_GetNext;
TORQA_API extern const unsigned short* const m_GetPrevious;
TORQA_API extern const unsigned short* const m_Insert;
TORQA_API extern const unsigned short* const m_Remove;
TORQA_API extern const unsigned short* const m_Count;
TORQA_API extern const unsigned short* const m_New;
TORQA_API extern const unsigned short* const m_Oid;
TORQA_API extern const unsigned short* const m_Save;

// Stream classes and methods.
TORQA_API extern const unsigned short* const t_AbstractStream;
TORQA_API extern const unsigned short* const t_GlobalCharStream;
TORQA_API extern const unsigned short* const t_GlobalBinStream;
TORQA_API extern const unsigned short* const t_FileCharStream;
TORQA_API extern const unsigned short* const t_FileBinStream;
TORQA_API extern const unsigned short* const m_Read;
TORQA_API extern const unsigned short* const m_ReadLine;
TORQA_API extern const unsigned short* const m_Write;
TORQA_API extern const unsigned short* const m_Rewind;
TORQA_API extern const unsigned short* const m_MoveToEnd;
TORQA_API extern const unsigned short* const m_Clear;
TORQA_API extern const unsigned short* const m_CopyFrom;
TORQA_API extern const unsigned short* const m_SaveStream;
TORQA_API extern const unsigned short* const m_GetStreamId;
TORQA_API extern const unsigned short* const m_LinkToFile;
TORQA_API extern const unsigned short* const m_FilenameSet;
TORQA_API extern const unsigned short* const m_FileName;
TORQA_API extern const unsigned short* const m_SizeGet;
TORQA_API extern const unsigned short* const m_LastModifiedGet;
TORQA_API extern const unsigned short* const m_IsFileUnicode;
