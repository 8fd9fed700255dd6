// The signal record and its 64-byte wire form.
#include <cstdio>
#include <cstring>

#include "utilLib.h"

namespace {

void SetField(char (&field)[kSignalFieldSize], int value) {
  // Zero the whole field first: the padding goes onto the wire as is.
  memset(field, 0, sizeof(field));
  snprintf(field, sizeof(field), "%d", value);
}

// A field is optional '-', one or more digits, then nothing but NULs.
bool IsValidField(const unsigned char* field) {
  const void* nul = memchr(field, '\0', kSignalFieldSize);
  if (nul == nullptr) return false;
  const size_t length = static_cast<size_t>(
      static_cast<const unsigned char*>(nul) - field);
  size_t i = field[0] == '-' ? 1 : 0;
  if (i == length) return false;
  for (; i < length; ++i)
    if (field[i] < '0' || field[i] > '9') return false;
  for (size_t j = length; j < kSignalFieldSize; ++j)
    if (field[j] != '\0') return false;
  return true;
}

}  // namespace

CSignalInfo::CSignalInfo() {
  SetSignalType(0);
  SetSignalID(0);
  SetSourceID(0);
  SetSubType(0);
}

void CSignalInfo::SetSignalType(int type) { SetField(m_szSignalType, type); }
void CSignalInfo::SetSignalID(int id) { SetField(m_szSignalID, id); }
void CSignalInfo::SetSourceID(int id) { SetField(m_szSourceID, id); }
void CSignalInfo::SetSubType(int subType) { SetField(m_szSubType, subType); }

void CSignalInfo::Encode(unsigned char out[kSignalDatagramSize]) const {
  // Fields set through the public arrays may carry bytes after their
  // terminator; only the text goes out.
  const char* fields[] = {m_szSignalType, m_szSignalID, m_szSourceID,
                          m_szSubType};
  memset(out, 0, kSignalDatagramSize);
  for (size_t i = 0; i < 4; ++i)
    memcpy(out + i * kSignalFieldSize, fields[i],
           strnlen(fields[i], kSignalFieldSize - 1));
}

bool CSignalInfo::Decode(const unsigned char* data, size_t length) {
  if (data == nullptr || length != kSignalDatagramSize) return false;
  for (size_t i = 0; i < 4; ++i)
    if (!IsValidField(data + i * kSignalFieldSize)) return false;
  char* fields[] = {m_szSignalType, m_szSignalID, m_szSourceID, m_szSubType};
  for (size_t i = 0; i < 4; ++i)
    memcpy(fields[i], data + i * kSignalFieldSize, kSignalFieldSize);
  return true;
}
