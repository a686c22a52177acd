// The question bank's schema as a data dictionary (table qbnk with the
// nested tables qzrecord and gcount), shared by the dictionary stream tests
// and by the server tests that build the table.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <vector>

#include "nxsdDataDictionary.h"
#include "nxGoldenBytes.h"
#include "nxllStreams.h"
#include "plString.h"

namespace nxsdtest {

using nxtest::Bytes;

struct DictFree {
  void operator()(TnxDataDictionary* d) const { platform::TObject::free(d); }
};
using DictPtr = std::unique_ptr<TnxDataDictionary, DictFree>;

inline DictPtr newDictionary() { return DictPtr(platform::create<TnxDataDictionary>()); }

inline Bytes bytesOf(TnxMemoryStream& s) {
  const auto* p = static_cast<const std::uint8_t*>(s.Memory());
  return Bytes(p, p + s.Size());
}

// Where two streams part, with the bytes around it, for failure messages.
inline std::string streamDiff(const Bytes& a, const Bytes& b) {
  std::size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  std::ostringstream out;
  out << "differ at " << i << " (sizes " << a.size() << ", " << b.size() << ")";
  for (const Bytes* s : {&a, &b}) {
    out << "\n ";
    for (std::size_t k = i >= 24 ? i - 24 : 0; k < std::min(s->size(), i + 24); ++k) {
      const unsigned c = (*s)[k];
      if (k == i) out << '[';
      if (c >= 32 && c < 127)
        out << static_cast<char>(c);
      else
        out << '\\' << c;
      if (k == i) out << ']';
      out << ' ';
    }
  }
  return out.str();
}

inline Bytes writeDict(TnxDataDictionary& d, std::int32_t aClient) {
  TnxMemoryStream s;
  d.WriteToStream(s, aClient);
  return bytesOf(s);
}

inline void readDict(TnxDataDictionary& d, const Bytes& b, const nxString& aBaseName = u"qbnk") {
  TnxMemoryStream s;
  if (!b.empty()) s.WriteBuffer(b.data(), static_cast<std::int32_t>(b.size()));
  s.SetPosition(0);
  d.ReadFromStream(s, aBaseName);
}

struct QuestionBankOptions {
  bool ownLocale = true;   // the table's own locale 1041
  bool refNr = false;      // an nxtRefNr field and an internal index
  bool nested = true;      // qzrecord and gcount
};

inline void addFields(TnxFieldsDescriptor* f,
                      std::initializer_list<std::tuple<const char16_t*, TnxFieldType, std::int32_t>> aFields) {
  for (const auto& [name, type, units] : aFields) f->AddField(name, u"", type, units, 0, false);
}

inline TnxCompKeyDescriptor* addIndex(TnxBaseTableDescriptor& t, const nxString& aName,
                                      std::initializer_list<const char16_t*> aFields) {
  TnxIndexDescriptor* index = t.EnsureIndicesDescriptor()->AddIndex(aName, 0, idAll, u"");
  auto* key = static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor());
  for (const char16_t* field : aFields) key->Add(nxString(field));
  return key;
}

inline DictPtr questionBank(const QuestionBankOptions& o = {}) {
  DictPtr d = newDictionary();
  d->SetGuid(platform::stringToGuid(std::string_view("{5A1C0E2D-7B44-4F19-9E3A-0C6D8B21F7A5}")));
  if (o.ownLocale) d->AddLocaleDescriptor()->SetLocale(1041);
  d->AddBlobDescriptor();
  addFields(d->FieldsDescriptor(), {{u"ID", nxtInt32, 0},
                                    {u"EXAM_NAME", nxtWideString, 40},
                                    {u"NUMBER", nxtInt32, 0},
                                    {u"CATEGORY", nxtWideString, 60},
                                    {u"category_main", nxtWideString, 40},
                                    {u"category_number", nxtInt32, 0},
                                    {u"KEYWORD", nxtWideString, 100},
                                    {u"QUEST_STATE", nxtBlobMemo, 0},
                                    {u"QUEST_FIG", nxtBlobGraphic, 0},
                                    {u"ANSWER", nxtBlobMemo, 0},
                                    {u"CORRECT", nxtWideString, 2},
                                    {u"EXPLAIN_STATE", nxtBlobMemo, 0},
                                    {u"EXPLAIN_FIG", nxtBlobGraphic, 0},
                                    {u"POINT", nxtBlobMemo, 0},
                                    {u"HANTEI", nxtWideString, 2},
                                    {u"CKMARK", nxtWideString, 2},
                                    {u"study_date", nxtDate, 0}});
  if (o.refNr) d->FieldsDescriptor()->AddField(u"row_ref", u"", nxtRefNr, 0, 0, false);
  addIndex(*d, u"ID", {u"ID"});
  addIndex(*d, u"ByCategory", {u"category_number", u"KEYWORD", u"ID"});
  if (o.refNr)
    d->EnsureInternalIndicesDescriptor()->AddIndex(u"ByRef", 0, idNone, u"", &TnxRefKeyDescriptor::staticClassInfo());
  if (o.nested) {
    TnxNestedTableDescriptor* rec = d->TablesDescriptor()->AddTable(u"qzrecord");
    rec->AddRecordDescriptor();
    addFields(rec->FieldsDescriptor(), {{u"exam_name", nxtWideString, 40},
                                        {u"number", nxtInt32, 0},
                                        {u"category", nxtWideString, 60},
                                        {u"category_number", nxtInt32, 0},
                                        {u"category_main", nxtWideString, 40},
                                        {u"keyword", nxtWideString, 100},
                                        {u"ans", nxtWideString, 2},
                                        {u"hantei", nxtWideString, 2},
                                        {u"date_time", nxtDateTime, 0},
                                        {u"id", nxtInt32, 0},
                                        {u"mis", nxtInt32, 0},
                                        {u"study_date", nxtDate, 0},
                                        {u"ans_time", nxtTime, 0}});
    addIndex(*rec, u"id", {u"id"});
    TnxNestedTableDescriptor* count = d->TablesDescriptor()->AddTable(u"gcount");
    count->AddRecordDescriptor();
    addFields(count->FieldsDescriptor(), {{u"start_date_time", nxtDateTime, 0},
                                          {u"end_date_time", nxtDateTime, 0},
                                          {u"study_time", nxtDateTime, 0},
                                          {u"study_date", nxtDate, 0},
                                          {u"study_sec", nxtInt32, 0}});
  }
  return d;
}

}  // namespace nxsdtest
