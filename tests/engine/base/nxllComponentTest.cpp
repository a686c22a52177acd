#include "nxllComponent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "nxllBde.h"
#include "plString.h"
#include "nxTestWatchdog.h"

namespace {

using platform::fromUtf8;
using platform::toUtf8;

struct Note {
  TnxComponent* receiver;
  TnxComponent* sender;
  TnxNotifyOp op;
};

class TTestComponent : public TnxComponent {
  PL_CLASS_INFO_DECL()
 public:
  explicit TTestComponent(TnxComponent* aOwner = nullptr, std::vector<Note>* aNotes = nullptr,
                          std::vector<std::string>* aFreed = nullptr)
      : TnxComponent(aOwner), notes_(aNotes), freed_(aFreed) {}
  ~TTestComponent() override {
    if (freed_) freed_->push_back(toUtf8(Name()));
  }
  void ProcessNotification(TnxComponent* aSender, TnxNotifyOp aOp, void* aParam) override {
    if (notes_ && aOp != nxnIterate && aOp != nxnBroadcast) notes_->push_back({this, aSender, aOp});
    if (onNotify) onNotify(this, aSender, aOp);
    TnxComponent::ProcessNotification(aSender, aOp, aParam);
  }
  void (*onNotify)(TTestComponent* aSelf, TnxComponent* aSender, TnxNotifyOp aOp) = nullptr;
  TnxComponent* peer = nullptr;  // for handlers

 private:
  std::vector<Note>* notes_;
  std::vector<std::string>* freed_;
};
PL_CLASS_INFO_IMPL(TTestComponent, TnxComponent, "TTestComponent", nullptr)

class TOtherComponent : public TTestComponent {
  PL_CLASS_INFO_DECL()
 public:
  using TTestComponent::TTestComponent;
};
PL_CLASS_INFO_IMPL(TOtherComponent, TTestComponent, "TOtherComponent", nullptr)

template <class T = TTestComponent>
T* make(const char16_t* aName, std::vector<Note>* aNotes = nullptr, TnxComponent* aOwner = nullptr) {
  T* c = platform::create<T>(aOwner, aNotes);
  c->SetName(aName);
  return c;
}

struct Freer {
  std::vector<TnxComponent*> items;
  ~Freer() {
    for (auto it = items.rbegin(); it != items.rend(); ++it) platform::TObject::free(*it);
  }
};

std::vector<nxString> names(const TnxIterationList& aList) {
  std::vector<nxString> result;
  for (int i = 0; i < aList.Count(); ++i) result.push_back(aList.Items(i)->DisplayName());
  return result;
}

// --- ownership

TEST(NxComponent, OwnerFreesItsComponentsLastFirstAfterTellingDependents) {
  std::vector<std::string> freed;
  std::vector<Note> notes;
  auto* owner = platform::create<TTestComponent>(nullptr, nullptr, &freed);
  owner->SetName(u"owner");
  for (const char16_t* n : {u"a", u"b", u"c"}) platform::create<TTestComponent>(owner, nullptr, &freed)->SetName(n);
  auto* watcher = make(u"w", &notes);
  watcher->LinkDependent(owner);
  ASSERT_EQ(owner->ComponentCount(), 3);

  // A component freed on its own leaves the owner's list.
  platform::TObject::free(owner->Components(1));
  EXPECT_EQ(owner->ComponentCount(), 2);

  platform::TObject::free(owner);
  EXPECT_EQ(freed, (std::vector<std::string>{"b", "c", "a", "owner"}));
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].op, nxnDestroying);
  EXPECT_TRUE(watcher->Dependents().empty());
  platform::TObject::free(watcher);
}

// --- dependents

TEST(NxComponent, AddDependentIgnoresNilSelfAndDuplicates) {
  Freer f;
  auto* a = make(u"a");
  auto* b = make(u"b");
  f.items = {a, b};
  a->AddDependent(nullptr);
  a->AddDependent(a);
  EXPECT_TRUE(a->Dependents().empty());
  a->AddDependent(b);
  a->AddDependent(b);
  EXPECT_EQ(a->Dependents(), std::vector<TnxComponent*>{b});
  a->RemoveDependent(nullptr);
  a->RemoveDependent(b);
  a->RemoveDependent(b);
  EXPECT_TRUE(a->Dependents().empty());
}

TEST(NxComponent, LinksAreSymmetricAndDestroyingUnlinksOnce) {
  std::vector<Note> notes;
  auto* a = make(u"a", &notes);
  auto* b = make(u"b", &notes);
  a->LinkDependent(b);
  EXPECT_EQ(a->Dependents(), std::vector<TnxComponent*>{b});
  EXPECT_EQ(b->Dependents(), std::vector<TnxComponent*>{a});

  a->NotifyDependents(nxnDestroying, nullptr, nullptr);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].receiver, b);
  EXPECT_EQ(notes[0].sender, a);
  EXPECT_TRUE(a->Dependents().empty());
  EXPECT_TRUE(b->Dependents().empty());

  // A component going away links with nobody, and says so only once.
  b->LinkDependent(a);
  EXPECT_TRUE(b->Dependents().empty());
  a->AddDependent(b);
  a->NotifyDependents(nxnDestroying, nullptr, nullptr);
  EXPECT_EQ(notes.size(), 1u);
  a->RemoveDependent(b);

  platform::TObject::free(a);
  EXPECT_EQ(notes.size(), 1u);
  platform::TObject::free(b);
}

TEST(NxComponent, HandlerChangingTheListNeitherSkipsNorRepeats) {
  std::vector<Note> notes;
  Freer f;
  auto* hub = make(u"hub", &notes);
  std::vector<TTestComponent*> spokes;
  for (const char16_t* n : {u"s1", u"s2", u"s3", u"s4"}) {
    spokes.push_back(make(n, &notes));
    hub->LinkDependent(spokes.back());
  }
  auto* late = make(u"late", &notes);
  f.items = {hub, spokes[0], spokes[1], spokes[2], spokes[3], late};
  // Every spoke unlinks itself when told, and one links a newcomer.
  for (TTestComponent* s : spokes) {
    s->peer = late;
    s->onNotify = [](TTestComponent* self, TnxComponent* sender, TnxNotifyOp op) {
      if (op != 7) return;
      self->UnlinkDependent(sender);
      if (self->Name() == u"s2") sender->LinkDependent(self->peer);
    };
  }
  hub->NotifyDependents(7, nullptr, nullptr);
  std::vector<TnxComponent*> told;
  for (const Note& n : notes) told.push_back(n.receiver);
  std::sort(told.begin(), told.end());
  std::vector<TnxComponent*> expected{spokes[0], spokes[1], spokes[2], spokes[3], late};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(told, expected);
  EXPECT_EQ(hub->Dependents(), std::vector<TnxComponent*>{late});
}

TEST(NxComponent, NotifyDependentsSkipsExcludedAndStopsOnHandlerError) {
  nxtest::Watchdog watchdog;
  std::vector<Note> notes;
  Freer f;
  auto* a = make(u"a", &notes);
  auto* b = make(u"b", &notes);
  auto* c = make(u"c", &notes);
  f.items = {a, b, c};
  a->LinkDependent(b);
  a->LinkDependent(c);
  a->NotifyDependents(7, nullptr, b);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].receiver, c);

  notes.clear();
  auto thrower = [](TTestComponent*, TnxComponent*, TnxNotifyOp op) {
    if (op == 7) throw platform::RuntimeError("handler failed");
  };
  b->onNotify = thrower;
  c->onNotify = thrower;
  EXPECT_THROW(a->NotifyDependents(7, nullptr, nullptr), platform::RuntimeError);
  EXPECT_EQ(notes.size(), 1u);
  // The list lock was released: another thread can still change it.
  std::thread([&] { a->RemoveDependent(b); }).join();
  EXPECT_EQ(a->Dependents(), std::vector<TnxComponent*>{c});
}

// --- iteration and broadcast

TEST(NxComponent, IterateUnlinkedComponentGivesItself) {
  auto* a = make(u"a");
  auto list = a->IterateDependents();
  ASSERT_EQ(list->Count(), 1);
  EXPECT_EQ(list->Items(0), a);
  list.reset();
  platform::TObject::free(a);
}

TEST(NxComponent, IterateRingSortsByDisplayNameThenAddress) {
  Freer f;
  auto* x = make(u"Zed");
  auto* y = make(u"same");
  auto* z = make(u"SAME");  // equal ignoring case: address decides
  auto* w = make(u"alpha");
  f.items = {x, y, z, w};
  x->LinkDependent(y);
  y->LinkDependent(z);
  z->LinkDependent(x);
  z->LinkDependent(w);
  auto list = y->IterateDependents();
  ASSERT_EQ(list->Count(), 4);
  EXPECT_EQ(list->Items(0), w);
  EXPECT_EQ(list->Items(3), x);
  const bool yFirst = std::less<TnxComponent*>()(y, z);
  EXPECT_EQ(list->Items(1), yFirst ? static_cast<TnxComponent*>(y) : z);
  EXPECT_EQ(list->Items(2), yFirst ? static_cast<TnxComponent*>(z) : y);
}

TEST(NxComponent, IterateExLeavesOutIgnoredClassesAndWhatLiesBehindThem) {
  Freer f;
  auto* start = make(u"start");
  auto* gate = make<TOtherComponent>(u"gate");
  auto* behind = make(u"behind");
  auto* side = make(u"side");
  f.items = {start, gate, behind, side};
  start->LinkDependent(gate);
  gate->LinkDependent(behind);
  start->LinkDependent(side);
  const std::string_view ignore[] = {"tothercomponent"};
  auto list = start->IterateDependentsEx(ignore);
  EXPECT_EQ(names(*list), (std::vector<nxString>{u"side", u"start"}));
}

class TNamedOnlyList : public TnxIterationList {
  PL_CLASS_INFO_DECL()
 public:
  bool AcceptItem(TnxComponent* aItem) override { return aItem->Name() != u"hidden"; }
};
PL_CLASS_INFO_IMPL(TNamedOnlyList, TnxIterationList, "TNamedOnlyList", &platform::factoryFor<TNamedOnlyList>)

TEST(NxComponent, IterationListClassDecidesWhatIsTaken) {
  Freer f;
  auto* a = make(u"a");
  auto* h = make(u"hidden");
  auto* b = make(u"b");
  f.items = {a, h, b};
  a->LinkDependent(h);
  h->LinkDependent(b);
  auto list = a->IterateDependents(&TNamedOnlyList::staticClassInfo());
  EXPECT_EQ(list->className(), "TNamedOnlyList");
  // A refused component is not followed either.
  EXPECT_EQ(names(*list), std::vector<nxString>{u"a"});
}

TEST(NxComponent, BroadcastReachesEachComponentOnceWithTheBroadcasterAsSender) {
  std::vector<Note> notes;
  Freer f;
  auto* a = make(u"a", &notes);
  auto* b = make(u"b", &notes);
  auto* c = make(u"c", &notes);
  auto* d = make(u"d", &notes);
  f.items = {a, b, c, d};
  a->LinkDependent(b);
  b->LinkDependent(c);
  c->LinkDependent(a);
  c->LinkDependent(d);
  b->BroadcastNotification(8, nullptr);
  std::vector<TnxComponent*> told;
  for (const Note& n : notes) {
    EXPECT_EQ(n.op, 8);
    EXPECT_EQ(n.sender, b);
    told.push_back(n.receiver);
  }
  ASSERT_EQ(told.size(), 4u);
  // Depth first: each after the components reached through it; b last.
  EXPECT_EQ(told.back(), b);
  std::sort(told.begin(), told.end());
  EXPECT_EQ(std::unique(told.begin(), told.end()), told.end());
}

// --- names and texts

TEST(NxComponent, DisplayNameAndWhetherItIsStored) {
  auto* c = make(u"");
  EXPECT_EQ(c->DisplayName(), u"TTestComponent");
  c->SetName(u"Engine1");
  EXPECT_EQ(c->DisplayName(), u"Engine1");
  struct Case {
    const char16_t* display;
    bool stored;
  } cases[] = {{u"", false}, {u"ENGINE1", false}, {u"ttestcomponent", false}, {u"Main engine", true}};
  for (const Case& k : cases) {
    c->SetDisplayName(k.display);
    EXPECT_EQ(c->DisplayNameStored(), k.stored) << toUtf8(k.display);
  }
  EXPECT_EQ(c->DisplayName(), u"Main engine");
  EXPECT_EQ(c->Version(), u"4.7501");
  EXPECT_EQ(c->GetDisplayOnlyValue(u"x"), u"(not implemented)");
  EXPECT_FALSE(c->UIStatsVisible());
  platform::TObject::free(c);
}

TEST(NxComponent, ErrorMessageForms) {
  auto* c = make(u"");
  try {
    c->RaiseError(u"Bad thing.");
    FAIL();
  } catch (const EnxComponentException& e) {
    EXPECT_STREQ(e.what(), "DazavAV: <unnamed TTestComponent instance>: Bad thing. [no error code]");
    EXPECT_EQ(e.ErrorCode(), 0u);
  }
  c->SetName(u"Srv");
  try {
    c->RaiseError(nxErrNotSupported, u"nope");
    FAIL();
  } catch (const EnxComponentException& e) {
    EXPECT_STREQ(e.what(), "DazavAV: Srv: nope [$3001/12289]");
    EXPECT_EQ(e.ErrorCode(), nxErrNotSupported);
  }
  EXPECT_NO_THROW(c->CheckError(0));
  EXPECT_THROW(c->CheckError(nxErrIncompatibleStream), EnxComponentException);
  EXPECT_EQ(EnxComponentException::ComponentDescription(nullptr), u"<nil pointer>");
  platform::TObject::free(c);
}

TEST(NxComponent, FormatInt64UsesThousandSeparators) {
  EXPECT_EQ(nxFormatInt64(1234567), u"1,234,567");
  EXPECT_EQ(nxFormatInt64(-5), u"-5");
}

// --- ids

TEST(NxComponent, ComponentIdsOfFreedOrDyingComponentsAreRefused) {
  auto* a = make(u"a");
  const TnxBaseID idA = a->GetComponentID();
  EXPECT_EQ(TnxComponent::LookupByComponentID(idA), a);
  void* oldAddress = a;
  platform::TObject::free(a);
  EXPECT_THROW(TnxComponent::LookupByComponentID(idA), platform::RuntimeError);

  // Allocate until one lands on the old address (usually at once).
  std::vector<TTestComponent*> made;
  for (int i = 0; i < 16 && (made.empty() || made.back() != oldAddress); ++i) made.push_back(make(u"n"));
  for (TTestComponent* n : made) {
    EXPECT_NE(n->GetComponentID(), idA);
    EXPECT_EQ(TnxComponent::LookupByComponentID(n->GetComponentID()), n);
  }
  try {
    TnxComponent::LookupByComponentID(idA);
    FAIL();
  } catch (const platform::RuntimeError& e) {
    EXPECT_STREQ(e.what(), "Invalid ComponentID");
  }
  EXPECT_THROW(TnxComponent::LookupByComponentID(0), platform::RuntimeError);

  // While a component goes away its id is already dead.
  auto* dying = make(u"dying");
  auto* watcher = made.back();
  watcher->LinkDependent(dying);
  static bool lookedUpDead;
  lookedUpDead = false;
  watcher->onNotify = [](TTestComponent*, TnxComponent* sender, TnxNotifyOp op) {
    if (op != nxnDestroying) return;
    try {
      TnxComponent::LookupByComponentID(sender->GetComponentID());
    } catch (const platform::RuntimeError&) {
      lookedUpDead = true;
    }
  };
  const TnxBaseID idDying = dying->GetComponentID();
  platform::TObject::free(dying);
  EXPECT_TRUE(lookedUpDead);
  EXPECT_THROW(TnxComponent::LookupByComponentID(idDying), platform::RuntimeError);
  for (TTestComponent* n : made) platform::TObject::free(n);
}

// --- class registry

TEST(NxRegisterableComponent, RegistryRefusesDuplicatesAndVanishesWhenEmpty) {
  const auto& cls = TnxStateComponent::staticClassInfo();
  TnxRegisterableComponent::Register(cls);
  try {
    TnxRegisterableComponent::Register(cls);
    FAIL();
  } catch (const EnxStateComponentException& e) {
    EXPECT_STREQ(e.what(),
                 "DazavAV: <nil pointer>: The class \"TnxStateComponent\" is already registered [no error code]");
  }
  TnxRegisterableComponent::Register(TnxRegisterableComponent::staticClassInfo());
  EXPECT_EQ(TnxRegisterableComponent::FindRegisteredClass("tnxstatecomponent"), &cls);
  auto all = TnxRegisterableComponent::GetRegisteredClasses(TnxRegisterableComponent::staticClassInfo());
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].name, "TnxRegisterableComponent");
  auto states = TnxRegisterableComponent::GetRegisteredClasses(cls);
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(states[0].classInfo, &cls);

  TnxRegisterableComponent::Unregister(cls);
  TnxRegisterableComponent::Unregister(TnxRegisterableComponent::staticClassInfo());
  EXPECT_EQ(TnxRegisterableComponent::FindRegisteredClass("TnxStateComponent"), nullptr);
  EXPECT_TRUE(TnxRegisterableComponent::GetRegisteredClasses(TnxComponent::staticClassInfo()).empty());
}

// A second Register fails with the exception class of the registering class.
TEST(NxRegisterableComponent, DuplicateRaisesTheRegisteringClassesException) {
  struct Case {
    const platform::ClassInfo* cls;
    const char* exceptionClass;
  };
  const Case cases[] = {
      {&TnxRegisterableComponent::staticClassInfo(), "EnxRegisterableComponentException"},
      {&TnxBaseLog::staticClassInfo(), "EnxBaseLogException"},
      {&TnxLoggableComponent::staticClassInfo(), "EnxLoggableComponentException"},
      {&TnxStateComponent::staticClassInfo(), "EnxStateComponentException"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.cls->name);
    TnxRegisterableComponent::Register(*k.cls);
    try {
      TnxRegisterableComponent::Register(*k.cls);
      ADD_FAILURE() << "no exception";
    } catch (const EnxComponentException& e) {
      EXPECT_EQ(std::string(e.className()), k.exceptionClass);
      EXPECT_EQ(e.ErrorCode(), 0u);
      EXPECT_EQ(std::string(e.what()), "DazavAV: <nil pointer>: The class \"" + std::string(k.cls->name) +
                                           "\" is already registered [no error code]");
    }
    TnxRegisterableComponent::Unregister(*k.cls);
  }
  EXPECT_EQ(TnxRegisterableComponent::FindRegisteredClass("TnxBaseLog"), nullptr);
}

class TTestComponentEditor : public platform::TObject {
  PL_CLASS_INFO_DECL()
};
PL_CLASS_INFO_IMPL(TTestComponentEditor, platform::TObject, "TTestComponentEditor", nullptr)

TEST(NxComponent, FindClassRecursiveWalksAncestors) {
  auto* c = make<TOtherComponent>(u"o");
  platform::registerClass(TTestComponentEditor::staticClassInfo());
  EXPECT_EQ(c->FindClassRecursive("Editor"), &TTestComponentEditor::staticClassInfo());
  EXPECT_EQ(c->FindClassRecursive("Missing"), nullptr);
  platform::unregisterClass(TTestComponentEditor::staticClassInfo());
  platform::TObject::free(c);
}

// --- settings stream

// Tagged bytes as the engine's writer produces them.
template <class F>
std::vector<std::uint8_t> written(F aWrite) {
  TnxMemoryStream stream;
  {
    TnxWriter w(stream);
    aWrite(w);
    w.FlushBuffer();
  }
  const auto* p = static_cast<const std::uint8_t*>(stream.Memory());
  return std::vector<std::uint8_t>(p, p + stream.Size());
}

// The engine's reader over a copy of some bytes.
class TTaggedReader {
 public:
  explicit TTaggedReader(std::vector<std::uint8_t> aBytes)
      : bytes_(std::move(aBytes)), stream_(bytes_.data(), static_cast<std::int32_t>(bytes_.size())), reader(stream_) {}
  bool AtEnd() { return reader.Position() == static_cast<std::int64_t>(bytes_.size()); }

 private:
  std::vector<std::uint8_t> bytes_;
  TnxStaticMemoryStream stream_;

 public:
  TnxReader reader;
};

// A component with one setting of its own after the inherited ones.
class TSettingsComponent : public TnxComponent {
  PL_CLASS_INFO_DECL()
 public:
  TSettingsComponent(const char16_t* aName, std::int32_t aValue) : value(aValue) { SetName(aName); }
  std::int32_t value;
  void SaveSettingsToStream(TnxWriter& aWriter) override {
    TnxComponent::SaveSettingsToStream(aWriter);
    aWriter.WriteInteger(value);
  }
  void LoadSettingsFromStream(TnxReader& aReader) override {
    TnxComponent::LoadSettingsFromStream(aReader);
    value = aReader.ReadInteger();
  }
};
PL_CLASS_INFO_IMPL(TSettingsComponent, TnxComponent, "TSettingsComponent", nullptr)

TEST(NxComponent, SettingsStreamVersionAndName) {
  auto* c = make(u"Server");
  const auto bytes = written([&](TnxWriter& w) { c->SaveSettingsToStream(w); });
  // Integer 1 in its smallest form, then the name in its shortest form.
  const std::vector<std::uint8_t> expected = {vaInt8, 1, vaString, 6, 'S', 'e', 'r', 'v', 'e', 'r'};
  EXPECT_EQ(bytes, expected);
  TTaggedReader again(bytes);
  EXPECT_NO_THROW(c->LoadSettingsFromStream(again.reader));
  EXPECT_TRUE(again.AtEnd());

  TTaggedReader badVersion(written([](TnxWriter& w) { w.WriteInteger(std::int32_t{2}); }));
  try {
    c->LoadSettingsFromStream(badVersion.reader);
    FAIL();
  } catch (const EnxComponentException& e) {
    EXPECT_EQ(e.ErrorCode(), nxErrIncompatibleStream);
  }
  TTaggedReader otherName(written([](TnxWriter& w) {
    w.WriteInteger(std::int32_t{1});
    w.WriteString(u"server");
  }));
  EXPECT_THROW(c->LoadSettingsFromStream(otherName.reader), platform::RuntimeError);
  c->SetName(u"");
  EXPECT_THROW(written([&](TnxWriter& w) { c->SaveSettingsToStream(w); }), platform::RuntimeError);
  platform::TObject::free(c);
}

class NxIterationListSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto [n, v] : {std::pair{u"alpha", 1}, {u"beta", 2}, {u"gamma", 3}, {u"", 4}}) {
      comps.push_back(platform::create<TSettingsComponent>(n, v));
      list.Add(comps.back());
    }
  }
  void TearDown() override {
    for (TSettingsComponent* c : comps) platform::TObject::free(c);
  }
  void setValues(int aValue) {
    for (TSettingsComponent* c : comps) c->value = aValue;
  }
  TnxIterationList list;
  std::vector<TSettingsComponent*> comps;
};

TEST_F(NxIterationListSettings, Version2RoundTripSkipsUnnamedAndUnknownComponents) {
  const auto bytes = written([&](TnxWriter& w) { list.SaveSettingsToStream(w); });
  setValues(0);
  TTaggedReader r(bytes);
  list.LoadSetttingsFromStream(r.reader);
  EXPECT_TRUE(r.AtEnd());
  EXPECT_EQ(comps[0]->value, 1);
  EXPECT_EQ(comps[2]->value, 3);
  EXPECT_EQ(comps[3]->value, 0);  // no name: not stored

  // Read by a list where "beta" no longer exists and "gamma" is spelled in
  // another letter case.
  TnxIterationList fewer;
  fewer.Add(comps[0]);
  fewer.Add(comps[2]);
  setValues(0);
  comps[2]->SetName(u"GAMMA");
  TTaggedReader r2(bytes);
  EXPECT_THROW(fewer.LoadSetttingsFromStream(r2.reader), platform::RuntimeError);  // the block names "gamma"
  comps[2]->SetName(u"gamma");
  TTaggedReader r3(bytes);
  fewer.LoadSetttingsFromStream(r3.reader);
  EXPECT_TRUE(r3.AtEnd());
  EXPECT_EQ(comps[0]->value, 1);
  EXPECT_EQ(comps[1]->value, 0);
  EXPECT_EQ(comps[2]->value, 3);
}

// The layout, byte for byte: version 2, list begin, per named component its
// name, the block length (the writer's 64-bit integer form, so its smallest
// encoding) and the block raw; list end. A state component's block is the
// component's version and name, then its own version, the log flag and Active.
TEST(NxIterationListSettingsLayout, Version2BytesWithAStateComponentBlock) {
  auto* on = platform::create<TnxStateComponent>();
  on->SetName(u"on");
  on->SetEventLogEnabled(true);
  on->Open();
  auto* off = platform::create<TnxStateComponent>();
  off->SetName(u"b");
  TnxIterationList list;
  list.Add(on);
  list.Add(off);  // "b" sorts before "on"
  const auto bytes = written([&](TnxWriter& w) { list.SaveSettingsToStream(w); });
  const std::vector<std::uint8_t> expected = {
      vaInt8, 2, vaList,
      // "b": inactive, logging off
      vaString, 1, 'b', vaInt8, 9,                              // name, block length
      vaInt8, 1, vaString, 1, 'b', vaInt8, 1, vaFalse, vaFalse,  // block
      // "on": started, logging on
      vaString, 2, 'o', 'n', vaInt8, 10,
      vaInt8, 1, vaString, 2, 'o', 'n', vaInt8, 1, vaTrue, vaTrue,
      vaNull};
  EXPECT_EQ(bytes, expected);

  // Read back into fresh components: flags taken, activation only saved.
  on->Close();
  on->SetEventLogEnabled(false);
  TTaggedReader r(bytes);
  list.LoadSetttingsFromStream(r.reader);
  EXPECT_TRUE(r.AtEnd());
  EXPECT_TRUE(on->EventLogEnabled());
  EXPECT_EQ(on->SavedActive(), 1);
  EXPECT_FALSE(on->Active());
  EXPECT_EQ(off->SavedActive(), 0);
  platform::TObject::free(off);
  platform::TObject::free(on);
}

TEST_F(NxIterationListSettings, Version2BlockLongerThanTheStreamFailsWithoutReadingPastIt) {
  auto bytes = written([&](TnxWriter& w) {
    w.WriteInteger(std::int32_t{2});
    w.WriteListBegin();
    w.WriteString(u"alpha");
    w.WriteInteger(std::int64_t{1} << 40);
  });
  TTaggedReader r(bytes);
  EXPECT_ANY_THROW(list.LoadSetttingsFromStream(r.reader));
  EXPECT_EQ(comps[0]->value, 1);
}

TEST_F(NxIterationListSettings, Version1ReadsInlineAndRefusesUnknownNames) {
  const auto bytes = written([&](TnxWriter& w) {
    w.WriteInteger(std::int32_t{1});
    w.WriteString(u"gamma\r\nalpha");
    comps[2]->value = 30;
    comps[2]->SaveSettingsToStream(w);
    comps[0]->value = 10;
    comps[0]->SaveSettingsToStream(w);
  });
  setValues(0);
  TTaggedReader r(bytes);
  list.LoadSetttingsFromStream(r.reader);
  EXPECT_TRUE(r.AtEnd());
  EXPECT_EQ(comps[2]->value, 30);
  EXPECT_EQ(comps[0]->value, 10);

  struct Bad {
    std::int32_t version;
    const char16_t* names;
  } cases[] = {{1, u"delta"}, {1, u"ALPHA"}, {3, u""}, {0, u""}};
  for (const Bad& k : cases) {
    TTaggedReader br(written([&](TnxWriter& w) {
      w.WriteInteger(k.version);
      w.WriteString(k.names);
    }));
    try {
      list.LoadSetttingsFromStream(br.reader);
      FAIL() << k.version;
    } catch (const EnxComponentException& e) {
      EXPECT_EQ(e.ErrorCode(), nxErrIncompatibleStream);
      EXPECT_STREQ(e.what(), "DazavAV: Incompatible stream [$3C8A/15498]");
    }
  }
}

// --- delegates

struct Counter {
  int calls = 0;
  TnxComponent* last = nullptr;
  void Handle(TnxComponent* aSender) {
    ++calls;
    last = aSender;
  }
};

TEST(NxMethod, NilUntilBoundThenCallsTheMethodOfItsObject) {
  TnxNotifyEvent e;
  EXPECT_FALSE(e);
  Counter counter;
  e = TnxNotifyEvent::Of<&Counter::Handle>(&counter);
  ASSERT_TRUE(e);
  EXPECT_EQ(e.Object(), &counter);
  auto* c = make(u"c");
  e(c);
  EXPECT_EQ(counter.calls, 1);
  EXPECT_EQ(counter.last, c);
  EXPECT_EQ(e, TnxNotifyEvent::Of<&Counter::Handle>(&counter));
  EXPECT_NE(e, TnxNotifyEvent());
  platform::TObject::free(c);
}

}  // namespace
