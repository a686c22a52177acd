#include "nxllConfigSettings.h"

PL_CLASS_INFO_IMPL(TnxBaseSetting, TnxObject, "TnxBaseSetting", &platform::factoryFor<TnxBaseSetting>)
PL_CLASS_INFO_IMPL(TnxSetting, TnxBaseSetting, "TnxSetting", &platform::factoryFor<TnxSetting>)
PL_CLASS_INFO_IMPL(TnxBaseSettings, TnxObject, "TnxBaseSettings", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseComponentConfiguration, TnxObject, "TnxBaseComponentConfiguration", nullptr)
PL_CLASS_INFO_IMPL(TnxBaseServerConfiguration, TnxObject, "TnxBaseServerConfiguration", nullptr)

nxString TnxBaseSetting::_Label() const {
  if (!fLabel.empty()) return fLabel;
  nxString result;
  for (std::size_t i = 0; i < fName.size(); ++i) {
    const char16_t c = fName[i];
    if (i > 0 && c >= u'A' && c <= u'Z') result += u' ';
    result += c;
  }
  return result;
}

void TnxSetting::Assign(const TnxBaseSetting& aSource) {
  fEnforceValues = aSource.EnforceValues();
  fDefaultValue = aSource.DefaultValue();
  fValueList = aSource.ValueList();
  fPropertyName = aSource.PropertyName();
  fName = aSource.Name();
  fHint = aSource.Hint();
  fSettingType = aSource.SettingType();
  fLabel = aSource._Label();
  fHideFromGUI = aSource.HideFromGUI();
  fNotQueryable = aSource.NotQueryable();
}

void TnxBaseComponentConfiguration::SetValueStream(const nxString&, TStream&) {}
void TnxBaseComponentConfiguration::GetValueStream(const nxString&, TStream&) {}
void TnxBaseComponentConfiguration::SetValue(const nxString&, const platform::Variant&) {}
platform::Variant TnxBaseComponentConfiguration::GetValue(const nxString&, const platform::Variant&) { return {}; }
