#include "nxsrServerEngineInt.h"

#include "nxllException.h"
#include "nxllUtils.h"
#include "plFileSystem.h"
#include "plString.h"

PL_CLASS_INFO_IMPL(TnxAliasItem, TnxObject, "TnxAliasItem", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseAliasHandler, TnxComponent, "TnxBaseAliasHandler", nullptr)
PL_CLASS_INFO_IMPL(TnxSimpleAliasHandler, TnxBaseAliasHandler, "TnxSimpleAliasHandler", nullptr)

bool nxDirectoryExists(const nxString& aPath) {
  platform::PathInfo info;
  return platform::currentFileSystem().pathInfo(platform::toUtf8(aPath), info) == 0 && info.isDirectory;
}

bool nxForceDirectories(const nxString& aPath) {
  if (aPath.empty()) return false;
  return platform::currentFileSystem().createDirectories(platform::toUtf8(aPath)) == 0;
}

// ---- TnxBaseAliasHandler -----------------------------------------------------------

bool TnxBaseAliasHandler::IsAlias(const nxString& aAlias) {
  nxString path;
  return GetPath(aAlias, path) == 0;
}

void TnxBaseAliasHandler::GetConfigSettings(TnxBaseSettings& aSettings) {
  TnxComponent::GetConfigSettings(aSettings);
  TnxBaseSetting* setting = aSettings.AddSetting(platform::create<TnxBaseSetting>());
  setting->SetName(u"Aliases");
  setting->SetSettingType(nxstAliases);
  setting->SetPropertyName(u"Aliases");
  setting->SetDefaultValue(platform::Variant(u""));
}

void TnxBaseAliasHandler::LoadConfig(TnxBaseComponentConfiguration& aConfig) {
  TnxComponent::LoadConfig(aConfig);
  nxString text = aConfig.GetValue(u"Aliases", platform::Variant(u"")).toString();
  std::replace(text.begin(), text.end(), u';', u'\n');
  platform::TStringList pairs;
  pairs.setText(text);
  Clear();
  nxString errors;
  for (int i = 0; i < pairs.count(); ++i) {
    const nxString name = pairs.names(i);
    const nxString path = pairs.valueFromIndex(i);
    if (nxValidateIdentifier(name, 10067) != 0) {
      errors += u"ERROR: AliasName \"" + name + u"\" is not valid. Alias has not been activated in the server engine.\r\n";
      continue;
    }
    if (!path.empty() && path.front() != u'#' && !nxDirectoryExists(path))
      errors += u"WARNING: Database folder for \"" + name + u"\" does not exist: \"" + path + u"\r\n";
    Add(name, path, false);
  }
  if (!errors.empty() && aConfig.Config()) aConfig.Config()->AddErrors(errors);
}

void TnxBaseAliasHandler::SaveConfig(TnxBaseComponentConfiguration& aConfig) {
  TnxComponent::SaveConfig(aConfig);
  std::vector<TnxOwned<TnxAliasDescriptor>> list;
  GetList(list);
  nxString text;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i) text += u';';
    text += list[i]->adAlias + u"=" + list[i]->adPath;
  }
  aConfig.SetValue(u"Aliases", platform::Variant(text));
}

void TnxBaseAliasHandler::SaveSettingsToStream(TnxWriter& aWriter) {
  TnxComponent::SaveSettingsToStream(aWriter);
  std::vector<TnxOwned<TnxAliasDescriptor>> list;
  GetList(list);
  aWriter.WriteInteger(std::int32_t{1});
  aWriter.WriteListBegin();
  for (std::size_t i = list.size(); i-- > 0;) {
    aWriter.WriteString(list[i]->adAlias);
    aWriter.WriteString(list[i]->adPath);
  }
  aWriter.WriteListEnd();
}

void TnxBaseAliasHandler::LoadSettingsFromStream(TnxReader& aReader) {
  TnxComponent::LoadSettingsFromStream(aReader);
  Clear();
  if (aReader.ReadInteger() != 1)
    nxRaiseComponentError(TnxComponentExceptionClass::component, false, this, nxErrIncompatibleStream, nxString());
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    const nxString alias = aReader.ReadString();
    const nxString path = aReader.ReadString();
    Add(alias, path, false);
  }
  aReader.ReadListEnd();
}

// ---- TnxSimpleAliasHandler ---------------------------------------------------------

TnxSimpleAliasHandler::TnxSimpleAliasHandler(TnxComponent* aOwner)
    : TnxBaseAliasHandler(aOwner),
      sahPortal(platform::create<TnxInternalReadWritePortal>()),
      sahList(platform::Duplicates::error, false) {
  sahList.setSorted(true);
}

TnxSimpleAliasHandler::~TnxSimpleAliasHandler() {
  Clear();
  platform::TObject::free(std::exchange(sahPortal, nullptr));
}

void TnxSimpleAliasHandler::Clear() {
  TnxPortalWriteGuard guard(*sahPortal);
  for (int i = sahList.count(); i-- > 0;) platform::TObject::free(sahList.objects(i));
  sahList.clear();
}

TnxResult TnxSimpleAliasHandler::Add(const nxString& aAlias, const nxString& aPath, bool aEnforce) {
  TnxPortalWriteGuard guard(*sahPortal);
  int index = 0;
  if (sahList.find(aAlias, index)) return 10009;
  if (aEnforce && !nxDirectoryExists(aPath) && !nxForceDirectories(aPath)) return 9219;
  TnxOwned<TnxAliasItem> item(platform::create<TnxAliasItem>(aPath));
  sahList.addObject(aAlias, item.get());
  item.release();
  return 0;
}

TnxResult TnxSimpleAliasHandler::Delete(const nxString& aAlias) {
  TnxPortalWriteGuard guard(*sahPortal);
  int index = 0;
  if (!sahList.find(aAlias, index)) return 10014;
  platform::TObject::free(sahList.objects(index));
  sahList.deleteAt(index);
  return 0;
}

TnxResult TnxSimpleAliasHandler::Modify(const nxString& aAlias, const nxString& aNewName, const nxString& aNewPath,
                                        bool aEnforce) {
  TnxPortalWriteGuard guard(*sahPortal);
  nxString path = aNewPath;
  if (path.empty())
    if (const TnxResult r = GetPath(aAlias, path)) return r;
  int index = 0;
  if (!aNewName.empty() && aNewName != aAlias) {
    if (sahList.find(aNewName, index)) return 10009;
    // Checked before the old entry goes, so that a failed rename keeps it.
    if (aEnforce && !nxDirectoryExists(path) && !nxForceDirectories(path)) return 9219;
    if (const TnxResult r = Delete(aAlias)) return r;
    return Add(aNewName, path, aEnforce);
  }
  if (!sahList.find(aAlias, index)) return 10014;
  if (aEnforce && !nxDirectoryExists(path) && !nxForceDirectories(path)) return 9219;
  static_cast<TnxAliasItem*>(sahList.objects(index))->Path = path;
  return 0;
}

TnxResult TnxSimpleAliasHandler::GetList(std::vector<TnxOwned<TnxAliasDescriptor>>& aList) {
  TnxPortalReadGuard guard(*sahPortal);
  for (int i = 0; i < sahList.count(); ++i)
    aList.emplace_back(platform::create<TnxAliasDescriptor>(
        sahList.strings(i), static_cast<TnxAliasItem*>(sahList.objects(i))->Path));
  return 0;
}

TnxResult TnxSimpleAliasHandler::GetPath(const nxString& aAlias, nxString& aPath) {
  TnxPortalReadGuard guard(*sahPortal);
  int index = 0;
  if (!sahList.find(aAlias, index)) return 10014;
  aPath = static_cast<TnxAliasItem*>(sahList.objects(index))->Path;
  return 0;
}
