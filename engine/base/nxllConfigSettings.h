// Setting descriptions and the abstract configuration stores through which a
// configuration loads and saves component settings by name.
//
// TnxBaseSettings owns the settings it holds (AddSetting takes the given
// object). The stores are abstract: concrete ones (built over component
// settings by the SQL layer) decide how values are kept. No locks: a
// configuration is used by one thread at a time.
#pragma once

#include <cstdint>

#include "nxllBase.h"
#include "nxllStreams.h"
#include "nxllTypes.h"
#include "plVariant.h"

enum TnxSettingType : std::uint8_t {
  nxstString,
  nxstInteger,
  nxstBoolean,
  nxstStream,
  nxstList,
  nxstThreadPriority,
  nxstSingleOption,
  nxstMultiOption,
  nxstAliases,
  nxstUsers,
  nxstExtended,
  nxstPasswordString,
  nxstCaption,
  nxstMemo,
  nxstPasswordMemo
};

// The description of one named setting.
class TnxBaseSetting : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  bool EnforceValues() const { return fEnforceValues; }
  void SetEnforceValues(bool aValue) { fEnforceValues = aValue; }
  const platform::Variant& DefaultValue() const { return fDefaultValue; }
  void SetDefaultValue(const platform::Variant& aValue) { fDefaultValue = aValue; }
  const platform::Variant& Min() const { return fMin; }
  void SetMin(const platform::Variant& aValue) { fMin = aValue; }
  const platform::Variant& Max() const { return fMax; }
  void SetMax(const platform::Variant& aValue) { fMax = aValue; }
  const nxString& ValueList() const { return fValueList; }
  void SetValueList(const nxString& aValue) { fValueList = aValue; }
  const nxString& PropertyName() const { return fPropertyName; }
  void SetPropertyName(const nxString& aValue) { fPropertyName = aValue; }
  const nxString& Name() const { return fName; }
  void SetName(const nxString& aValue) { fName = aValue; }
  const nxString& Hint() const { return fHint; }
  void SetHint(const nxString& aValue) { fHint = aValue; }
  TnxSettingType SettingType() const { return fSettingType; }
  void SetSettingType(TnxSettingType aValue) { fSettingType = aValue; }
  // The label, or the name split into words before each capital A-Z.
  nxString _Label() const;
  void Set_Label(const nxString& aValue) { fLabel = aValue; }
  bool HideFromGUI() const { return fHideFromGUI; }
  void SetHideFromGUI(bool aValue) { fHideFromGUI = aValue; }
  bool NotQueryable() const { return fNotQueryable; }
  void SetNotQueryable(bool aValue) { fNotQueryable = aValue; }

 protected:
  bool fEnforceValues = false;
  platform::Variant fDefaultValue;
  platform::Variant fMin;
  platform::Variant fMax;
  nxString fValueList;
  nxString fPropertyName;
  nxString fName;
  nxString fHint;
  TnxSettingType fSettingType = nxstString;
  nxString fLabel;
  bool fHideFromGUI = false;
  bool fNotQueryable = false;
};

class TnxSetting : public TnxBaseSetting {
  PL_CLASS_INFO_DECL()
 public:
  // Everything but Min and Max; the label as the source computes it.
  virtual void Assign(const TnxBaseSetting& aSource);
};

// An abstract list of settings.
class TnxBaseSettings : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  virtual TnxBaseSetting* GetSetting(std::int32_t anIndex) = 0;
  virtual void SetSetting(std::int32_t anIndex, TnxBaseSetting* aValue) = 0;
  virtual std::int32_t Count() const = 0;
  // Takes aSetting; answers the setting to fill in.
  virtual TnxBaseSetting* AddSetting(TnxBaseSetting* aSetting) = 0;
  virtual void RemoveSetting(std::int32_t anIndex) = 0;
};

class TnxBaseServerConfiguration;

// The stored values of one component. The base keeps nothing: GetValue
// answers an empty variant (not aDefault).
class TnxBaseComponentConfiguration : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseComponentConfiguration(TnxBaseServerConfiguration* aConfig) : fConfig(aConfig) {}
  TnxBaseServerConfiguration* Config() const { return fConfig; }

  virtual void SetValueStream(const nxString& aName, TStream& aStream);
  virtual void GetValueStream(const nxString& aName, TStream& aStream);
  virtual void SetValue(const nxString& aName, const platform::Variant& aValue);
  virtual platform::Variant GetValue(const nxString& aName, const platform::Variant& aDefault);

 private:
  TnxBaseServerConfiguration* fConfig;  // not owned
};

// The configuration of a whole server, read from a file.
class TnxBaseServerConfiguration : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxBaseServerConfiguration(const nxString& aFileName) : fFileName(aFileName) {}

  virtual void EnsureComponentConfiguration(const nxString& aComponent, TnxBaseSettings& aSettings) = 0;
  virtual TnxBaseComponentConfiguration* GetComponentConfiguration(const nxString& aComponent) = 0;
  virtual void Save() = 0;

  bool ReportErrors() const { return fReportErrors; }
  void SetReportErrors(bool aValue) { fReportErrors = aValue; }
  const nxString& FileName() const { return fFileName; }
  const nxString& Errors() const { return fConfigErrors; }
  // Components append their configuration errors, one line each.
  void AddErrors(const nxString& aText) { fConfigErrors += aText; }

 protected:
  bool fReportErrors = false;
  nxString fFileName;
  nxString fConfigErrors;
};
