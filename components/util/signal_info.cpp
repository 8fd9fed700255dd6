// The signal record and its 64-byte wire form.
#include <cstdio>
#include <cstring>

#include "utilLib.h"

namespace {

using Field = char[kSignalFieldSize + 1];

void SetField(Field& field, int value) {
  // Zero the whole field first: the padding goes onto the wire as is.
  memset(field, 0, sizeof(field));
  snprintf(field, sizeof(field), "%d", value);
}

// The field's bytes as received, terminated after the 16th in any case, so
// a field that fills all 16 bytes keeps every one of them.
void TakeField(Field& field, const unsigned char* wire) {
  memcpy(field, wire, kSignalFieldSize);
  field[kSignalFieldSize] = '\0';
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
           strnlen(fields[i], kSignalFieldSize));
}

bool CSignalInfo::Decode(const unsigned char* data, size_t length) {
  if (data == nullptr || length != kSignalDatagramSize) return false;
  TakeField(m_szSignalType, data);
  TakeField(m_szSignalID, data + kSignalFieldSize);
  TakeField(m_szSourceID, data + 2 * kSignalFieldSize);
  TakeField(m_szSubType, data + 3 * kSignalFieldSize);
  return true;
}
