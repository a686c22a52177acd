#include "nxsdDataDictionaryInt.h"

#include <cstring>
#include <string>
#include <vector>

#include "nxllBde.h"
#include "nxllLockedFuncs.h"
#include "nxllMemoryManager.h"
#include "nxsdNativeVariantConverter.h"
#include "plErrors.h"
#include "plLocale.h"
#include "plString.h"

using namespace nxdd;

NX_IMPLEMENT_EXCEPTION(EnxBaseBlockHeapDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxBaseHeapDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxBaseRecordDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxHeapRecordDescriptorException, EnxBaseRecordDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxBaseRecordCompressionDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxBaseBlobDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxHeapBlobDescriptorException, EnxBaseBlobDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxBaseAutoIncDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxAdvAutoIncDescriptorException, EnxBaseAutoIncDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxBaseStreamDescriptorException, EnxDictionaryItemException)

PL_CLASS_INFO_IMPL(TnxFileStorageDescriptor, TnxDictionaryItem, "TnxFileStorageDescriptor", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxBaseBlockHeapDescriptor, TnxDictionaryItem, "TnxBaseBlockHeapDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxBaseBlockHeapDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseHeapDescriptor, TnxDictionaryItem, "TnxBaseHeapDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxBaseHeapDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseRecordCompressionDescriptor, TnxDictionaryItem, "TnxBaseRecordCompressionDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxBaseRecordCompressionDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseRecordDescriptor, TnxFileStorageDescriptor, "TnxBaseRecordDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxBaseRecordDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxHeapRecordDescriptor, TnxBaseRecordDescriptor, "TnxHeapRecordDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxHeapRecordDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseBlobDescriptor, TnxFileStorageDescriptor, "TnxBaseBlobDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxBaseBlobDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxHeapBlobDescriptor, TnxBaseBlobDescriptor, "TnxHeapBlobDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxHeapBlobDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseAutoIncDescriptor, TnxFileStorageDescriptor, "TnxBaseAutoIncDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxBaseAutoIncDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxAdvAutoIncDescriptor, TnxBaseAutoIncDescriptor, "TnxAdvAutoIncDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxAdvAutoIncDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseStreamDescriptor, TnxDictionaryItem, "TnxBaseStreamDescriptor", nullptr,
                         platform::bindClassTable(nxStorageDescriptorFuncs<TnxBaseStreamDescriptor>))

namespace {

// The registries of the families of this file.
TnxClassList gBlockHeapDescriptorClasses = nullptr;
TnxClassList gHeapDescriptorClasses = nullptr;
TnxClassList gRecordCompressionDescriptorClasses = nullptr;
TnxClassList gRecordDescriptorClasses = nullptr;
TnxClassList gBlobDescriptorClasses = nullptr;
TnxClassList gAutoIncDescriptorClasses = nullptr;
TnxClassList gStreamDescriptorClasses = nullptr;

}  // namespace

// ===========================================================================
// Storage engine descriptors

namespace {

// Builds a part of aClass in Base's family; 15499 with aWord otherwise.
template <class Base, class E>
Base* createStorageDescriptor(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                              const std::string& aHeaderSection, const char16_t* aWord) {
  const auto* funcs = aClass.table<TnxStorageDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(Base::staticClassInfo()))
    throw E(nxErrUnsupportedDescriptor, u"%s class is not supported: %s", {nxString(aWord), classNameText(aClass)});
  return static_cast<Base*>(funcs->create(aParent, aHeaderSection));
}

// The class named next in the stream, in Base's family.
template <class Base, class E>
const platform::ClassInfo& readStorageClass(TnxReader& aReader, const char16_t* aWord) {
  const nxString name = aReader.ReadString();
  const platform::ClassInfo* cls = TnxDictionaryItem::FindDescriptorClass<Base>(platform::toUtf8(name));
  if (!cls) throw E(nxErrUnsupportedDescriptor, u"%s class is not supported: %s", {nxString(aWord), name});
  return *cls;
}

std::int32_t readVersion(TnxReader& aReader, std::int32_t aMin, std::int32_t aMax, TnxResult& aBad) {
  const std::int32_t v = aReader.ReadInteger();
  aBad = (v < aMin || v > aMax) ? nxErrIncompatibleStream : 0;
  return v;
}

}  // namespace

// --- block heap

TnxClassList& TnxBaseBlockHeapDescriptor::GetList() { return gBlockHeapDescriptorClasses; }

void TnxBaseBlockHeapDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteString(bbhdBlockHeapEngine);
}

void TnxBaseBlockHeapDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxBaseBlockHeapDescriptorException(nxErrIncompatibleStream);
  bbhdBlockHeapEngine = aReader.ReadString();
}

bool TnxBaseBlockHeapDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxBaseBlockHeapDescriptor>(aItem);
  return TnxDictionaryItem::IsEqual(aItem) && other && platform::sameTextAscii(bbhdBlockHeapEngine, other->bbhdBlockHeapEngine);
}

// --- heap

TnxClassList& TnxBaseHeapDescriptor::GetList() { return gHeapDescriptorClasses; }
TnxBaseHeapDescriptor::~TnxBaseHeapDescriptor() { nxFreeAndNil(bhdBlockHeapDescriptor); }
void TnxBaseHeapDescriptor::beforeDestruction() {
  nxFreeAndNil(bhdBlockHeapDescriptor);
  TnxDictionaryItem::beforeDestruction();
}

TnxBaseBlockHeapDescriptor* TnxBaseHeapDescriptor::AddBlockHeapDescriptor(const platform::ClassInfo* aClass) {
  CheckReadOnly();
  nxFreeAndNil(bhdBlockHeapDescriptor);
  bhdBlockHeapDescriptor = createStorageDescriptor<TnxBaseBlockHeapDescriptor, EnxBaseHeapDescriptorException>(
      aClass ? *aClass : TnxBaseBlockHeapDescriptor::staticClassInfo(), this, {}, u"BlockHeapDescriptor");
  return bhdBlockHeapDescriptor;
}

void TnxBaseHeapDescriptor::RemoveBlockHeapDescriptor() {
  CheckReadOnly();
  nxFreeAndNil(bhdBlockHeapDescriptor);
}

void TnxBaseHeapDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{aClientVersion >= nxOldDictionaryClientVersion ? 2 : 1});
  aWriter.WriteString(bhdHeapEngine);
  aWriter.WriteBoolean(bhdBlockHeapDescriptor != nullptr);
  if (bhdBlockHeapDescriptor) {
    aWriter.WriteString(classNameText(bhdBlockHeapDescriptor->classInfo()));
    bhdBlockHeapDescriptor->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxBaseHeapDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  TnxResult bad;
  const std::int32_t version = readVersion(aReader, 1, 2, bad);
  if (bad) throw EnxBaseHeapDescriptorException(bad);
  bhdHeapEngine = aReader.ReadString();
  if (aReader.ReadBoolean()) {
    AddBlockHeapDescriptor(&readStorageClass<TnxBaseBlockHeapDescriptor, EnxBaseHeapDescriptorException>(
                               aReader, u"BlockHeapDescriptor"))
        ->LoadFromReader(aReader);
  } else if (version == 1) {
    AddBlockHeapDescriptor();
  } else {
    nxFreeAndNil(bhdBlockHeapDescriptor);
  }
}

void TnxBaseHeapDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (!bhdBlockHeapDescriptor) AddBlockHeapDescriptor();
  bhdBlockHeapDescriptor->CheckValid(aForBuild);
}

bool TnxBaseHeapDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxBaseHeapDescriptor>(aItem);
  return TnxDictionaryItem::IsEqual(aItem) && other && platform::sameTextAscii(bhdHeapEngine, other->bhdHeapEngine) &&
         bothOrEqual<TnxDictionaryItem>(bhdBlockHeapDescriptor, other->bhdBlockHeapDescriptor);
}

// --- record compression

TnxClassList& TnxBaseRecordCompressionDescriptor::GetList() { return gRecordCompressionDescriptorClasses; }

void TnxBaseRecordCompressionDescriptor::SetRecordCompressionEngine(const nxString& aValue) {
  CheckReadOnly();
  brcdRecordCompressionEngine = aValue;
}

std::uint8_t TnxBaseRecordCompressionDescriptor::CompressType() {
  if (!HasCustomStrings()) return 0;
  const nxString v = CustomStrings().values(u"CompressType");
  if (v.empty()) return 0;
  try {
    return static_cast<std::uint8_t>(std::stoi(platform::toUtf8(v)));
  } catch (const std::exception&) {
    return 0;
  }
}

void TnxBaseRecordCompressionDescriptor::SetCompressType(std::uint8_t aValue) {
  CheckReadOnly();
  CustomStrings().setValue(u"CompressType", aValue ? intText(aValue) : nxString());
}

void TnxBaseRecordCompressionDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteString(brcdRecordCompressionEngine);
}

void TnxBaseRecordCompressionDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxBaseRecordCompressionDescriptorException(nxErrIncompatibleStream);
  brcdRecordCompressionEngine = aReader.ReadString();
}

bool TnxBaseRecordCompressionDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxBaseRecordCompressionDescriptor>(aItem);
  return TnxDictionaryItem::IsEqual(aItem) && other &&
         platform::sameTextAscii(brcdRecordCompressionEngine, other->brcdRecordCompressionEngine);
}

// --- file number part

TnxFileStorageDescriptor::TnxFileStorageDescriptor(TnxPersistent* aParent, const std::string& aHeaderSection)
    : TnxDictionaryItem(aParent), fsHeaderSection(aHeaderSection) {
  RegisterFileChanges();
  fsSubscribed = true;
}

// Also when destroyed without the destruction hook: the files descriptor must
// not keep calling a freed item.
TnxFileStorageDescriptor::~TnxFileStorageDescriptor() { Unsubscribe(); }

void TnxFileStorageDescriptor::Unsubscribe() noexcept {
  if (!fsSubscribed) return;
  fsSubscribed = false;
  try {
    UnregisterFileChanges();
  } catch (...) {
  }
}

void TnxFileStorageDescriptor::beforeDestruction() {
  Unsubscribe();
  TnxDictionaryItem::beforeDestruction();
}

void TnxFileStorageDescriptor::CheckFileNumber(std::int32_t aValue) const {
  TnxDictionaryItem* files = nullptr;
  if (const_cast<TnxFileStorageDescriptor*>(this)->FindRelatedDescriptorOfType(TnxFilesDescriptor::staticClassInfo(),
                                                                              files, nullptr) &&
      files && (aValue < 0 || aValue >= static_cast<TnxFilesDescriptor*>(files)->FileCount()))
    Raise(nxErrInvalidDescNumber, u"Invalid file number: %d", {aValue});
}

void TnxFileStorageDescriptor::SetFileNumber(std::int32_t aValue) {
  CheckReadOnly();
  CheckFileNumber(aValue);
  fsFileNumber = aValue;
}

void TnxFileStorageDescriptor::HandleFileChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) {
  if (aBefore) {
    if (aOld == fsFileNumber && aNew < 0) {
      nxString text(u"Cannot remove file %d because it is still referenced by ");
      text.append(EngineKindText());
      Raise(nxErrObjectInUse, text, {fsFileNumber});
    }
    return;
  }
  nxsdAdjustPosition(fsFileNumber, aOld, aNew);
}

void TnxFileStorageDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  CheckFileNumber(fsFileNumber);
}

void TnxFileStorageDescriptor::SaveEnginePart(TnxWriter& aWriter, std::int32_t aClientVersion,
                                              std::int32_t aVersion, std::int32_t aFileFrom,
                                              const nxString& aEngine) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(aVersion);
  aWriter.WriteString(aEngine);
  if (aVersion >= aFileFrom) aWriter.WriteInteger(fsFileNumber);
}

TnxResult TnxFileStorageDescriptor::LoadEnginePart(TnxReader& aReader, std::int32_t aMaxVersion,
                                                   std::int32_t aFileFrom, nxString& aEngine) {
  TnxDictionaryItem::LoadFromReader(aReader);
  TnxResult bad;
  const std::int32_t version = readVersion(aReader, 1, aMaxVersion, bad);
  if (bad) return bad;
  aEngine = aReader.ReadString();
  if (version >= aFileFrom) fsFileNumber = aReader.ReadInteger();
  return 0;
}

bool TnxFileStorageDescriptor::IsEqualEnginePart(const TnxFileStorageDescriptor* aOther, const nxString& aEngine,
                                                 const nxString& aOtherEngine) const {
  return aOther && TnxDictionaryItem::IsEqual(aOther) && fsFileNumber == aOther->fsFileNumber &&
         platform::sameTextAscii(aEngine, aOtherEngine);
}

// --- record

TnxClassList& TnxBaseRecordDescriptor::GetList() { return gRecordDescriptorClasses; }

TnxBaseRecordDescriptor* TnxBaseRecordDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                                TnxPersistent* aParent,
                                                                const std::string& aHeaderSection) {
  return createStorageDescriptor<TnxBaseRecordDescriptor, EnxBaseRecordDescriptorException>(
      aClass, aParent, aHeaderSection, u"RecordDescriptor");
}

void TnxBaseRecordDescriptor::Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {
  throw EnxBaseRecordDescriptorException(aCode, aText, aArgs);
}

void TnxBaseRecordDescriptor::SetRecordEngine(const nxString& aValue) {
  CheckReadOnly();
  brdRecordEngine = aValue;
}

void TnxBaseRecordDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  SaveEnginePart(aWriter, aClientVersion, aClientVersion >= nxOldDictionaryClientVersion ? 2 : 1, 2,
                 brdRecordEngine);
}

void TnxBaseRecordDescriptor::LoadFromReader(TnxReader& aReader) {
  if (const TnxResult bad = LoadEnginePart(aReader, 2, 2, brdRecordEngine))
    throw EnxBaseRecordDescriptorException(bad);
}

bool TnxBaseRecordDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxBaseRecordDescriptor>(aItem);
  return other && IsEqualEnginePart(other, brdRecordEngine, other->brdRecordEngine);
}

TnxHeapRecordDescriptor::~TnxHeapRecordDescriptor() {
  nxFreeAndNil(hrdHeapDescriptor);
  nxFreeAndNil(hrdRecordCompressionDescriptor);
}

void TnxHeapRecordDescriptor::beforeDestruction() {
  nxFreeAndNil(hrdHeapDescriptor);
  nxFreeAndNil(hrdRecordCompressionDescriptor);
  TnxBaseRecordDescriptor::beforeDestruction();
}

TnxBaseHeapDescriptor* TnxHeapRecordDescriptor::AddHeapDescriptor(const platform::ClassInfo* aClass) {
  CheckReadOnly();
  nxFreeAndNil(hrdHeapDescriptor);
  hrdHeapDescriptor = createStorageDescriptor<TnxBaseHeapDescriptor, EnxHeapRecordDescriptorException>(
      aClass ? *aClass : TnxBaseHeapDescriptor::staticClassInfo(), this, {}, u"HeapDescriptor");
  return hrdHeapDescriptor;
}

void TnxHeapRecordDescriptor::RemoveHeapDescriptor() {
  CheckReadOnly();
  nxFreeAndNil(hrdHeapDescriptor);
}

TnxBaseRecordCompressionDescriptor* TnxHeapRecordDescriptor::AddRecordCompressionDescriptor(
    const platform::ClassInfo* aClass) {
  CheckReadOnly();
  nxFreeAndNil(hrdRecordCompressionDescriptor);
  hrdRecordCompressionDescriptor =
      createStorageDescriptor<TnxBaseRecordCompressionDescriptor, EnxHeapRecordDescriptorException>(
          aClass ? *aClass : TnxBaseRecordCompressionDescriptor::staticClassInfo(), this, {},
          u"RecordCompressionDescriptor");
  return hrdRecordCompressionDescriptor;
}

void TnxHeapRecordDescriptor::RemoveRecordCompressionDescriptor() {
  CheckReadOnly();
  nxFreeAndNil(hrdRecordCompressionDescriptor);
}

void TnxHeapRecordDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseRecordDescriptor::SaveToWriter(aWriter, aClientVersion);
  const bool now = aClientVersion >= nxOldDictionaryClientVersion;
  aWriter.WriteInteger(std::int32_t{now ? 3 : 1});
  aWriter.WriteBoolean(hrdHeapDescriptor != nullptr);
  if (hrdHeapDescriptor) {
    aWriter.WriteString(classNameText(hrdHeapDescriptor->classInfo()));
    hrdHeapDescriptor->SaveToWriter(aWriter, aClientVersion);
  }
  if (!now) return;
  aWriter.WriteBoolean(hrdRecordCompressionDescriptor != nullptr);
  if (hrdRecordCompressionDescriptor) {
    aWriter.WriteString(classNameText(hrdRecordCompressionDescriptor->classInfo()));
    hrdRecordCompressionDescriptor->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxHeapRecordDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseRecordDescriptor::LoadFromReader(aReader);
  TnxResult bad;
  const std::int32_t version = readVersion(aReader, 1, 3, bad);
  if (bad) throw EnxBaseHeapDescriptorException(bad);
  if (aReader.ReadBoolean())
    AddHeapDescriptor(&readStorageClass<TnxBaseHeapDescriptor, EnxHeapRecordDescriptorException>(aReader,
                                                                                               u"HeapDescriptor"))
        ->LoadFromReader(aReader);
  else if (version == 1)
    AddHeapDescriptor();
  else
    nxFreeAndNil(hrdHeapDescriptor);
  nxFreeAndNil(hrdRecordCompressionDescriptor);
  if (version >= 3 && aReader.ReadBoolean())
    AddRecordCompressionDescriptor(
        &readStorageClass<TnxBaseRecordCompressionDescriptor, EnxHeapRecordDescriptorException>(
            aReader, u"RecordCompressionDescriptor"))
        ->LoadFromReader(aReader);
}

void TnxHeapRecordDescriptor::CheckValid(bool aForBuild) {
  TnxBaseRecordDescriptor::CheckValid(aForBuild);
  if (!hrdHeapDescriptor) AddHeapDescriptor();
  hrdHeapDescriptor->CheckValid(aForBuild);
  if (hrdRecordCompressionDescriptor) hrdRecordCompressionDescriptor->CheckValid(aForBuild);
}

bool TnxHeapRecordDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxHeapRecordDescriptor>(aItem);
  return TnxBaseRecordDescriptor::IsEqual(aItem) && other &&
         bothOrEqual<TnxDictionaryItem>(hrdHeapDescriptor, other->hrdHeapDescriptor) &&
         bothOrEqual<TnxDictionaryItem>(hrdRecordCompressionDescriptor, other->hrdRecordCompressionDescriptor);
}

// --- BLOB

TnxClassList& TnxBaseBlobDescriptor::GetList() { return gBlobDescriptorClasses; }

TnxBaseBlobDescriptor* TnxBaseBlobDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                            TnxPersistent* aParent,
                                                            const std::string& aHeaderSection) {
  return createStorageDescriptor<TnxBaseBlobDescriptor, EnxBaseBlobDescriptorException>(aClass, aParent,
                                                                                       aHeaderSection,
                                                                                       u"BlobDescriptor");
}

void TnxBaseBlobDescriptor::Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {
  throw EnxBaseBlobDescriptorException(aCode, aText, aArgs);
}

void TnxBaseBlobDescriptor::SetBlobEngine(const nxString& aValue) {
  CheckReadOnly();
  bbdBlobEngine = aValue;
}

void TnxBaseBlobDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  SaveEnginePart(aWriter, aClientVersion, aClientVersion >= nxOldDictionaryClientVersion ? 2 : 1, 2, bbdBlobEngine);
}

void TnxBaseBlobDescriptor::LoadFromReader(TnxReader& aReader) {
  if (const TnxResult bad = LoadEnginePart(aReader, 2, 2, bbdBlobEngine)) throw EnxBaseBlobDescriptorException(bad);
}

bool TnxBaseBlobDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxBaseBlobDescriptor>(aItem);
  return other && IsEqualEnginePart(other, bbdBlobEngine, other->bbdBlobEngine);
}

TnxHeapBlobDescriptor::~TnxHeapBlobDescriptor() { nxFreeAndNil(hbdHeapDescriptor); }

void TnxHeapBlobDescriptor::beforeDestruction() {
  nxFreeAndNil(hbdHeapDescriptor);
  TnxBaseBlobDescriptor::beforeDestruction();
}

TnxBaseHeapDescriptor* TnxHeapBlobDescriptor::AddHeapDescriptor(const platform::ClassInfo* aClass) {
  CheckReadOnly();
  nxFreeAndNil(hbdHeapDescriptor);
  hbdHeapDescriptor = createStorageDescriptor<TnxBaseHeapDescriptor, EnxHeapBlobDescriptorException>(
      aClass ? *aClass : TnxBaseHeapDescriptor::staticClassInfo(), this, {}, u"HeapDescriptor");
  return hbdHeapDescriptor;
}

void TnxHeapBlobDescriptor::RemoveHeapDescriptor() {
  CheckReadOnly();
  nxFreeAndNil(hbdHeapDescriptor);
}

void TnxHeapBlobDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseBlobDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{aClientVersion >= nxOldDictionaryClientVersion ? 2 : 1});
  aWriter.WriteBoolean(hbdHeapDescriptor != nullptr);
  if (hbdHeapDescriptor) {
    aWriter.WriteString(classNameText(hbdHeapDescriptor->classInfo()));
    hbdHeapDescriptor->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxHeapBlobDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseBlobDescriptor::LoadFromReader(aReader);
  TnxResult bad;
  const std::int32_t version = readVersion(aReader, 1, 2, bad);
  if (bad) throw EnxBaseHeapDescriptorException(bad);
  if (aReader.ReadBoolean())
    AddHeapDescriptor(
        &readStorageClass<TnxBaseHeapDescriptor, EnxHeapBlobDescriptorException>(aReader, u"HeapDescriptor"))
        ->LoadFromReader(aReader);
  else if (version == 1)
    AddHeapDescriptor();
  else
    nxFreeAndNil(hbdHeapDescriptor);
}

void TnxHeapBlobDescriptor::CheckValid(bool aForBuild) {
  TnxBaseBlobDescriptor::CheckValid(aForBuild);
  if (!hbdHeapDescriptor) AddHeapDescriptor();
  hbdHeapDescriptor->CheckValid(aForBuild);
}

bool TnxHeapBlobDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxHeapBlobDescriptor>(aItem);
  return TnxBaseBlobDescriptor::IsEqual(aItem) && other &&
         bothOrEqual<TnxDictionaryItem>(hbdHeapDescriptor, other->hbdHeapDescriptor);
}

// --- auto-increment

TnxClassList& TnxBaseAutoIncDescriptor::GetList() { return gAutoIncDescriptorClasses; }

TnxBaseAutoIncDescriptor* TnxBaseAutoIncDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                                  TnxPersistent* aParent,
                                                                  const std::string& aHeaderSection) {
  return createStorageDescriptor<TnxBaseAutoIncDescriptor, EnxBaseAutoIncDescriptorException>(
      aClass, aParent, aHeaderSection, u"AutoIncDescriptor");
}

void TnxBaseAutoIncDescriptor::Raise(TnxResult aCode, const nxString& aText, TnxFormatArgs aArgs) const {
  throw EnxBaseAutoIncDescriptorException(aCode, aText, aArgs);
}

void TnxBaseAutoIncDescriptor::SetAutoIncEngine(const nxString& aValue) {
  CheckReadOnly();
  baidAutoIncEngine = aValue;
}

void TnxBaseAutoIncDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  SaveEnginePart(aWriter, aClientVersion, 1, 1, baidAutoIncEngine);
}

void TnxBaseAutoIncDescriptor::LoadFromReader(TnxReader& aReader) {
  if (const TnxResult bad = LoadEnginePart(aReader, 1, 1, baidAutoIncEngine))
    throw EnxBaseAutoIncDescriptorException(bad);
}

bool TnxBaseAutoIncDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxBaseAutoIncDescriptor>(aItem);
  return other && IsEqualEnginePart(other, baidAutoIncEngine, other->baidAutoIncEngine);
}

void TnxAdvAutoIncDescriptor::SetInitialValue(std::uint32_t aValue) {
  CheckReadOnly();
  aaidInitialValue = aValue;
}

void TnxAdvAutoIncDescriptor::SetStep(TnxAutoIncStepRange aValue) {
  CheckReadOnly();
  aaidStep = aValue;
}

void TnxAdvAutoIncDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxBaseAutoIncDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{2});
  aWriter.WriteInteger(static_cast<std::int32_t>(aaidInitialValue));
  aWriter.WriteInteger(static_cast<std::int32_t>(aaidStep));
}

void TnxAdvAutoIncDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseAutoIncDescriptor::LoadFromReader(aReader);
  TnxResult bad;
  const std::int32_t version = readVersion(aReader, 1, 2, bad);
  if (bad) throw EnxAdvAutoIncDescriptorException(bad);
  const auto value = static_cast<std::uint32_t>(aReader.ReadInteger());
  const auto step = static_cast<std::uint32_t>(aReader.ReadInteger());
  aaidInitialValue = version == 1 ? value + step : value;
  aaidStep = step;
}

bool TnxAdvAutoIncDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxAdvAutoIncDescriptor>(aItem);
  return TnxBaseAutoIncDescriptor::IsEqual(aItem) && other && aaidInitialValue == other->aaidInitialValue &&
         aaidStep == other->aaidStep;
}

// --- stream

TnxClassList& TnxBaseStreamDescriptor::GetList() { return gStreamDescriptorClasses; }

void TnxBaseStreamDescriptor::SetStreamEngine(const nxString& aValue) {
  CheckReadOnly();
  bsdStreamEngine = aValue;
}

void TnxBaseStreamDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteString(bsdStreamEngine);
}

void TnxBaseStreamDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxBaseStreamDescriptorException(nxErrIncompatibleStream);
  bsdStreamEngine = aReader.ReadString();
}

bool TnxBaseStreamDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxBaseStreamDescriptor>(aItem);
  return TnxDictionaryItem::IsEqual(aItem) && other && platform::sameTextAscii(bsdStreamEngine, other->bsdStreamEngine);
}

// ===========================================================================
// Start-up

void nxsdDataDictionaryStorageRegister() {
  TnxDescriptorClass<TnxBaseBlockHeapDescriptor>::Register();
  TnxDescriptorClass<TnxBaseHeapDescriptor>::Register();
  TnxDescriptorClass<TnxBaseRecordCompressionDescriptor>::Register();
  TnxDescriptorClass<TnxBaseRecordDescriptor>::Register();
  TnxDescriptorClass<TnxHeapRecordDescriptor>::Register();
  TnxDescriptorClass<TnxBaseBlobDescriptor>::Register();
  TnxDescriptorClass<TnxHeapBlobDescriptor>::Register();
  TnxDescriptorClass<TnxBaseAutoIncDescriptor>::Register();
  TnxDescriptorClass<TnxAdvAutoIncDescriptor>::Register();
  TnxDescriptorClass<TnxBaseStreamDescriptor>::Register();
}

void nxsdDataDictionaryStorageUnregister() {
  TnxDescriptorClass<TnxBaseStreamDescriptor>::Unregister();
  TnxDescriptorClass<TnxAdvAutoIncDescriptor>::Unregister();
  TnxDescriptorClass<TnxBaseAutoIncDescriptor>::Unregister();
  TnxDescriptorClass<TnxHeapBlobDescriptor>::Unregister();
  TnxDescriptorClass<TnxBaseBlobDescriptor>::Unregister();
  TnxDescriptorClass<TnxHeapRecordDescriptor>::Unregister();
  TnxDescriptorClass<TnxBaseRecordDescriptor>::Unregister();
  TnxDescriptorClass<TnxBaseRecordCompressionDescriptor>::Unregister();
  TnxDescriptorClass<TnxBaseHeapDescriptor>::Unregister();
  TnxDescriptorClass<TnxBaseBlockHeapDescriptor>::Unregister();
  nxFreeClassList(gBlockHeapDescriptorClasses);
  nxFreeClassList(gHeapDescriptorClasses);
  nxFreeClassList(gRecordCompressionDescriptorClasses);
  nxFreeClassList(gRecordDescriptorClasses);
  nxFreeClassList(gBlobDescriptorClasses);
  nxFreeClassList(gAutoIncDescriptorClasses);
  nxFreeClassList(gStreamDescriptorClasses);
}
