// The window, its standard controls, colours, the timer, the dialogs and the
// error boundary, run headless.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "nxTestWatchdog.h"
#include "plDbConsts.h"
#include "plGuiTestSupport.h"

using namespace platform;
using namespace pltest;

namespace {

TEST(GuiColors, ConversionTable) {
  startGui();
  struct Case {
    TColor color;
    TRgb rgb;
  };
  const Case cases[] = {
      {clGreen, {0, 128, 0}},        {clBlue, {0, 0, 255}},         {clRed, {255, 0, 0}},
      {clNavy, {0, 0, 128}},         {clPurple, {128, 0, 128}},     {clTeal, {0, 128, 128}},
      {0x00FF9BFF, {255, 155, 255}}, {0x0080FFFF, {255, 255, 128}}, {0x00FBC684, {132, 198, 251}},
      {0x000050F7, {247, 80, 0}},    {0x000080FF, {255, 128, 0}},   {0x00AAFFFF, {255, 255, 170}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.color);
    EXPECT_EQ(ColorToRgbTriple(c.color), c.rgb);
    EXPECT_EQ(RGBToColor(c.rgb.r, c.rgb.g, c.rgb.b), c.color);
  }
  // System colours follow the palette: text in the window colour is the
  // background's own colour, and the text colour differs from it.
  EXPECT_EQ(ColorToRGB(clWindow), clWhite);
  EXPECT_EQ(ColorToRGB(clWindowText), clBlack);
  EXPECT_THROW(ColorToRGB(clSystemColor | 0x77), ConvertError);
  EXPECT_THROW(ColorToRGB(0x12000000), ConvertError);
}

class GuiControls : public GuiTest {};

// A 1270 x 960 window like the drill program's: pages, panels, labels,
// coloured read-only edits, buttons, a radio group and a combo.
class SampleForm : public TForm {
 public:
  explicit SampleForm(TComponent* aOwner = nullptr) : TForm(aOwner) {
    SetCaption(u"サンプル 1.0");
    SetClientSize(1270, 960);
    SetPosition(poScreenCenter);
    SetFont(TFont{u"Tahoma", 20, clWindowText, false});
    pages = platform::create<TPageControl>(this);
    pages->SetParent(this);
    pages->SetAlign(alClient);
    menu = pages->AddPage(u"メニュー");
    other = pages->AddPage(u"問題と解答");
    panel = platform::create<TPanel>(this);
    panel->SetParent(menu);
    panel->SetBounds(10, 10, 600, 400);
    title = platform::create<TLabel>(this);
    title->SetParent(panel);
    title->SetBounds(10, 10, 300, 30);
    title->SetCaption(u"全てから問題選択");
    hidden = platform::create<TLabel>(this);
    hidden->SetParent(panel);
    hidden->SetBounds(10, 50, 300, 30);
    hidden->SetCaption(u"正解はアです");
    hidden->SetColor(clWindow);
    hidden->SetFontColor(clWindow);
    rate = platform::create<TEdit>(this);
    rate->SetParent(panel);
    rate->SetBounds(10, 90, 120, 32);
    rate->SetReadOnly(true);
    rate->SetAlignment(taRightJustify);
    rate->SetColor(0x00FF9BFF);
    select = platform::create<TButton>(this);
    select->SetParent(panel);
    select->SetBounds(140, 90, 160, 36);
    select->SetCaption(u"選択実行(&S)");
    status = platform::create<TRadioGroup>(this);
    status->SetParent(panel);
    status->SetBounds(10, 140, 500, 120);
    status->SetItems({u"未解答の問題", u"間違えている問題※", u"チェックした問題", u"全ての問題"});
    status->SetColumns(2);
    status->SetItemIndex(0);
    exam = platform::create<TComboBox>(this);
    exam->SetParent(panel);
    exam->SetBounds(10, 280, 300, 34);
    exam->SetItems({u"2024年ミルフェタ1", u"2024年ミルフェタ2"});
    exam->SetDropDownCount(23);
    exam->SetHint(u"プルダウンで試験を選択してください");
    childrenAtCreate = -1;
    OnCreate = TNotifyEvent::Of<&SampleForm::FormCreate>(this);
  }
  void FormCreate(TObject*) { childrenAtCreate = ComponentCount(); }

  TPageControl* pages;
  TTabSheet *menu, *other;
  TPanel* panel;
  TLabel *title, *hidden;
  TEdit* rate;
  TButton* select;
  TRadioGroup* status;
  TComboBox* exam;
  int childrenAtCreate;
};

TEST_F(GuiControls, SampleWindowDrawsItsColoursFontsAndPages) {
  Owned<SampleForm> form(platform::create<SampleForm>());
  // OnCreate ran once every child existed (the sheets are the window's too).
  EXPECT_EQ(form->childrenAtCreate, form->ComponentCount());
  form->Show();
  Application().ProcessMessages();
  EXPECT_EQ(form->ClientWidth(), 1270);
  EXPECT_EQ(form->ClientHeight(), 960);
  EXPECT_EQ(form->pages->Width(), 1270);

  const TSnapshot shot = GrabControl(form.get());
  SaveScreenshot(form.get(), artifactPath("gui/sample-tab1.png"));
  // The edit's own colour at its centre.
  const TRect edit = ControlRect(form->rate, form.get());
  EXPECT_EQ(shot.At((edit.Left + edit.Right) / 2, (edit.Top + edit.Bottom) / 2), (TRgb{255, 155, 255}));
  // A label hidden in the window colour leaves no text pixels...
  const TRect hidden = ControlRect(form->hidden, form.get());
  EXPECT_EQ(shot.CountOther(hidden, ColorToRgbTriple(clWindow)), 0);
  // ...and revealed, draws its Japanese glyphs with the CJK font.
  form->hidden->SetFontColor(clWindowText);
  const TSnapshot revealed = GrabControl(form.get());
  EXPECT_GT(revealed.CountOther(hidden, ColorToRgbTriple(clWindow)), 50);
  EXPECT_EQ(DrawnFontFamily(form->hidden), UnicodeString(kCjkFontFamily));
  EXPECT_EQ(form->hidden->Font().Height, 20);

  // An edit's text in the window colour is hidden the same way.
  form->rate->SetColor(clWindow);
  form->rate->SetFontColor(clWindow);
  form->rate->SetText(u"62");
  const TRect rate = ControlRect(form->rate, form.get());
  const TRect inner{rate.Left + 3, rate.Top + 3, rate.Right - 3, rate.Bottom - 3};
  EXPECT_EQ(GrabControl(form.get()).CountOther(inner, ColorToRgbTriple(clWindow)), 0);
  form->rate->SetFontColor(clWindowText);
  EXPECT_GT(GrabControl(form.get()).CountOther(inner, ColorToRgbTriple(clWindow)), 10);

  form->pages->SetActivePageIndex(1);
  SaveScreenshot(form.get(), artifactPath("gui/sample-tab2.png"));
  EXPECT_TRUE(std::filesystem::exists(artifactPath("gui/sample-tab1.png")));
  EXPECT_TRUE(std::filesystem::exists(artifactPath("gui/sample-tab2.png")));
}

TEST_F(GuiControls, RadioGroupAndComboKeepTheirChoices) {
  Owned<SampleForm> form(platform::create<SampleForm>());
  EXPECT_EQ(form->status->ItemIndex(), 0);
  EXPECT_EQ(form->status->Columns(), 2);
  form->status->SetItemIndex(3);
  EXPECT_EQ(form->status->ItemIndex(), 3);
  form->status->SetItemIndex(-1);
  EXPECT_EQ(form->status->ItemIndex(), -1);
  EXPECT_THROW(form->status->SetItemIndex(4), RangeError);
  form->status->SetItemIndex(2);
  form->status->SetColumns(1);  // relaid out, choice kept
  EXPECT_EQ(form->status->ItemIndex(), 2);

  // A pick-only list starts with nothing chosen.
  EXPECT_EQ(form->exam->ItemIndex(), -1);
  EXPECT_EQ(form->exam->Text(), u"");
  form->exam->SetItemIndex(1);
  EXPECT_EQ(form->exam->Text(), u"2024年ミルフェタ2");
  form->exam->SetItemIndex(-1);
  EXPECT_EQ(form->exam->Text(), u"");
  EXPECT_THROW(form->exam->SetItemIndex(2), RangeError);
  EXPECT_EQ(form->exam->DropDownCount(), 23);
  EXPECT_EQ(form->exam->Hint(), u"プルダウンで試験を選択してください");
}

class PageWatcher : public TObject {
 public:
  std::vector<int> changes;
  TPageControl* pages = nullptr;
  void Changed(TObject*) { changes.push_back(pages->ActivePageIndex()); }
};

TEST_F(GuiControls, PageChangeFiresForClicksAndCode) {
  PageWatcher watcher;
  Owned<SampleForm> form(platform::create<SampleForm>());
  watcher.pages = form->pages;
  form->pages->OnChange = TNotifyEvent::Of<&PageWatcher::Changed>(&watcher);
  form->Show();
  Application().ProcessMessages();
  form->pages->SetActivePageIndex(1);
  const TRect tab = form->pages->TabRect(0);
  ProbeClick(form->pages, (tab.Left + tab.Right) / 2, (tab.Top + tab.Bottom) / 2);
  form->pages->SetActivePageIndex(0);  // already there: no change
  EXPECT_EQ(watcher.changes, (std::vector<int>{1, 0}));
  EXPECT_THROW(form->pages->SetActivePageIndex(2), RangeError);
}

class DestroyWatcher : public TObject {
 public:
  TForm* form = nullptr;
  int componentsAtDestroy = -1;
  void Destroyed(TObject*) { componentsAtDestroy = form->ComponentCount(); }
};

TEST_F(GuiControls, DestroyEventRunsBeforeAnyChildIsFreed) {
  DestroyWatcher watcher;
  auto* form = platform::create<SampleForm>();
  const int components = form->ComponentCount();
  watcher.form = form;
  form->OnDestroy = TNotifyEvent::Of<&DestroyWatcher::Destroyed>(&watcher);
  TObject::free(form);
  EXPECT_EQ(watcher.componentsAtDestroy, components);
}

class Ticker : public TObject {
 public:
  int ticks = 0;
  bool fail = false;
  void Tick(TObject*) {
    ++ticks;
    if (fail) throw std::runtime_error("tick failed");
  }
};

TEST_F(GuiControls, TimerIntervalZeroMeansNoTicks) {
  Ticker ticker;
  Owned<TTimer> timer(platform::create<TTimer>());
  timer->OnTimer = TNotifyEvent::Of<&Ticker::Tick>(&ticker);
  timer->SetInterval(0);
  EXPECT_TRUE(timer->Enabled());
  Application().ProcessMessagesFor(300);
  EXPECT_EQ(ticker.ticks, 0);

  timer->SetInterval(100);
  Application().ProcessMessagesFor(550);
  EXPECT_GE(ticker.ticks, 3);
  EXPECT_LE(ticker.ticks, 6);

  timer->SetInterval(0);
  const int stopped = ticker.ticks;
  Application().ProcessMessagesFor(300);
  EXPECT_EQ(ticker.ticks, stopped);

  timer->SetInterval(100);
  timer->SetEnabled(false);
  Application().ProcessMessagesFor(250);
  EXPECT_EQ(ticker.ticks, stopped);
  EXPECT_THROW(timer->SetInterval(-1), RangeError);
}

TEST_F(GuiControls, AThrowingHandlerReachesTheErrorDialogAndTheLoopGoesOn) {
  Ticker ticker;
  ticker.fail = true;
  Owned<TTimer> timer(platform::create<TTimer>());
  timer->OnTimer = TNotifyEvent::Of<&Ticker::Tick>(&ticker);
  timer->SetInterval(50);
  Application().ProcessMessagesFor(300);
  timer->SetEnabled(false);
  EXPECT_GE(ticker.ticks, 2);  // ticking went on after the first failure
  ASSERT_EQ(sinks.errors.size(), static_cast<std::size_t>(ticker.ticks));
  EXPECT_EQ(sinks.errors[0], u"tick failed");

  // A button click whose handler raises a framework error.
  struct Clicker : TObject {
    void Click(TObject*) { DatabaseError(u"テーブルがありません"); }
    void Abort(TObject*) { platform::Abort(); }
  } clicker;
  Owned<SampleForm> form(platform::create<SampleForm>());
  form->select->OnClick = TNotifyEvent::Of<&Clicker::Click>(&clicker);
  form->Show();
  ProbeClick(form->select, 20, 15);
  ASSERT_EQ(sinks.errors.size(), static_cast<std::size_t>(ticker.ticks) + 1);
  EXPECT_EQ(sinks.errors.back(), u"テーブルがありません");
  // EAbort ends an operation silently.
  form->select->OnClick = TNotifyEvent::Of<&Clicker::Abort>(&clicker);
  ProbeClick(form->select, 20, 15);
  EXPECT_EQ(sinks.errors.size(), static_cast<std::size_t>(ticker.ticks) + 1);
}

class Counter : public TObject {
 public:
  int clicks = 0;
  void Click(TObject*) { ++clicks; }
  void Quit(TObject*) {
    ++clicks;
    Application().Terminate();
  }
};

TEST_F(GuiControls, DisabledButtonsIgnoreClicks) {
  Counter counter;
  Owned<SampleForm> form(platform::create<SampleForm>());
  form->select->OnClick = TNotifyEvent::Of<&Counter::Click>(&counter);
  EXPECT_TRUE(form->select->Enabled());
  ProbeClick(form->select, 20, 15);
  form->select->SetEnabled(false);
  EXPECT_FALSE(form->select->Enabled());
  ProbeClick(form->select, 20, 15);
  EXPECT_EQ(counter.clicks, 1);
  EXPECT_EQ(form->select->Caption(), u"選択実行(&S)");
}

TEST_F(GuiControls, MessageLoopRunsTheMainFormUntilTerminated) {
  nxtest::Watchdog watchdog;
  Counter counter;
  Owned<SampleForm> form(platform::create<SampleForm>());
  Application().SetMainForm(form.get());
  Application().SetTitle(u"2025年ミルフェタスペシャリスト試験SXGA版");
  Owned<TTimer> timer(platform::create<TTimer>());
  timer->SetInterval(50);
  timer->OnTimer = TNotifyEvent::Of<&Counter::Quit>(&counter);
  Application().Run();
  timer->SetEnabled(false);
  EXPECT_GE(counter.clicks, 1);
  EXPECT_EQ(Application().Title(), u"2025年ミルフェタスペシャリスト試験SXGA版");
  EXPECT_EQ(form->Caption(), u"サンプル 1.0");
}

class LinkLabel : public TObject {
 public:
  void Click(TObject* aSender) {
    if (auto* label = objectAs<TLabel>(aSender)) {
      OpenURL(label->Caption());
      label->SetFontColor(clPurple);
    }
  }
};

TEST_F(GuiControls, MessagesAndUrlsGoThroughTheSinks) {
  ShowMessage(u"中分類が選択されていません");
  EXPECT_EQ(sinks.messages, (std::vector<UnicodeString>{u"中分類が選択されていません"}));

  Owned<SampleForm> form(platform::create<SampleForm>());
  LinkLabel link;
  form->title->SetCaption(u"https://example.com/");
  form->title->OnClick = TNotifyEvent::Of<&LinkLabel::Click>(&link);
  ProbeClick(form->title, 5, 5);
  EXPECT_EQ(sinks.urls, (std::vector<UnicodeString>{u"https://example.com/"}));
  EXPECT_EQ(form->title->Font().Color, clPurple);
}

TEST_F(GuiControls, SaveDialogCancelsAppendsTheExtensionAndConfirmsOverwrite) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "nx-gui-save";
  std::filesystem::create_directories(dir);
  const std::string existing = (dir / "points.csv").string();
  { std::ofstream(existing) << "x"; }

  Owned<TSaveDialog> dialog(platform::create<TSaveDialog>());
  dialog->SetDefaultExt(u"csv");
  dialog->SetFilter(u"CSVファイル(*.csv)|*.csv");
  ASSERT_EQ(dialog->FilterEntries().size(), 1u);
  EXPECT_EQ(dialog->FilterEntries()[0].Caption, u"CSVファイル(*.csv)");
  EXPECT_EQ(dialog->FilterEntries()[0].Pattern, u"*.csv");
  EXPECT_THROW(dialog->SetFilter(u"a|b|c"), ConvertError);

  // Cancel.
  EXPECT_FALSE(dialog->Execute());

  // The user types names; the dialog completes them.
  std::vector<UnicodeString> typed;
  Application().SaveDialogSink = [&typed](const TSaveDialog&) -> std::optional<UnicodeString> {
    if (typed.empty()) return std::nullopt;
    UnicodeString t = typed.front();
    typed.erase(typed.begin());
    return t;
  };
  typed = {fromUtf8((dir / "history").string())};
  ASSERT_TRUE(dialog->Execute());
  EXPECT_EQ(toUtf8(dialog->FileName()), (dir / "history.csv").string());
  typed = {fromUtf8((dir / "history.txt").string())};
  ASSERT_TRUE(dialog->Execute());
  EXPECT_EQ(toUtf8(dialog->FileName()), (dir / "history.txt").string());

  // An existing file without the prompt option is taken as it is.
  typed = {fromUtf8((dir / "points").string())};
  ASSERT_TRUE(dialog->Execute());
  EXPECT_EQ(toUtf8(dialog->FileName()), existing);
  EXPECT_TRUE(sinks.confirms.empty());

  // With it: "no" returns to the dialog, which is then cancelled; "yes" takes it.
  dialog->SetOptions(ofOverwritePrompt);
  Application().ConfirmSink = [this](const UnicodeString& t) {
    sinks.confirms.push_back(t);
    return false;
  };
  typed = {fromUtf8((dir / "points").string())};
  EXPECT_FALSE(dialog->Execute());
  ASSERT_EQ(sinks.confirms.size(), 1u);
  EXPECT_NE(toUtf8(sinks.confirms[0]).find("points.csv"), std::string::npos);
  Application().ConfirmSink = [this](const UnicodeString& t) {
    sinks.confirms.push_back(t);
    return true;
  };
  typed = {fromUtf8((dir / "points").string())};
  EXPECT_TRUE(dialog->Execute());
  EXPECT_EQ(sinks.confirms.size(), 2u);
  EXPECT_EQ(toUtf8(dialog->FileName()), existing);
  std::filesystem::remove_all(dir);
}

}  // namespace
