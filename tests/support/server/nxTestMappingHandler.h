// A mapping handler as the SQL layer's live-result handler will be: outer
// fields map to the inner fields of the same name (case ignored); one outer
// column that the inner layout lacks is computed when records go out.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "nxsrServerCursorMapping.h"

namespace nxtest {

class TestMappingHandler : public TnxBaseMappingHandler {
 public:
  // aCompute fills the computed column aComputed of the outer record from
  // the inner one; aOuter is owned by the handler.
  TestMappingHandler(TnxDataDictionary* aOuter, TnxFieldsDescriptor* aInner, const nxString& aComputed,
                     std::function<platform::Variant(TnxFieldsDescriptor*, const void*)> aCompute)
      : TnxBaseMappingHandler(aOuter), inner_(aInner), compute_(std::move(aCompute)) {
    TnxFieldsDescriptor* outer = aOuter->FieldsDescriptor();
    computed_ = outer->GetFieldFromName(aComputed);
    for (std::int32_t i = 0; i < outer->FieldCount(); ++i)
      in_.push_back(i == computed_ ? -1 : aInner->GetFieldFromName(outer->Fields(i)->Name()));
    for (std::int32_t i = 0; i < aInner->FieldCount(); ++i) out_.push_back(outer->GetFieldFromName(aInner->Fields(i)->Name()));
  }

  std::int32_t MapFieldNoIn(std::int32_t aFieldNo) override { return at(in_, aFieldNo); }
  std::int32_t MapFieldNoOut(std::int32_t aFieldNo) override { return at(out_, aFieldNo); }
  TnxResult MapRecordIn(const void* aSource, void* aTarget) override {
    TnxFieldsDescriptor* outer = bmhDictionary->FieldsDescriptor();
    for (std::int32_t i = 0; i < outer->FieldCount(); ++i)
      if (in_[static_cast<std::size_t>(i)] >= 0) copy(outer, i, aSource, inner_, in_[static_cast<std::size_t>(i)], aTarget);
    return mapInResult;
  }
  TnxResult MapRecordOut(const void* aSource, void* aTarget) override {
    TnxFieldsDescriptor* outer = bmhDictionary->FieldsDescriptor();
    outer->InitRecord(aTarget);
    for (std::int32_t i = 0; i < inner_->FieldCount(); ++i)
      if (out_[static_cast<std::size_t>(i)] >= 0) copy(inner_, i, aSource, outer, out_[static_cast<std::size_t>(i)], aTarget);
    if (computed_ >= 0) outer->fsdSetFieldByIndexAsVariant(aTarget, computed_, compute_(inner_, aSource));
    return 0;
  }

  // Answered by MapRecordIn (after it copied).
  TnxResult mapInResult = 0;

 private:
  static std::int32_t at(const std::vector<std::int32_t>& aMap, std::int32_t aFieldNo) {
    return aFieldNo >= 0 && static_cast<std::size_t>(aFieldNo) < aMap.size() ? aMap[static_cast<std::size_t>(aFieldNo)]
                                                                             : -1;
  }
  static void copy(TnxFieldsDescriptor* aFrom, std::int32_t aFromField, const void* aSource, TnxFieldsDescriptor* aTo,
                   std::int32_t aToField, void* aTarget) {
    const platform::Variant value = aFrom->fsdGetFieldByIndexAsVariant(aSource, aFromField);
    if (value.isNull()) aTo->SetRecordFieldNull(aToField, aTarget, true);
    else aTo->fsdSetFieldByIndexAsVariant(aTarget, aToField, value);
  }

  TnxFieldsDescriptor* inner_;
  std::function<platform::Variant(TnxFieldsDescriptor*, const void*)> compute_;
  std::int32_t computed_ = -1;
  std::vector<std::int32_t> in_;
  std::vector<std::int32_t> out_;
};

}  // namespace nxtest
