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

NX_IMPLEMENT_EXCEPTION(EnxBaseDictionaryException, EnxBaseException)
NX_IMPLEMENT_EXCEPTION(EnxDictionaryItemException, EnxBaseDictionaryException)
NX_IMPLEMENT_EXCEPTION(EnxFileDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxFilesDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxLocaleDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxLocaleizedDictionaryItemException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxBaseCustomDescriptorException, EnxDictionaryItemException)
NX_IMPLEMENT_EXCEPTION(EnxCustomDescsDescriptorException, EnxDictionaryItemException)

PL_CLASS_INFO_IMPL(TnxDictionaryItem, TnxBaseRegisterableDescriptor, "TnxDictionaryItem", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxFileDescriptor, TnxDictionaryItem, "TnxFileDescriptor", nullptr,
                         platform::bindClassTable(nxFileDescriptorFuncs<TnxFileDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxFilesDescriptor, TnxDictionaryItem, "TnxFilesDescriptor", nullptr,
                         platform::bindClassTable(nxFilesDescriptorFuncs<TnxFilesDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxBaseCustomDescriptor, TnxDictionaryItem, "TnxBaseCustomDescriptor", nullptr,
                         platform::bindClassTable(nxCustomDescriptorFuncs<TnxBaseCustomDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxLocaleDescriptor, TnxDictionaryItem, "TnxLocaleDescriptor", nullptr,
                         platform::bindClassTable(nxLocaleDescriptorFuncs<TnxLocaleDescriptor>))
PL_CLASS_INFO_IMPL(TnxLocalizedDictionaryItem, TnxDictionaryItem, "TnxLocalizedDictionaryItem", nullptr)

namespace {

// The registries of the families of this file.
TnxClassList gFileDescriptorClasses = nullptr;
TnxClassList gFilesDescriptorClasses = nullptr;
TnxClassList gCustomDescriptorClasses = nullptr;
TnxClassList gLocaleDescriptorClasses = nullptr;

nxString trimControls(const nxString& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && s[b] < 33) ++b;
  while (e > b && s[e - 1] < 33) --e;
  return s.substr(b, e - b);
}

}  // namespace

// ===========================================================================
// TnxDictionaryItem

TnxDictionaryItem::TnxDictionaryItem(TnxPersistent* aParent) : diParent(aParent) {
  TnxDictionaryItem* parent = ParentItem();
  if (parent) {
    if (TnxDictionaryItem* dd = parent->FindDataDictionary()) diID = dd->NextItemID();
    parent->AttachChild(this);
  }
}

TnxDictionaryItem::~TnxDictionaryItem() {
  diChilds.reset();
  if (diDetached) return;
  // Destroyed without beforeDestruction (stack object, failed construction):
  // the register and the parent must not keep this item.
  if (TnxDictionaryItem* parent = ParentItem()) {
    try {
      if (!diConstraintName.empty()) parent->UnregisterConstraintName(this, diConstraintName);
    } catch (...) {
    }
    try {
      parent->DetachChild(this);
    } catch (...) {
    }
  }
}

void TnxDictionaryItem::beforeDestruction() {
  // Unregistering may refuse; the item then stays alive and whole.
  SetConstraintName(nxString());
  diChilds.reset();
  if (TnxDictionaryItem* parent = ParentItem()) parent->DetachChild(this);
  diDetached = true;
  diCustomStrings.reset();
  TnxBaseRegisterableDescriptor::beforeDestruction();
}

TnxDictionaryItem* TnxDictionaryItem::ParentItem() const { return platform::objectAs<TnxDictionaryItem>(diParent); }

TnxDictionaryItem* TnxDictionaryItem::FindDataDictionary() const {
  for (const TnxDictionaryItem* item = this; item; item = item->ParentItem())
    if (item->IsDataDictionary()) return const_cast<TnxDictionaryItem*>(item);
  return nullptr;
}

void TnxDictionaryItem::CheckReadOnly() {
  if (IsDataDictionary()) return;  // the data dictionary overrides this
  if (TnxDictionaryItem* dd = FindDataDictionary()) dd->CheckReadOnly();
}

std::int32_t TnxDictionaryItem::DictionaryUsableBlockSize(TnxBlockSize /*aBlockSize*/) {
  throw EnxDictionaryItemException(NotSupported(u"UsableBlockSize"));
}

platform::TStringList& TnxDictionaryItem::CustomStrings() {
  if (!diCustomStrings) diCustomStrings = std::make_unique<platform::TStringList>();
  return *diCustomStrings;
}

void TnxDictionaryItem::SetCustomStrings(const platform::TStringList* aStrings) {
  CheckReadOnly();
  if (!aStrings)
    diCustomStrings.reset();
  else if (aStrings != diCustomStrings.get())
    CustomStrings().assign(*aStrings);
}

void TnxDictionaryItem::SetConstraintName(const nxString& aName) {
  checkIdentifier<EnxDictionaryItemException>(aName, nxErrInvalidName, true);
  if (aName == diConstraintName) return;
  const nxString oldName = diConstraintName;
  if (!aName.empty()) RegisterConstraintName(this, aName);
  if (!oldName.empty()) {
    try {
      UnregisterConstraintName(this, oldName);
    } catch (...) {
      if (!aName.empty()) UnregisterConstraintName(this, aName);
      throw;
    }
  }
  diConstraintName = aName;
}

void TnxDictionaryItem::ActivateCache() {
  if (diCacheActive) return;
  diCacheActive = true;
  for (std::int32_t i = 0; i < ChildCount(); ++i) Childs(i)->ActivateCache();
}

void TnxDictionaryItem::DeactivateCache() {
  if (!diCacheActive) return;
  diCacheActive = false;
  for (std::int32_t i = 0; i < ChildCount(); ++i) Childs(i)->DeactivateCache();
}

void TnxDictionaryItem::AttachChild(TnxDictionaryItem* aItem) {
  if (!diChilds) diChilds = nxCreateOwned<TnxSortedList>();
  diChilds->Add(aItem);
}

void TnxDictionaryItem::DetachChild(TnxDictionaryItem* aItem) {
  if (!diChilds) return;
  diChilds->Remove(aItem);
  if (diChilds->Count() == 0) diChilds.reset();
}

void TnxDictionaryItem::RegisterConstraintName(TnxDictionaryItem* aItem, const nxString& aName) {
  if (TnxDictionaryItem* parent = ParentItem()) parent->RegisterConstraintName(aItem, aName);
}

void TnxDictionaryItem::UnregisterConstraintName(TnxDictionaryItem* aItem, const nxString& aName) {
  if (TnxDictionaryItem* parent = ParentItem()) parent->UnregisterConstraintName(aItem, aName);
}

bool TnxDictionaryItem::IsCompatibleClass(const TnxDictionaryItem* aItem) const {
  return aItem && &aItem->classInfo() == &classInfo();
}

void TnxDictionaryItem::Clear(bool /*aNotify*/) {
  CheckReadOnly();
  diCustomStrings.reset();
}

bool TnxDictionaryItem::FindRelatedDescriptorOfType(const platform::ClassInfo& aType,
                                                    TnxDictionaryItem*& aDescriptor, TnxDictionaryItem* aFrom) {
  aDescriptor = nullptr;
  if (inheritsFrom(aType)) {
    aDescriptor = this;
    return true;
  }
  if (TnxDictionaryItem* parent = ParentItem())
    return parent->FindRelatedDescriptorOfType(aType, aDescriptor, aFrom ? aFrom : this);
  return false;
}

void TnxDictionaryItem::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  const bool old = aClientVersion < nxOldDictionaryClientVersion;
  aWriter.WriteInteger(std::int32_t{old ? 1 : 3});
  aWriter.WriteListBegin();
  if (diCustomStrings)
    for (int i = 0; i < diCustomStrings->count(); ++i) aWriter.WriteString(diCustomStrings->strings(i));
  if (IsDataDictionary() && nxsdStrippedInformation() &&
      (!diCustomStrings || diCustomStrings->values(kMissingInformation).empty()))
    aWriter.WriteString(u"$MissingInformation=True");
  aWriter.WriteListEnd();
  if (!old) {
    aWriter.WriteInteger(diID);
    aWriter.WriteString(diConstraintName);
  }
}

void TnxDictionaryItem::LoadFromReader(TnxReader& aReader) {
  const std::int32_t version = aReader.ReadInteger();
  if (version < 1 || version > 3) throw EnxDictionaryItemException(nxErrIncompatibleStream);
  diCustomStrings.reset();
  if (aReader.NextValue() != vaList) throw EnxDictionaryItemException(nxErrIncompatibleStream);
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) CustomStrings().add(aReader.ReadString());
  aReader.ReadListEnd();
  if (version >= 2) {
    const std::int32_t id = aReader.ReadInteger();
    if (nxsdAssignDepth() <= 0) diID = id;
  }
  if (version >= 3) SetConstraintName(aReader.ReadString());
}

void TnxDictionaryItem::CheckValid(bool aForBuild) {
  if (!aForBuild || !diCustomStrings || diCustomStrings->count() <= 1) return;
  platform::TStringList& lines = *diCustomStrings;
  std::vector<nxString> seen;
  for (int i = lines.count() - 1; i >= 0; --i) {
    const nxString name = lines.names(i);
    if (!name.empty()) {
      bool dup = false;
      for (const nxString& s : seen)
        if (platform::sameTextAscii(s, name)) {
          dup = true;
          break;
        }
      if (dup)
        lines.deleteAt(i);
      else
        seen.push_back(name);
    } else if (trimControls(lines.strings(i)).empty()) {
      lines.deleteAt(i);
    }
  }
}

bool TnxDictionaryItem::IsEqual(const TnxDictionaryItem* aItem) const {
  return aItem && (IsCompatibleClass(aItem) || aItem->IsCompatibleClass(this));
}

void TnxDictionaryItem::Assign(TnxPersistent* aSource) {
  TnxDictionaryItem* source = platform::objectAs<TnxDictionaryItem>(aSource);
  if (!source || &source->classInfo() != &classInfo()) {
    TnxBaseRegisterableDescriptor::Assign(aSource);
    return;
  }
  TnxMemoryStream stream;
  {
    TnxWriter writer(stream);
    source->SaveToWriter(writer, nxInProcessCopyClientVersion);
    writer.FlushBuffer();
  }
  stream.SetPosition(0);
  TnxAssignDepthGuard depth;
  Clear(true);
  TnxReader reader(stream);
  LoadFromReader(reader);
}

bool TnxDictionaryItem::FindParentOfType(const platform::ClassInfo& aType, TnxPersistent*& aParent) const {
  for (TnxPersistent* p = diParent; p;) {
    if (p->inheritsFrom(aType)) {
      aParent = p;
      return true;
    }
    TnxDictionaryItem* item = platform::objectAs<TnxDictionaryItem>(p);
    p = item ? item->diParent : nullptr;
  }
  aParent = nullptr;
  return false;
}

TnxPersistent* TnxDictionaryItem::GetParentOfType(const platform::ClassInfo& aType) const {
  TnxPersistent* result = nullptr;
  if (!FindParentOfType(aType, result))
    throw EnxDictionaryItemException(nxErrObjectNotFound, u"No Parent of type %s could be found",
                                     {classNameText(aType)});
  return result;
}

TnxDictionaryItem* TnxDictionaryItem::GetRelatedDescriptorOfType(const platform::ClassInfo& aType) {
  TnxDictionaryItem* result = nullptr;
  if (!FindRelatedDescriptorOfType(aType, result, nullptr) || !result)
    throw EnxDictionaryItemException(nxErrObjectNotFound, u"No related Descriptor of type %s could be found",
                                     {classNameText(aType)});
  return result;
}

TnxIteratorResult TnxDictionaryItem::IterateReferencing(const TnxDictionaryItemIterator& aIterator, void* aCookie,
                                                        const TnxDictionaryItem* aItem, bool aRecursive) {
  TnxIteratorResult result = irContinue;
  for (std::int32_t i = 0; i < ChildCount(); ++i) {
    TnxDictionaryItem* child = Childs(i);
    if (child->References(aItem)) {
      result = aIterator(child, aCookie);
      if (result == irStop) return result;
    }
    if (aRecursive) {
      result = child->IterateReferencing(aIterator, aCookie, aItem, true);
      if (result == irStop) return result;
    }
  }
  return result;
}

bool TnxDictionaryItem::RequiresPack() {
  if (OwnRequiresPack()) return true;
  for (std::int32_t i = 0; i < ChildCount(); ++i)
    if (Childs(i)->RequiresPack()) return true;
  return false;
}

void TnxDictionaryItem::RegisterFileChanges() {
  TnxDictionaryItem* files = nullptr;
  if (FindRelatedDescriptorOfType(TnxFilesDescriptor::staticClassInfo(), files, nullptr) && files)
    static_cast<TnxFilesDescriptor*>(files)->AddFileChangeNotify(this);
}

void TnxDictionaryItem::UnregisterFileChanges() {
  TnxDictionaryItem* files = nullptr;
  if (FindRelatedDescriptorOfType(TnxFilesDescriptor::staticClassInfo(), files, nullptr) && files)
    static_cast<TnxFilesDescriptor*>(files)->RemoveFileChangeNotify(this);
}

// ===========================================================================
// TnxFileDescriptor

TnxFileDescriptor::TnxFileDescriptor(TnxPersistent* aParent, const nxString& aExtension)
    : TnxDictionaryItem(aParent), fdExtension(aExtension) {}

TnxClassList& TnxFileDescriptor::GetList() { return gFileDescriptorClasses; }

TnxFileDescriptor* TnxFileDescriptor::CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent,
                                                    const nxString& aExtension) {
  const auto* funcs = aClass.table<TnxFileDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    throw EnxFileDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                     {nxString(u"FileDescriptor"), classNameText(aClass)});
  return funcs->create(aParent, aExtension);
}

void TnxFileDescriptor::SetDesc(const nxString& aValue) {
  CheckReadOnly();
  fdDesc = aValue;
}

void TnxFileDescriptor::SetBlockSize(TnxBlockSize aValue) {
  if (aValue == fdBlockSize) return;
  CheckReadOnly();
  fdBlockSize = aValue;
}

std::int32_t TnxFileDescriptor::BlockSizeBytes() const { return 4096 << static_cast<int>(fdBlockSize); }

void TnxFileDescriptor::SetBlockSizeBytes(std::int32_t aValue) {
  switch (aValue) {
    case 4096: SetBlockSize(nxbs4k); break;
    case 8192: SetBlockSize(nxbs8k); break;
    case 16384: SetBlockSize(nxbs16k); break;
    case 32768: SetBlockSize(nxbs32k); break;
    case 65536: SetBlockSize(nxbs64k); break;
    default:
      throw EnxFileDescriptorException(nxErrInvalidDesc, u"%d is not a valid BlockSize", {aValue});
  }
}

void TnxFileDescriptor::SetInitialSize(TnxGrowSize aValue) {
  CheckReadOnly();
  if (aValue < 1) throw EnxFileDescriptorException(nxErrInvalidDesc, u"%d is not a valid InitialSize", {aValue});
  fdInitialSize = aValue;
}

void TnxFileDescriptor::SetGrowSize(TnxGrowSize aValue) {
  CheckReadOnly();
  if (aValue < 1) throw EnxFileDescriptorException(nxErrInvalidDesc, u"%d is not a valid GrowSize", {aValue});
  fdGrowSize = aValue;
}

std::int32_t TnxFileDescriptor::UsableBlockSize() const {
  TnxDictionaryItem* dd = FindDataDictionary();
  if (!dd) throw EnxFileDescriptorException(NotSupported(u"UsableBlockSize"));
  return dd->DictionaryUsableBlockSize(fdBlockSize);
}

nxString TnxFileDescriptor::FileID() {
  return HasCustomStrings() ? CustomStrings().values(u"$FileID") : nxString();
}

void TnxFileDescriptor::SetFileID(const nxString& aValue) {
  CheckReadOnly();
  CustomStrings().setValue(u"$FileID", aValue);
}

void TnxFileDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteString(fdDesc);
  aWriter.WriteInteger(BlockSizeBytes());
  aWriter.WriteInteger(std::int32_t{fdInitialSize});
  aWriter.WriteInteger(std::int32_t{fdGrowSize});
}

void TnxFileDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxFileDescriptorException(nxErrIncompatibleStream);
  fdDesc = aReader.ReadString();
  SetBlockSizeBytes(aReader.ReadInteger());
  const TnxGrowSize initial = aReader.ReadInteger();
  const TnxGrowSize grow = aReader.ReadInteger();
  if (initial < 1 || grow < 1) throw EnxFileDescriptorException(nxErrIncompatibleStream);
  fdInitialSize = initial;
  fdGrowSize = grow;
}

void TnxFileDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (fdNumber == 0) {
    if (!fdExtension.empty())
      throw EnxFileDescriptorException(nxErrInvalidFileExt, u"Invalid file extension: \"%s\"", {fdExtension});
  } else {
    checkIdentifier<EnxFileDescriptorException>(fdExtension, nxErrInvalidFileExt, false);
  }
}

bool TnxFileDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxFileDescriptor>(aItem);
  return other && fdExtension == other->fdExtension && fdDesc == other->fdDesc &&
         fdBlockSize == other->fdBlockSize && fdInitialSize == other->fdInitialSize &&
         fdGrowSize == other->fdGrowSize;
}

// ===========================================================================
// TnxFilesDescriptor

TnxFilesDescriptor::TnxFilesDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}

TnxFilesDescriptor::~TnxFilesDescriptor() {
  FreeFiles();
}

void TnxFilesDescriptor::beforeDestruction() {
  TnxDictionaryItem::beforeDestruction();
  FreeFiles();
}

void TnxFilesDescriptor::FreeFiles() noexcept {
  std::vector<TnxFileDescriptor*> files;
  files.swap(FileDescriptor);
  for (TnxFileDescriptor* f : files) platform::TObject::free(f);
}

TnxClassList& TnxFilesDescriptor::GetList() { return gFilesDescriptorClasses; }

TnxFilesDescriptor* TnxFilesDescriptor::CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent) {
  const auto* funcs = aClass.table<TnxFilesDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    throw EnxFilesDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                      {nxString(u"FilesDescriptor"), classNameText(aClass)});
  return funcs->create(aParent);
}

void TnxFilesDescriptor::Renumber(std::int32_t aFrom) {
  for (std::int32_t i = aFrom < 0 ? 0 : aFrom; i < FileCount(); ++i) FileDescriptor[static_cast<std::size_t>(i)]->fdNumber = i;
}

std::int32_t TnxFilesDescriptor::GetFileFromExt(const nxString& aFileExt) const {
  for (std::int32_t i = 0; i < FileCount(); ++i)
    if (platform::sameTextAscii(FileDescriptor[static_cast<std::size_t>(i)]->fdExtension, aFileExt)) return i;
  return -1;
}

TnxFileDescriptor* TnxFilesDescriptor::AddFile(const nxString& aExtension, TnxBlockSize aBlockSize,
                                               const nxString& aDesc, const platform::ClassInfo* aClass) {
  CheckReadOnly();
  const bool valid = FileDescriptor.empty() ? aExtension.empty()
                                            : nxValidateIdentifier(aExtension, nxErrInvalidFileExt, false, true) == 0;
  if (!valid)
    throw EnxFilesDescriptorException(nxErrInvalidFileExt, u"Invalid file extension: \"%s\"", {aExtension});
  if (GetFileFromExt(aExtension) >= 0)
    throw EnxFilesDescriptorException(nxErrNameNotUnique, u"Duplicated file extension: \"%s\"", {aExtension});
  TnxOwned<TnxFileDescriptor> owned(
      TnxFileDescriptor::CreateOfClass(aClass ? *aClass : TnxFileDescriptor::staticClassInfo(), this, aExtension));
  owned->fdDesc = aDesc;
  owned->fdBlockSize = aBlockSize;
  FileDescriptor.push_back(owned.get());
  TnxFileDescriptor* file = owned.release();
  file->fdNumber = FileCount() - 1;
  return file;
}

TnxFileDescriptor* TnxFilesDescriptor::InsertFileAt(std::int32_t aInx, const nxString& aExtension,
                                                    TnxBlockSize aBlockSize, const nxString& aDesc,
                                                    const platform::ClassInfo* aClass) {
  CheckReadOnly();
  if (aInx < 0 || aInx > FileCount())
    throw EnxFilesDescriptorException(nxErrInvalidDescNumber, u"Index out of bounds: %d", {aInx});
  NotifyFileChange(true, -1, aInx);
  TnxFileDescriptor* file = AddFile(aExtension, aBlockSize, aDesc, aClass);
  const std::int32_t pos = file->fdNumber;
  if (aInx < pos) {
    FileDescriptor.erase(FileDescriptor.begin() + pos);
    FileDescriptor.insert(FileDescriptor.begin() + aInx, file);
    Renumber(aInx);
    NotifyFileChange(false, -1, aInx);
  }
  return file;
}

void TnxFilesDescriptor::MoveFile(std::int32_t aFrom, std::int32_t aTo) {
  CheckReadOnly();
  const auto inside = [this](std::int32_t i) { return i >= 1 && i <= FileCount() - 1; };
  if (!inside(aFrom) || !inside(aTo))
    throw EnxFilesDescriptorException(nxErrInvalidDescNumber, u"Index out of bounds: %d",
                                      {inside(aFrom) ? aTo : aFrom});
  if (aFrom == aTo) return;
  NotifyFileChange(true, aFrom, aTo);
  TnxFileDescriptor* file = FileDescriptor[static_cast<std::size_t>(aFrom)];
  FileDescriptor.erase(FileDescriptor.begin() + aFrom);
  FileDescriptor.insert(FileDescriptor.begin() + aTo, file);
  Renumber(aFrom < aTo ? aFrom : aTo);
  NotifyFileChange(false, aFrom, aTo);
}

void TnxFilesDescriptor::RemoveFile(std::int32_t aInx) {
  CheckReadOnly();
  if (aInx == 0)
    throw EnxFilesDescriptorException(nxErrObjectInUse, u"Cannot remove the base file descriptor");
  if (aInx < 1 || aInx > FileCount() - 1) return;
  NotifyFileChange(true, aInx, -1);
  TnxFileDescriptor* file = FileDescriptor[static_cast<std::size_t>(aInx)];
  FileDescriptor.erase(FileDescriptor.begin() + aInx);
  // The descriptor goes even when an after-call fails: it is out of the list.
  struct FreeGuard {
    TnxFileDescriptor* f;
    ~FreeGuard() {
      try {
        platform::TObject::free(f);
      } catch (...) {
      }
    }
  } guard{file};
  Renumber(aInx);
  NotifyFileChange(false, aInx, -1);
}

void TnxFilesDescriptor::RenameFile(std::int32_t aInx, const nxString& aNewExtension) {
  CheckReadOnly();
  if (aInx < 1 || aInx > FileCount() - 1)
    throw EnxFilesDescriptorException(nxErrInvalidDescNumber, u"Index out of bounds: %d", {aInx});
  if (nxValidateIdentifier(aNewExtension, nxErrInvalidFileExt, false, true) != 0)
    throw EnxFilesDescriptorException(nxErrInvalidFileExt, u"Invalid file extension: \"%s\"", {aNewExtension});
  TnxFileDescriptor* file = FileDescriptor[static_cast<std::size_t>(aInx)];
  if (!platform::sameTextAscii(file->fdExtension, aNewExtension) && GetFileFromExt(aNewExtension) >= 0)
    throw EnxFilesDescriptorException(nxErrNameNotUnique, u"Duplicated file extension: \"%s\"", {aNewExtension});
  file->fdExtension = aNewExtension;
}

void TnxFilesDescriptor::RenameFile(const nxString& aOldExtension, const nxString& aNewExtension) {
  RenameFile(GetFileFromExt(aOldExtension), aNewExtension);
}

void TnxFilesDescriptor::AddFileChangeNotify(TnxDictionaryItem* aItem) {
  if (!fidFileChangeNotifies) fidFileChangeNotifies = nxCreateOwned<TnxSortedList>();
  std::int32_t inx;
  if (!fidFileChangeNotifies->Find(aItem, inx)) fidFileChangeNotifies->Add(aItem);
}

void TnxFilesDescriptor::RemoveFileChangeNotify(TnxDictionaryItem* aItem) {
  if (!fidFileChangeNotifies) return;
  fidFileChangeNotifies->Remove(aItem);
  if (fidFileChangeNotifies->Count() == 0) fidFileChangeNotifies.reset();
}

void TnxFilesDescriptor::NotifyFileChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) {
  if (!fidFileChangeNotifies) return;
  // A handler may unsubscribe: walk a copy.
  std::vector<TnxDictionaryItem*> items;
  for (std::int32_t i = 0; i < fidFileChangeNotifies->Count(); ++i)
    items.push_back(static_cast<TnxDictionaryItem*>(fidFileChangeNotifies->Items(i)));
  for (TnxDictionaryItem* item : items) item->HandleFileChange(aBefore, aOld, aNew);
}

void TnxFilesDescriptor::Clear(bool aNotify) {
  TnxDictionaryItem::Clear(aNotify);
  const std::int32_t count = FileCount();
  if (aNotify)
    for (std::int32_t i = count - 1; i >= 0; --i) NotifyFileChange(true, i, -1);
  FreeFiles();
  if (aNotify)
    for (std::int32_t i = count - 1; i >= 0; --i) NotifyFileChange(false, i, -1);
}

void TnxFilesDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < nxOldDictionaryClientVersion) throw EnxFilesDescriptorException(nxErrIncompatibleVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteInteger(FileCount());
  for (TnxFileDescriptor* file : FileDescriptor) {
    aWriter.WriteString(classNameText(file->classInfo()));
    aWriter.WriteString(file->fdExtension);
    file->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxFilesDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxFilesDescriptorException(nxErrIncompatibleStream);
  Clear(false);
  const std::int32_t count = aReader.ReadInteger();
  if (count < 0 || count > aReader.Remaining()) throw EnxFilesDescriptorException(nxErrIncompatibleStream);
  for (std::int32_t i = 0; i < count; ++i) {
    const nxString name = aReader.ReadString();
    const platform::ClassInfo* cls = FindDescriptorClass<TnxFileDescriptor>(platform::toUtf8(name));
    if (!cls)
      throw EnxFilesDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                        {nxString(u"FileDescriptor"), name});
    nxString ext = aReader.ReadString();
    if (i == 0) ext.clear();
    TnxOwned<TnxFileDescriptor> owned(TnxFileDescriptor::CreateOfClass(*cls, this, ext));
    FileDescriptor.push_back(owned.get());
    TnxFileDescriptor* file = owned.release();
    file->fdNumber = i;
    file->LoadFromReader(aReader);
  }
}

void TnxFilesDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (FileDescriptor.empty())
    throw EnxFilesDescriptorException(nxErrInvalidRecordStruct, u"FilesDescriptor requires a minimum of one file");
  for (std::int32_t i = 0; i < FileCount(); ++i) {
    TnxFileDescriptor* file = FileDescriptor[static_cast<std::size_t>(i)];
    for (std::int32_t j = 0; j < i; ++j)
      if (platform::sameTextAscii(FileDescriptor[static_cast<std::size_t>(j)]->fdExtension, file->fdExtension))
        throw EnxFilesDescriptorException(nxErrNameNotUnique, u"Duplicated file extension: \"%s\"",
                                          {file->fdExtension});
    file->fdNumber = i;
    file->CheckValid(aForBuild);
  }
}

bool TnxFilesDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxFilesDescriptor>(aItem);
  if (!other || other->FileCount() != FileCount()) return false;
  for (std::size_t i = 0; i < FileDescriptor.size(); ++i)
    if (!FileDescriptor[i]->IsEqual(other->FileDescriptor[i])) return false;
  return true;
}

// ===========================================================================
// TnxBaseCustomDescriptor

const nxString& TnxBaseCustomDescriptor::CheckedName(const nxString& aName) {
  checkIdentifier<EnxBaseCustomDescriptorException>(aName, nxErrInvalidName, false);
  return aName;
}

// The name is checked before the item exists (no ID taken, no parent link).
TnxBaseCustomDescriptor::TnxBaseCustomDescriptor(TnxPersistent* aParent, const nxString& aName)
    : TnxDictionaryItem((CheckedName(aName), aParent)), bcdName(aName) {}

TnxClassList& TnxBaseCustomDescriptor::GetList() { return gCustomDescriptorClasses; }

TnxBaseCustomDescriptor* TnxBaseCustomDescriptor::CreateOfClass(const platform::ClassInfo& aClass,
                                                                TnxPersistent* aParent, const nxString& aName) {
  const auto* funcs = aClass.table<TnxCustomDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    throw EnxBaseCustomDescriptorException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                           {nxString(u"CustomDescriptor"), classNameText(aClass)});
  return funcs->create(aParent, aName);
}

void TnxBaseCustomDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  CheckedName(bcdName);
}

bool TnxBaseCustomDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxBaseCustomDescriptor>(aItem);
  return other && bcdName == other->bcdName;
}

// ===========================================================================
// TnxLocaleDescriptor

TnxLocaleDescriptor::TnxLocaleDescriptor(TnxPersistent* aParent)
    : TnxDictionaryItem(aParent), ldLocale(platform::convertDefaultLocale(platform::LOCALE_SYSTEM_DEFAULT)) {}

TnxLocaleDescriptor::~TnxLocaleDescriptor() {
  FreeBuildVersion();
  if (TNLSVersionInfoEx* current = ldNLSVersionInfoCurrent.exchange(nullptr)) nxFreeMem(current);
}

TnxClassList& TnxLocaleDescriptor::GetList() { return gLocaleDescriptorClasses; }

TnxLocaleDescriptor* TnxLocaleDescriptor::CreateOfClass(const platform::ClassInfo& aClass, TnxPersistent* aParent) {
  const auto* funcs = aClass.table<TnxLocaleDescriptorClassFuncs>();
  if (!funcs || !aClass.inheritsFrom(staticClassInfo()))
    throw EnxLocaleizedDictionaryItemException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                               {nxString(u"LocaleDescriptor"), classNameText(aClass)});
  return funcs->create(aParent);
}

void TnxLocaleDescriptor::FreeBuildVersion() noexcept {
  if (ldNLSVersionInfoBuild) nxFreeMem(ldNLSVersionInfoBuild);
  ldNLSVersionInfoBuild = nullptr;
}

TNLSVersionInfoEx& TnxLocaleDescriptor::BuildVersion() {
  if (!ldNLSVersionInfoBuild) {
    ldNLSVersionInfoBuild = static_cast<TNLSVersionInfoEx*>(nxAllocMem(sizeof(TNLSVersionInfoEx)));
    *ldNLSVersionInfoBuild = TNLSVersionInfoEx{};
    ldNLSVersionInfoBuild->dwNLSVersionInfoSize = sizeof(TNLSVersionInfoEx);
  }
  return *ldNLSVersionInfoBuild;
}

void TnxLocaleDescriptor::SetLocale(std::uint32_t aValue) {
  CheckReadOnly();
  ldLocale = aValue ? platform::convertDefaultLocale(aValue) : 0;
}

std::uint32_t TnxLocaleDescriptor::Flags() const {
  return (ldIgnoreNonSpace ? nxNORM_IGNORENONSPACE : 0) | (ldIgnoreSymbols ? nxNORM_IGNORESYMBOLS : 0) |
         (ldUseStringSort ? nxSORT_STRINGSORT : 0) | (ldIgnoreKanaType ? nxNORM_IGNOREKANATYPE : 0) |
         (ldIgnoreWidth ? nxNORM_IGNOREWIDTH : 0);
}

void TnxLocaleDescriptor::SetFlags(std::uint32_t aValue) {
  CheckReadOnly();
  ldIgnoreNonSpace = (aValue & nxNORM_IGNORENONSPACE) != 0;
  ldIgnoreSymbols = (aValue & nxNORM_IGNORESYMBOLS) != 0;
  ldUseStringSort = (aValue & nxSORT_STRINGSORT) != 0;
  ldIgnoreKanaType = (aValue & nxNORM_IGNOREKANATYPE) != 0;
  ldIgnoreWidth = (aValue & nxNORM_IGNOREWIDTH) != 0;
}

std::uint16_t TnxLocaleDescriptor::CompareCodepage() const {
  if (ldLocale == 0) return 0;
  try {
    return platform::localeAnsiCodePage(ldLocale);
  } catch (const platform::OsError& e) {
    nxRaiseOSError(e.code(), 0, u"GetLocaleInfoW");
  }
}

std::uint16_t TnxLocaleDescriptor::StorageCodepage() const {
  return ldOverrideStorageCodepage ? ldOverrideStorageCodepage : CompareCodepage();
}

bool TnxLocaleDescriptor::CurrentLocaleVersionEqualToBuildVersion() {
  if (ldLocale == 0 || !ldNLSVersionInfoBuild) return true;
  TNLSVersionInfoEx* current = ldNLSVersionInfoCurrent.load(std::memory_order_acquire);
  if (!current) {
    auto* mine = static_cast<TNLSVersionInfoEx*>(nxAllocMem(sizeof(TNLSVersionInfoEx)));
    *mine = TNLSVersionInfoEx{};
    try {
      nxGetNLSVersionInfo(static_cast<std::int32_t>(ldLocale), *mine);
    } catch (...) {
      nxFreeMem(mine);
      throw;
    }
    TNLSVersionInfoEx* previous = nullptr;
    if (ldNLSVersionInfoCurrent.compare_exchange_strong(previous, mine, std::memory_order_acq_rel,
                                                        std::memory_order_acquire)) {
      current = mine;
    } else {
      nxFreeMem(mine);
      current = previous;
    }
  }
  const TNLSVersionInfoEx& b = *ldNLSVersionInfoBuild;
  return current->dwNLSVersion == b.dwNLSVersion && current->dwDefinedVersion == b.dwDefinedVersion &&
         current->dwEffectiveId == b.dwEffectiveId && nxSameGUID(current->guidCustomVersion, b.guidCustomVersion);
}

void TnxLocaleDescriptor::SaveToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < nxOldDictionaryClientVersion) throw EnxLocaleDescriptorException(nxErrIncompatibleVersion);
  const std::int32_t version = aClientVersion >= nxLocaleFixesClientVersion && !nxDisable30900LocaleFixes ? 2 : 1;
  aWriter.WriteInteger(version);
  aWriter.WriteInteger(static_cast<std::int32_t>(ldLocale));
  aWriter.WriteBoolean(ldIgnoreKanaType);
  aWriter.WriteBoolean(ldIgnoreNonSpace);
  aWriter.WriteBoolean(ldIgnoreSymbols);
  aWriter.WriteBoolean(ldIgnoreWidth);
  aWriter.WriteBoolean(ldUseStringSort);
  aWriter.WriteInteger(std::int32_t{ldOverrideStorageCodepage});
  if (version >= 2) {
    aWriter.WriteBoolean(ldNLSVersionInfoBuild != nullptr);
    if (ldNLSVersionInfoBuild) {
      aWriter.WriteInteger(static_cast<std::int32_t>(ldNLSVersionInfoBuild->dwNLSVersion));
      aWriter.WriteInteger(static_cast<std::int32_t>(ldNLSVersionInfoBuild->dwDefinedVersion));
      aWriter.WriteInteger(static_cast<std::int32_t>(ldNLSVersionInfoBuild->dwEffectiveId));
      aWriter.WriteGuid(ldNLSVersionInfoBuild->guidCustomVersion);
    }
  }
}

void TnxLocaleDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  const std::int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) throw EnxLocaleDescriptorException(nxErrIncompatibleStream);
  ldVersion = version;
  ldLocale = static_cast<std::uint32_t>(aReader.ReadInteger());
  ldIgnoreKanaType = aReader.ReadBoolean();
  ldIgnoreNonSpace = aReader.ReadBoolean();
  ldIgnoreSymbols = aReader.ReadBoolean();
  ldIgnoreWidth = aReader.ReadBoolean();
  ldUseStringSort = aReader.ReadBoolean();
  const std::int32_t codePage = aReader.ReadInteger();
  if (codePage < 0 || codePage > 0xFFFF) throw EnxLocaleDescriptorException(nxErrIncompatibleStream);
  ldOverrideStorageCodepage = static_cast<std::uint16_t>(codePage);
  if (version == 2 && aReader.ReadBoolean()) {
    TNLSVersionInfoEx& b = BuildVersion();
    b.dwNLSVersion = static_cast<std::uint32_t>(aReader.ReadInteger());
    b.dwDefinedVersion = static_cast<std::uint32_t>(aReader.ReadInteger());
    b.dwEffectiveId = static_cast<std::uint32_t>(aReader.ReadInteger());
    b.guidCustomVersion = aReader.ReadGuid();
  } else {
    FreeBuildVersion();
  }
}

void TnxLocaleDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (ldLocale != 0 && !nxIsValidLocale(static_cast<std::int32_t>(ldLocale)))
    throw EnxLocaleDescriptorException(nxErrInvalidLangDriver, u"Locale not supported/installed: %d",
                                       {static_cast<std::int64_t>(ldLocale)});
  if (ldOverrideStorageCodepage != 0 && !nxIsValidCodePage(ldOverrideStorageCodepage))
    throw EnxLocaleDescriptorException(nxErrInvalidLangDriver, u"Invalid codepage: %d",
                                       {std::int32_t{ldOverrideStorageCodepage}});
  if (!aForBuild) return;
  if (!nxDisable30900LocaleFixes && ldLocale != 0) {
    TNLSVersionInfoEx info{};
    nxGetNLSVersionInfo(static_cast<std::int32_t>(ldLocale), info);
    BuildVersion() = info;
  } else {
    FreeBuildVersion();
  }
}

bool TnxLocaleDescriptor::IsCompareable(const TnxLocaleDescriptor* aLocaleDescriptor) const {
  return TnxDictionaryItem::IsEqual(aLocaleDescriptor) && ldLocale == aLocaleDescriptor->ldLocale &&
         Flags() == aLocaleDescriptor->Flags();
}

bool TnxLocaleDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = platform::objectAs<TnxLocaleDescriptor>(aItem);
  return other && IsCompareable(other) && ldOverrideStorageCodepage == other->ldOverrideStorageCodepage;
}

// ===========================================================================
// TnxLocalizedDictionaryItem

TnxLocalizedDictionaryItem::~TnxLocalizedDictionaryItem() { nxFreeAndNil(ldiLocaleDescriptor); }

void TnxLocalizedDictionaryItem::beforeDestruction() {
  TnxDictionaryItem::beforeDestruction();
  nxFreeAndNil(ldiLocaleDescriptor);
}

TnxLocaleDescriptor* TnxLocalizedDictionaryItem::AddLocaleDescriptor(const platform::ClassInfo* aLocaleClass) {
  CheckReadOnly();
  nxFreeAndNil(ldiLocaleDescriptor);
  ldiLocaleDescriptor =
      TnxLocaleDescriptor::CreateOfClass(aLocaleClass ? *aLocaleClass : TnxLocaleDescriptor::staticClassInfo(), this);
  return ldiLocaleDescriptor;
}

void TnxLocalizedDictionaryItem::RemoveLocaleDescriptor() {
  CheckReadOnly();
  nxFreeAndNil(ldiLocaleDescriptor);
}

TnxLocaleDescriptor* TnxLocalizedDictionaryItem::UsedLocaleDescriptor() {
  if (CacheActive()) return ldiCachedLocaleDescriptor;
  return ldiLocaleDescriptor ? ldiLocaleDescriptor : FindInheritedLocaleDescriptor();
}

TnxLocaleDescriptor* TnxLocalizedDictionaryItem::FindInheritedLocaleDescriptor() {
  TnxDictionaryItem* parent = ParentItem();
  if (!parent) return nullptr;
  TnxDictionaryItem* found = nullptr;
  if (!parent->FindRelatedDescriptorOfType(TnxLocaleDescriptor::staticClassInfo(), found, this)) return nullptr;
  return platform::objectAs<TnxLocaleDescriptor>(found);
}

bool TnxLocalizedDictionaryItem::FindRelatedDescriptorOfType(const platform::ClassInfo& aType,
                                                             TnxDictionaryItem*& aDescriptor,
                                                             TnxDictionaryItem* aFrom) {
  if (aType.inheritsFrom(TnxLocaleDescriptor::staticClassInfo())) {
    aDescriptor = UsedLocaleDescriptor();
    return true;
  }
  return TnxDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

std::uint16_t TnxLocalizedDictionaryItem::UsedStorageCodePage() {
  if (CacheActive()) return ldiCachedStorageCodePage;
  TnxLocaleDescriptor* used = UsedLocaleDescriptor();
  return used ? used->StorageCodepage() : 0;
}

void TnxLocalizedDictionaryItem::ActivateCache() {
  if (!CacheActive()) {
    ldiCachedLocaleDescriptor = UsedLocaleDescriptor();
    ldiCachedStorageCodePage = ldiCachedLocaleDescriptor ? ldiCachedLocaleDescriptor->StorageCodepage() : 0;
  }
  TnxDictionaryItem::ActivateCache();
}

void TnxLocalizedDictionaryItem::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (ldiLocaleDescriptor) ldiLocaleDescriptor->CheckValid(aForBuild);
}

bool TnxLocalizedDictionaryItem::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = platform::objectAs<TnxLocalizedDictionaryItem>(aItem);
  if (!other) return false;
  if (!ldiLocaleDescriptor || !other->ldiLocaleDescriptor)
    return !ldiLocaleDescriptor && !other->ldiLocaleDescriptor;
  return ldiLocaleDescriptor->IsEqual(other->ldiLocaleDescriptor);
}

void TnxLocalizedDictionaryItem::SaveLocaleToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) {
  if (aClientVersion < nxOldDictionaryClientVersion)
    throw EnxLocaleizedDictionaryItemException(nxErrIncompatibleVersion);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteBoolean(ldiLocaleDescriptor != nullptr);
  if (ldiLocaleDescriptor) {
    aWriter.WriteString(classNameText(ldiLocaleDescriptor->classInfo()));
    ldiLocaleDescriptor->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxLocalizedDictionaryItem::LoadLocaleFromReader(TnxReader& aReader) {
  if (aReader.ReadInteger() != 1) throw EnxLocaleizedDictionaryItemException(nxErrIncompatibleStream);
  if (!aReader.ReadBoolean()) return;
  const nxString name = aReader.ReadString();
  const platform::ClassInfo* cls = FindDescriptorClass<TnxLocaleDescriptor>(platform::toUtf8(name));
  if (!cls)
    throw EnxLocaleizedDictionaryItemException(nxErrUnsupportedDescriptor, u"%s class is not supported: %s",
                                               {nxString(u"LocaleDescriptor"), name});
  AddLocaleDescriptor(cls)->LoadFromReader(aReader);
}

// ===========================================================================
// Start-up

void nxsdDataDictionaryItemsRegister() {
  TnxDescriptorClass<TnxFileDescriptor>::Register();
  TnxDescriptorClass<TnxFilesDescriptor>::Register();
  TnxDescriptorClass<TnxLocaleDescriptor>::Register();
}

void nxsdDataDictionaryItemsUnregister() {
  TnxDescriptorClass<TnxLocaleDescriptor>::Unregister();
  TnxDescriptorClass<TnxFilesDescriptor>::Unregister();
  TnxDescriptorClass<TnxFileDescriptor>::Unregister();
  nxFreeClassList(gFileDescriptorClasses);
  nxFreeClassList(gFilesDescriptorClasses);
  nxFreeClassList(gCustomDescriptorClasses);
  nxFreeClassList(gLocaleDescriptorClasses);
}
