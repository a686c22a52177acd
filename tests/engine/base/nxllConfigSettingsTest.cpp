#include "nxllConfigSettings.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "nxVectorSettings.h"
#include "nxllComponent.h"
#include "plString.h"

namespace {

using platform::toUtf8;

using TVectorSettings = nxtest::VectorSettings;

// Values by name, as a configuration file would keep them.
class TMapConfiguration : public TnxBaseComponentConfiguration {
 public:
  TMapConfiguration() : TnxBaseComponentConfiguration(nullptr) {}
  void SetValue(const nxString& aName, const platform::Variant& aValue) override { values[aName] = aValue; }
  platform::Variant GetValue(const nxString& aName, const platform::Variant& aDefault) override {
    auto it = values.find(aName);
    return it == values.end() ? aDefault : it->second;
  }
  std::map<nxString, platform::Variant> values;
};

TEST(NxSetting, LabelIsTheNameInWordsUnlessSet) {
  struct Case {
    const char16_t* name;
    const char16_t* label;
    const char* expected;
  } cases[] = {
      {u"EventLogEnabled", u"", "Event Log Enabled"},
      {u"X", u"", "X"},
      {u"maxRAM", u"", "max R A M"},
      {u"EventLogEnabled", u"Logging", "Logging"},
      {u"", u"", ""},
  };
  for (const Case& k : cases) {
    TnxOwned<TnxBaseSetting> s(platform::create<TnxBaseSetting>());
    s->SetName(k.name);
    s->Set_Label(k.label);
    EXPECT_EQ(toUtf8(s->_Label()), k.expected);
  }
}

TEST(NxSetting, AssignCopiesAllButMinAndMax) {
  TnxOwned<TnxBaseSetting> source(platform::create<TnxBaseSetting>());
  source->SetEnforceValues(true);
  source->SetDefaultValue(platform::Variant(7));
  source->SetMin(platform::Variant(1));
  source->SetMax(platform::Variant(9));
  source->SetValueList(u"1,7,9");
  source->SetPropertyName(u"Threads");
  source->SetName(u"MaxThreads");
  source->SetHint(u"How many");
  source->SetSettingType(nxstInteger);
  source->SetHideFromGUI(true);
  source->SetNotQueryable(true);

  TnxOwned<TnxSetting> target(platform::create<TnxSetting>());
  target->SetMin(platform::Variant(100));
  target->Assign(*source);
  EXPECT_TRUE(target->EnforceValues());
  EXPECT_EQ(target->DefaultValue().toInt32(), 7);
  EXPECT_EQ(target->Min().toInt32(), 100);
  EXPECT_TRUE(target->Max().isEmpty());
  EXPECT_EQ(toUtf8(target->ValueList()), "1,7,9");
  EXPECT_EQ(toUtf8(target->PropertyName()), "Threads");
  EXPECT_EQ(toUtf8(target->Name()), "MaxThreads");
  EXPECT_EQ(toUtf8(target->Hint()), "How many");
  EXPECT_EQ(target->SettingType(), nxstInteger);
  EXPECT_TRUE(target->HideFromGUI());
  EXPECT_TRUE(target->NotQueryable());
  // The derived label arrives as text: renaming the target keeps it.
  target->SetName(u"Other");
  EXPECT_EQ(toUtf8(target->_Label()), "Max Threads");
}

TEST(NxComponentConfiguration, BaseStoreKeepsNothing) {
  TnxOwned<TnxBaseComponentConfiguration> config(platform::create<TnxBaseComponentConfiguration>(nullptr));
  config->SetValue(u"Active", platform::Variant(true));
  EXPECT_TRUE(config->GetValue(u"Active", platform::Variant(true)).isEmpty());
}

TEST(NxComponentConfiguration, StateComponentDescribesItsTwoSettings) {
  TnxOwned<TnxStateComponent> c(platform::create<TnxStateComponent>());
  TVectorSettings settings;
  c->GetConfigSettings(settings);
  ASSERT_EQ(settings.Count(), 2);
  const char* names[] = {"Active", "EventLogEnabled"};
  for (int i = 0; i < 2; ++i) {
    TnxBaseSetting* s = settings.GetSetting(i);
    EXPECT_EQ(toUtf8(s->Name()), names[i]);
    EXPECT_EQ(toUtf8(s->PropertyName()), names[i]);
    EXPECT_EQ(s->SettingType(), nxstBoolean);
    EXPECT_EQ(toUtf8(s->DefaultValue().toString()), "false");
  }
}

struct LoadedCounter {
  int calls = 0;
  void Handle(TnxComponent*) { ++calls; }
};

TEST(NxComponentConfiguration, SaveAndLoadRoundTripWithoutActivating) {
  TnxOwned<TnxStateComponent> source(platform::create<TnxStateComponent>());
  source->SetEventLogEnabled(true);
  source->Open();
  TMapConfiguration config;
  source->SaveConfig(config);
  EXPECT_TRUE(config.values.at(u"EventLogEnabled").toBoolean());
  EXPECT_TRUE(config.values.at(u"Active").toBoolean());

  TnxOwned<TnxStateComponent> target(platform::create<TnxStateComponent>());
  LoadedCounter loaded;
  target->SetOnSettingsLoaded(TnxNotifyEvent::Of<&LoadedCounter::Handle>(&loaded));
  target->DoLoadConfig(config);
  EXPECT_EQ(loaded.calls, 1);
  EXPECT_TRUE(target->EventLogEnabled());
  EXPECT_EQ(target->SavedActive(), 1);
  EXPECT_FALSE(target->Active());  // applied later
  target->SwitchToSavedActive();
  EXPECT_TRUE(target->Active());
  EXPECT_EQ(target->SavedActive(), 0);
}

TEST(NxComponentConfiguration, TextValuesAndMissingValues) {
  TnxOwned<TnxStateComponent> c(platform::create<TnxStateComponent>());
  c->SetEventLogEnabled(true);
  c->SetSavedActive(1);
  TMapConfiguration empty;
  c->LoadConfig(empty);  // missing values keep the current ones
  EXPECT_TRUE(c->EventLogEnabled());
  EXPECT_EQ(c->SavedActive(), 1);

  TMapConfiguration texts;  // a store that keeps everything as text
  texts.values[u"EventLogEnabled"] = platform::Variant(u"false");
  texts.values[u"Active"] = platform::Variant(u"false");
  c->LoadConfig(texts);
  EXPECT_FALSE(c->EventLogEnabled());
  EXPECT_EQ(c->SavedActive(), 0);
}

}  // namespace
