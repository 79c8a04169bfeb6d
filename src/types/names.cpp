// Server class and method names as zero-terminated 16-bit text constants.
// The texts are built at compile time from ASCII literals, so every constant
// is initialised before any code of the library runs.
#include <torqa/names.h>

#include <array>
#include <cstddef>

namespace {

template <std::size_t N>
struct ascii_literal {
  char text[N];
  constexpr ascii_literal(const char (&s)[N]) {  // NOLINT: implicit by design
    for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
  }
};

// The literal widened unit by unit, its terminating NUL included.
template <ascii_literal L>
inline constexpr auto units = [] {
  std::array<unsigned short, sizeof(L.text)> a{};
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<unsigned char>(L.text[i]);
  return a;
}();

}  // namespace

const unsigned short* const t_ListOfDataTypes = units<"%ListOfDataTypes">.data();
const unsigned short* const t_ListOfObjects = units<"%ListOfObjects">.data();
const unsigned short* const t_ArrayOfDataTypes = units<"%ArrayOfDataTypes">.data();
const unsigned short* const t_ArrayOfObjects = units<"%ArrayOfObjects">.data();
const unsigned short* const t_RelationshipObj = units<"%Library.RelationshipObject">.data();
const unsigned short* const m_SetAt = units<"SetAt">.data();
const unsigned short* const m_GetAt = units<"GetAt">.data();
const unsigned short* const m_InsertAt = units<"InsertAt">.data();
const unsigned short* const m_RemoveAt = units<"RemoveAt">.data();
const unsigned short* const m_GetNext = units<"GetNext">.data();
const unsigned short* const m_GetPrevious = units<"GetPrevious">.data();
const unsigned short* const m_Insert = units<"Insert">.data();
const unsigned short* const m_Remove = units<"Remove">.data();
const unsigned short* const m_Count = units<"Count">.data();
const unsigned short* const m_New = units<"%New">.data();
const unsigned short* const m_Oid = units<"%Oid">.data();
const unsigned short* const m_Save = units<"%Save">.data();

const unsigned short* const t_AbstractStream = units<"%Library.AbstractStream">.data();
const unsigned short* const t_GlobalCharStream = units<"%Library.GlobalCharacterStream">.data();
const unsigned short* const t_GlobalBinStream = units<"%Library.GlobalBinaryStream">.data();
const unsigned short* const t_FileCharStream = units<"%Library.FileCharacterStream">.data();
const unsigned short* const t_FileBinStream = units<"%Library.FileBinaryStream">.data();
const unsigned short* const m_Read = units<"Read">.data();
const unsigned short* const m_ReadLine = units<"ReadLine">.data();
const unsigned short* const m_Write = units<"Write">.data();
const unsigned short* const m_Rewind = units<"Rewind">.data();
const unsigned short* const m_MoveToEnd = units<"MoveToEnd">.data();
const unsigned short* const m_Clear = units<"Clear">.data();
const unsigned short* const m_CopyFrom = units<"CopyFrom">.data();
const unsigned short* const m_SaveStream = units<"SaveStream">.data();
const unsigned short* const m_GetStreamId = units<"GetStreamId">.data();
const unsigned short* const m_LinkToFile = units<"LinkToFile">.data();
const unsigned short* const m_FilenameSet = units<"FilenameSet">.data();
const unsigned short* const m_FileName = units<"FileName">.data();
const unsigned short* const m_SizeGet = units<"SizeGet">.data();
const unsigned short* const m_LastModifiedGet = units<"LastModifiedGet">.data();
const unsigned short* const m_IsFileUnicode = units<"IsFileUnicode">.data();
