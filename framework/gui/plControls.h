// The application, the main window, its standard controls, the timer, the
// save-file dialog, message boxes and the opening of web pages.
//
// Life: every control and component is a TComponent made with
// platform::create<T>(owner) and freed by its owner (the window frees what
// it owns); SetParent places a control inside another one. A control's
// drawing object belongs to its parent's, so a parent that goes first takes
// its children's drawing objects with it (the children then draw nothing).
// The window's OnCreate runs once its constructor (which makes all the
// children) has finished; OnDestroy runs before any owned component is freed.
//
// Events: delegates called on the GUI thread. An exception that escapes a
// handler goes to TApplication::HandleException (the standard error dialog,
// EAbort silently) and the message loop goes on.
//
// Sinks: message boxes, the error dialog, the save dialog, confirmations
// and URL opening go through replaceable functions; without one installed
// the real dialog (or the desktop's browser) is used. Tests install sinks so
// that nothing blocks.
//
// Thread safety: GUI thread only. TApplication::Initialize must run before
// the first control is made.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "plComponent.h"
#include "plGraphics.h"

namespace platform {

class TForm;
class TControl;
class TSaveDialog;
struct TControlPriv;

class TApplication {
 public:
  TApplication(const TApplication&) = delete;
  TApplication& operator=(const TApplication&) = delete;
  // Creates the Qt application once (later calls do nothing): default style,
  // palette and the CJK font.
  void Initialize();
  bool Initialized() const;
  const UnicodeString& Title() const { return apTitle; }
  void SetTitle(const UnicodeString& aTitle);
  // Shows the main form and runs the message loop until the main form is
  // closed or Terminate is called.
  void Run();
  void Terminate();
  // Handles every pending event; the second form keeps handling them for
  // aMilliseconds (tests wait for timers this way).
  void ProcessMessages();
  void ProcessMessagesFor(int aMilliseconds);
  TForm* MainForm() const { return apMainForm; }
  void SetMainForm(TForm* aForm) { apMainForm = aForm; }

  // The exception in flight (call from a catch block) to the error dialog.
  void HandleException();
  // Runs aCall, handing any exception to HandleException: the boundary
  // between the message loop and the program's handlers.
  void Guard(const std::function<void()>& aCall);

  // --- sinks (empty: the real dialog)
  std::function<void(const UnicodeString& aText)> MessageSink;
  std::function<void(const UnicodeString& aText)> ErrorSink;
  // Answers true when the user agrees.
  std::function<bool(const UnicodeString& aText)> ConfirmSink;
  // Answers false when the page cannot be opened.
  std::function<bool(const UnicodeString& aUrl)> UrlSink;
  // Plays the user of a save dialog: the name typed, or nothing for cancel.
  std::function<std::optional<UnicodeString>(const TSaveDialog& aDialog)> SaveDialogSink;

 private:
  friend TApplication& Application();
  friend class TForm;
  TApplication() = default;
  UnicodeString apTitle;
  TForm* apMainForm = nullptr;
};

TApplication& Application();

// A plain message box with an OK button.
void ShowMessage(const UnicodeString& aText);
// Opens aUrl with the desktop (the default browser for a web page).
bool OpenURL(const UnicodeString& aUrl);

enum TAlign : std::uint8_t { alNone, alTop, alBottom, alLeft, alRight, alClient };

class TControl : public TComponent {
  PL_CLASS_INFO_DECL()
 public:
  ~TControl() override;

  TControl* Parent() const { return ctParent; }
  void SetParent(TControl* aParent);
  void SetBounds(int aLeft, int aTop, int aWidth, int aHeight);
  int Left() const;
  int Top() const;
  int Width() const;
  int Height() const;
  void SetAlign(TAlign aAlign);
  TAlign Align() const { return ctAlign; }
  bool Visible() const { return ctVisible; }
  void SetVisible(bool aValue);
  bool Enabled() const;
  void SetEnabled(bool aValue);
  TColor Color() const { return ctColor; }
  virtual void SetColor(TColor aColor);
  const TFont& Font() const { return ctFont; }
  void SetFont(const TFont& aFont);
  void SetFontColor(TColor aColor);
  const UnicodeString& Hint() const { return ctHint; }
  void SetHint(const UnicodeString& aHint);
  // Draws the control now (pending layout and paint events included).
  void Repaint();

  TNotifyEvent OnClick;

  // The layer's own access to the drawing object.
  TControlPriv& Priv() const { return *ctPriv; }

 protected:
  TControl(TComponent* aOwner, TControlPriv* aPriv);
  // Applies colour and font to the drawing object (subclasses pick roles).
  virtual void ApplyColors();
  void Click();

 private:
  friend struct TControlPriv;
  friend class TPageControl;
  void ApplyAlign();
  std::unique_ptr<TControlPriv> ctPriv;
  TControl* ctParent = nullptr;
  std::vector<TControl*> ctChildren;  // not owned
  TAlign ctAlign = alNone;
  bool ctVisible = true;
  TColor ctColor = clBtnFace;
  TFont ctFont;
  bool ctOwnFont = false;
  UnicodeString ctHint;
};

enum TPosition : std::uint8_t { poDesigned, poScreenCenter };

class TForm : public TControl {
  PL_CLASS_INFO_DECL()
 public:
  explicit TForm(TComponent* aOwner = nullptr);
  // OnCreate, through the error dialog.
  void afterConstruction() override;
  // OnDestroy (through the error dialog), then the owned components.
  void beforeDestruction() override;

  const UnicodeString& Caption() const { return fmCaption; }
  void SetCaption(const UnicodeString& aCaption);
  void SetClientSize(int aWidth, int aHeight);
  int ClientWidth() const;
  int ClientHeight() const;
  void SetPosition(TPosition aPosition) { fmPosition = aPosition; }
  void Show();
  void Close();

  TNotifyEvent OnCreate;
  TNotifyEvent OnDestroy;

 private:
  UnicodeString fmCaption;
  TPosition fmPosition = poDesigned;
};

class TPanel : public TControl {
  PL_CLASS_INFO_DECL()
 public:
  explicit TPanel(TComponent* aOwner = nullptr);
  void SetCaption(const UnicodeString& aCaption);
  const UnicodeString& Caption() const { return pnCaption; }

 private:
  UnicodeString pnCaption;
};

// A framed group with a caption.
class TGroupBox : public TControl {
  PL_CLASS_INFO_DECL()
 public:
  explicit TGroupBox(TComponent* aOwner = nullptr);
  void SetCaption(const UnicodeString& aCaption);
};

class TTabSheet;

class TPageControl : public TControl {
  PL_CLASS_INFO_DECL()
 public:
  explicit TPageControl(TComponent* aOwner = nullptr);
  // A new sheet at the end, owned by the page control's owner.
  TTabSheet* AddPage(const UnicodeString& aCaption);
  int PageCount() const { return static_cast<int>(pcPages.size()); }
  TTabSheet* Pages(int aIndex) const { return pcPages.at(static_cast<std::size_t>(aIndex)); }
  int ActivePageIndex() const;
  // Fires OnChange when the page changes.
  void SetActivePageIndex(int aIndex);
  // The tab's rectangle in the control's coordinates (for clicks).
  TRect TabRect(int aIndex) const;

  // After the active page changed, by the user or by code.
  TNotifyEvent OnChange;

 protected:
  void Notification(TComponent* aComponent, TOperation aOperation) override;

 private:
  friend class TTabSheet;
  std::vector<TTabSheet*> pcPages;  // not owned
};

class TTabSheet : public TControl {
  PL_CLASS_INFO_DECL()
 public:
  explicit TTabSheet(TComponent* aOwner = nullptr);
  const UnicodeString& Caption() const { return tsCaption; }
  int PageIndex() const;

 private:
  friend class TPageControl;
  UnicodeString tsCaption;
};

class TLabel : public TControl {
  PL_CLASS_INFO_DECL()
 public:
  explicit TLabel(TComponent* aOwner = nullptr);
  const UnicodeString& Caption() const { return lbCaption; }
  void SetCaption(const UnicodeString& aCaption);
  // Labels are transparent until given a colour.
  void SetColor(TColor aColor) override;
  void SetAlignment(TAlignment aAlignment);

 protected:
  void ApplyColors() override;

 private:
  UnicodeString lbCaption;
  bool lbTransparent = true;
};

// A one-line edit; the program uses it read-only for its counters.
class TEdit : public TControl {
  PL_CLASS_INFO_DECL()
 public:
  explicit TEdit(TComponent* aOwner = nullptr);
  UnicodeString Text() const;
  void SetText(const UnicodeString& aText);
  void Clear() { SetText({}); }
  bool ReadOnly() const;
  void SetReadOnly(bool aValue);
  void SetAlignment(TAlignment aAlignment);

  TNotifyEvent OnChange;

 protected:
  void ApplyColors() override;
};

// "&" marks the mnemonic letter (Alt + letter clicks); "&&" is one "&".
class TButton : public TControl {
  PL_CLASS_INFO_DECL()
 public:
  explicit TButton(TComponent* aOwner = nullptr);
  const UnicodeString& Caption() const { return btCaption; }
  void SetCaption(const UnicodeString& aCaption);

 private:
  UnicodeString btCaption;
};

class TRadioGroup : public TControl {
  PL_CLASS_INFO_DECL()
 public:
  explicit TRadioGroup(TComponent* aOwner = nullptr);
  void SetCaption(const UnicodeString& aCaption);
  // Replaces the items; the item index becomes -1.
  void SetItems(const std::vector<UnicodeString>& aItems);
  const std::vector<UnicodeString>& Items() const { return rgItems; }
  int Columns() const { return rgColumns; }
  void SetColumns(int aColumns);
  // -1: none selected.
  int ItemIndex() const;
  void SetItemIndex(int aIndex);

 private:
  void Rebuild();
  std::vector<UnicodeString> rgItems;
  int rgColumns = 1;
};

// A pick-only drop-down list.
class TComboBox : public TControl {
  PL_CLASS_INFO_DECL()
 public:
  explicit TComboBox(TComponent* aOwner = nullptr);
  void SetItems(const std::vector<UnicodeString>& aItems);
  const std::vector<UnicodeString>& Items() const { return cbItems; }
  // -1: nothing chosen.
  int ItemIndex() const;
  void SetItemIndex(int aIndex);
  // The chosen item's text, empty for none.
  UnicodeString Text() const;
  int DropDownCount() const { return cbDropDownCount; }
  void SetDropDownCount(int aCount);

  TNotifyEvent OnChange;

 protected:
  void ApplyColors() override;

 private:
  std::vector<UnicodeString> cbItems;
  int cbDropDownCount = 8;
};

// A multi-line text with a vertical scroll bar.
class TMemo : public TControl {
  PL_CLASS_INFO_DECL()
 public:
  explicit TMemo(TComponent* aOwner = nullptr);
  UnicodeString Text() const;
  void SetText(const UnicodeString& aText);
  void SetReadOnly(bool aValue);

 protected:
  void ApplyColors() override;
};

// Ticks every Interval ms while Enabled, on the GUI thread. Interval 0
// means no ticks at all; a new interval while enabled restarts the count.
class TTimer : public TComponent {
  PL_CLASS_INFO_DECL()
 public:
  explicit TTimer(TComponent* aOwner = nullptr);
  ~TTimer() override;
  bool Enabled() const { return tmEnabled; }
  void SetEnabled(bool aValue);
  int Interval() const { return tmInterval; }
  void SetInterval(int aMilliseconds);

  TNotifyEvent OnTimer;

 private:
  struct Priv;
  void Update();
  std::unique_ptr<Priv> tmPriv;
  bool tmEnabled = true;
  int tmInterval = 1000;
};

inline constexpr std::uint32_t ofOverwritePrompt = 0x1;

struct TFilterEntry {
  UnicodeString Caption;
  UnicodeString Pattern;  // "*.csv"; several separated by ";"
};

// Asks for the name of a file to write. Filter: "caption|pattern|...".
class TSaveDialog : public TComponent {
  PL_CLASS_INFO_DECL()
 public:
  explicit TSaveDialog(TComponent* aOwner = nullptr);
  const UnicodeString& DefaultExt() const { return sdDefaultExt; }
  void SetDefaultExt(const UnicodeString& aExt) { sdDefaultExt = aExt; }
  const UnicodeString& Filter() const { return sdFilter; }
  // A filter of an odd number of parts raises ConvertError.
  void SetFilter(const UnicodeString& aFilter);
  const std::vector<TFilterEntry>& FilterEntries() const { return sdEntries; }
  const UnicodeString& Title() const { return sdTitle; }
  void SetTitle(const UnicodeString& aTitle) { sdTitle = aTitle; }
  std::uint32_t Options() const { return sdOptions; }
  void SetOptions(std::uint32_t aOptions) { sdOptions = aOptions; }
  const UnicodeString& FileName() const { return sdFileName; }
  void SetFileName(const UnicodeString& aName) { sdFileName = aName; }
  // True with FileName set when the user chose a name; false on cancel.
  // A name without an extension gets DefaultExt; with ofOverwritePrompt an
  // existing file is confirmed first (no: the dialog asks again).
  bool Execute();

 private:
  UnicodeString sdDefaultExt;
  UnicodeString sdFilter;
  std::vector<TFilterEntry> sdEntries;
  UnicodeString sdTitle;
  UnicodeString sdFileName;
  std::uint32_t sdOptions = 0;
};

}  // namespace platform
