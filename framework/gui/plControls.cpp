#include "plControls.h"

#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyleFactory>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cstdlib>

#include "nxllException.h"
#include "plDbConsts.h"
#include "plErrors.h"
#include "plGuiInt.h"

namespace platform {

// ---------------------------------------------------------------------------
// Application

namespace {

// The boundary between Qt's event dispatch and the program: nothing thrown
// by a handler may unwind through Qt's frames.
class TGuiApplication : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* aReceiver, QEvent* aEvent) override {
    try {
      return QApplication::notify(aReceiver, aEvent);
    } catch (...) {
      Application().HandleException();
      return false;
    }
  }
};

int gArgc = 1;
char gArg0[] = "nx";
char* gArgv[] = {gArg0, nullptr};

QWidget* dialogParent() {
  TForm* main = Application().MainForm();
  return main ? main->Priv().widget.data() : nullptr;
}

}  // namespace

TApplication& Application() {
  static TApplication app;
  return app;
}

void TApplication::Initialize() {
  if (qApp) return;
  // The application lives until the process ends: widgets of static owners
  // may outlive main.
  auto* app = new TGuiApplication(gArgc, gArgv);
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  QApplication::setPalette(QApplication::style()->standardPalette());
  QFont font(toQ(kCjkFontFamily));
  font.setPixelSize(13);
  QApplication::setFont(font);
  app->setQuitOnLastWindowClosed(true);
  if (!apTitle.empty()) QApplication::setApplicationDisplayName(toQ(apTitle));
}

bool TApplication::Initialized() const { return qApp != nullptr; }

void TApplication::SetTitle(const UnicodeString& aTitle) {
  apTitle = aTitle;
  if (qApp) QApplication::setApplicationDisplayName(toQ(aTitle));
}

void TApplication::Run() {
  RequireApplication();
  if (apMainForm) apMainForm->Show();
  QApplication::exec();
}

void TApplication::Terminate() {
  if (qApp) QApplication::quit();
}

void TApplication::ProcessMessages() {
  if (!qApp) return;
  QApplication::sendPostedEvents();
  QApplication::processEvents(QEventLoop::AllEvents);
}

void TApplication::ProcessMessagesFor(int aMilliseconds) {
  if (!qApp) return;
  QElapsedTimer clock;
  clock.start();
  do {
    QApplication::sendPostedEvents();
    QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents,
                                std::max(1, aMilliseconds - static_cast<int>(clock.elapsed())));
  } while (clock.elapsed() < aMilliseconds);
}

void TApplication::HandleException() {
  UnicodeString text;
  try {
    throw;
  } catch (const EAbort&) {
    return;  // a silent end of an operation
  } catch (const std::exception& e) {
    text = nxExceptionMessage(e);
  } catch (...) {
    text = u"Unknown exception";
  }
  // Nothing may leave the error dialog: it runs at the boundary to Qt.
  try {
    if (ErrorSink) {
      ErrorSink(text);
      return;
    }
    if (!qApp) return;
    QMessageBox::critical(dialogParent(), toQ(apTitle), toQ(text));
  } catch (...) {
  }
}

void TApplication::Guard(const std::function<void()>& aCall) { guiCall(aCall); }

void RequireApplication() {
  if (!qApp) throw RuntimeError("The application is not initialised: call Application().Initialize() first");
}

void ShowMessage(const UnicodeString& aText) {
  TApplication& app = Application();
  if (app.MessageSink) {
    app.MessageSink(aText);
    return;
  }
  RequireApplication();
  QMessageBox box(QMessageBox::NoIcon, toQ(app.Title()), toQ(aText), QMessageBox::Ok, dialogParent());
  box.exec();
}

bool OpenURL(const UnicodeString& aUrl) {
  TApplication& app = Application();
  if (app.UrlSink) return app.UrlSink(aUrl);
  return QDesktopServices::openUrl(QUrl(toQ(aUrl)));
}

namespace {

bool confirm(const UnicodeString& aText) {
  TApplication& app = Application();
  if (app.ConfirmSink) return app.ConfirmSink(aText);
  RequireApplication();
  return QMessageBox::question(dialogParent(), toQ(app.Title()), toQ(aText), QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

// Lays out the aligned children of one widget on every resize.
class TAlignFilter : public QObject {
 public:
  explicit TAlignFilter(TControl* aOwner) : QObject(aOwner->Priv().clientWidget()), afControl(aOwner) {}
  bool eventFilter(QObject* aObject, QEvent* aEvent) override {
    if (aEvent->type() == QEvent::Resize || aEvent->type() == QEvent::LayoutRequest) Arrange();
    return QObject::eventFilter(aObject, aEvent);
  }
  void Arrange();
  std::vector<TControl*> children;

 private:
  TControl* afControl;
};

void TAlignFilter::Arrange() {
  QWidget* host = afControl->Priv().clientWidget();
  if (!host) return;
  QRect r = host->contentsRect();
  for (TControl* c : children) {
    QWidget* w = c->Priv().widget;
    if (!w) continue;
    switch (c->Align()) {
      case alTop:
        w->setGeometry(r.left(), r.top(), r.width(), w->height());
        r.setTop(r.top() + w->height());
        break;
      case alBottom:
        w->setGeometry(r.left(), r.bottom() + 1 - w->height(), r.width(), w->height());
        r.setBottom(r.bottom() - w->height());
        break;
      case alLeft:
        w->setGeometry(r.left(), r.top(), w->width(), r.height());
        r.setLeft(r.left() + w->width());
        break;
      case alRight:
        w->setGeometry(r.right() + 1 - w->width(), r.top(), w->width(), r.height());
        r.setRight(r.right() - w->width());
        break;
      default:
        break;
    }
  }
  for (TControl* c : children)
    if (c->Align() == alClient && c->Priv().widget) c->Priv().widget->setGeometry(r);
}

TAlignFilter* alignFilterOf(TControl* aControl) {
  QWidget* host = aControl->Priv().clientWidget();
  if (!host) return nullptr;
  if (!aControl->Priv().alignFilter) {
    auto* f = new TAlignFilter(aControl);
    host->installEventFilter(f);
    aControl->Priv().alignFilter = f;
  }
  return static_cast<TAlignFilter*>(aControl->Priv().alignFilter.data());
}

// Mouse clicks of widgets without a clicked signal (labels, panels).
class TClickFilter : public QObject {
 public:
  TClickFilter(QWidget* aWidget, std::function<void()> aCall) : QObject(aWidget), cfCall(std::move(aCall)) {
    aWidget->installEventFilter(this);
  }
  bool eventFilter(QObject* aObject, QEvent* aEvent) override {
    if (aEvent->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(aEvent)->button() == Qt::LeftButton)
      guiCall(cfCall);
    return QObject::eventFilter(aObject, aEvent);
  }

 private:
  std::function<void()> cfCall;
};

template <class W>
W* makeWidget() {
  RequireApplication();
  return new W();
}

Qt::Alignment toQAlign(TAlignment aAlignment) {
  switch (aAlignment) {
    case taRightJustify:
      return Qt::AlignRight | Qt::AlignVCenter;
    case taCenter:
      return Qt::AlignHCenter | Qt::AlignVCenter;
    default:
      return Qt::AlignLeft | Qt::AlignVCenter;
  }
}

void setRole(QWidget* aWidget, QPalette::ColorRole aRole, TColor aColor) {
  QPalette p = aWidget->palette();
  p.setColor(aRole, toQColor(aColor));
  aWidget->setPalette(p);
}

}  // namespace

// ---------------------------------------------------------------------------
// TControl

PL_CLASS_INFO_IMPL(TControl, TComponent, "TControl", nullptr)

TControl::TControl(TComponent* aOwner, TControlPriv* aPriv) : TComponent(aOwner), ctPriv(aPriv) {
  ctFont.Height = 13;
}

TControl::~TControl() {
  for (TControl* c : ctChildren) c->ctParent = nullptr;
  if (ctParent) {
    auto& siblings = ctParent->ctChildren;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    if (auto* f = static_cast<TAlignFilter*>(ctParent->Priv().alignFilter.data()))
      f->children.erase(std::remove(f->children.begin(), f->children.end(), this), f->children.end());
  }
}

void TControl::SetParent(TControl* aParent) {
  if (aParent == ctParent) return;
  for (TControl* p = aParent; p; p = p->ctParent)
    if (p == this) throw RuntimeError("A control cannot be placed inside itself");
  if (ctParent) {
    auto& siblings = ctParent->ctChildren;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
  }
  ctParent = aParent;
  QWidget* w = ctPriv->widget;
  if (!w) return;
  if (aParent) {
    aParent->ctChildren.push_back(this);
    const QRect g = w->geometry();
    w->setParent(aParent->Priv().clientWidget());
    w->setGeometry(g);
    if (!ctOwnFont) ctFont = aParent->ctFont;
    ApplyColors();
    w->setVisible(ctVisible);
    if (ctAlign != alNone) ApplyAlign();
  } else {
    w->setParent(nullptr);
  }
}

void TControl::SetBounds(int aLeft, int aTop, int aWidth, int aHeight) {
  if (QWidget* w = ctPriv->widget) w->setGeometry(aLeft, aTop, std::max(0, aWidth), std::max(0, aHeight));
  if (ctAlign != alNone) ApplyAlign();
}

int TControl::Left() const { return ctPriv->widget ? ctPriv->widget->x() : 0; }
int TControl::Top() const { return ctPriv->widget ? ctPriv->widget->y() : 0; }
int TControl::Width() const { return ctPriv->widget ? ctPriv->widget->width() : 0; }
int TControl::Height() const { return ctPriv->widget ? ctPriv->widget->height() : 0; }

void TControl::SetAlign(TAlign aAlign) {
  ctAlign = aAlign;
  ApplyAlign();
}

void TControl::ApplyAlign() {
  if (!ctParent) return;
  TAlignFilter* f = alignFilterOf(ctParent);
  if (!f) return;
  auto it = std::find(f->children.begin(), f->children.end(), this);
  if (ctAlign == alNone) {
    if (it != f->children.end()) f->children.erase(it);
  } else if (it == f->children.end()) {
    f->children.push_back(this);
  }
  f->Arrange();
}

void TControl::SetVisible(bool aValue) {
  ctVisible = aValue;
  QWidget* w = ctPriv->widget;
  if (w && (ctParent || objectAs<TForm>(this))) w->setVisible(aValue);
}

bool TControl::Enabled() const { return ctPriv->widget ? !ctPriv->widget->testAttribute(Qt::WA_ForceDisabled) : false; }

void TControl::SetEnabled(bool aValue) {
  if (QWidget* w = ctPriv->widget) w->setEnabled(aValue);
}

void TControl::SetColor(TColor aColor) {
  ColorToRGB(aColor);  // rejects bad values before anything changes
  ctColor = aColor;
  ApplyColors();
}

void TControl::SetFont(const TFont& aFont) {
  ColorToRGB(aFont.Color);
  ctFont = aFont;
  ctOwnFont = true;
  if (QWidget* w = ctPriv->widget) w->setFont(toQFont(aFont));
  ApplyColors();
  for (TControl* c : ctChildren)
    if (!c->ctOwnFont) {
      c->ctFont = aFont;
      c->ApplyColors();
    }
}

void TControl::SetFontColor(TColor aColor) {
  ColorToRGB(aColor);
  ctFont.Color = aColor;
  ApplyColors();
}

void TControl::SetHint(const UnicodeString& aHint) {
  ctHint = aHint;
  if (QWidget* w = ctPriv->widget) w->setToolTip(toQ(aHint));
}

void TControl::Repaint() {
  QApplication::sendPostedEvents();
  if (QWidget* w = ctPriv->widget) w->repaint();
}

void TControl::ApplyColors() {
  QWidget* w = ctPriv->widget;
  if (!w) return;
  setRole(w, QPalette::Window, ctColor);
  setRole(w, QPalette::WindowText, ctFont.Color);
}

void TControl::Click() {
  if (OnClick) OnClick(this);
}

// ---------------------------------------------------------------------------
// TForm

PL_CLASS_INFO_IMPL(TForm, TControl, "TForm", &factoryFor<TForm>)

TForm::TForm(TComponent* aOwner) : TControl(aOwner, new TControlPriv(makeWidget<QWidget>())) {
  QWidget* w = Priv().widget;
  w->setAutoFillBackground(true);
  w->resize(640, 480);
  ApplyColors();
}

void TForm::afterConstruction() {
  TControl::afterConstruction();
  if (!Application().MainForm()) Application().SetMainForm(this);
  if (OnCreate) guiCall([this] { OnCreate(this); });
}

void TForm::beforeDestruction() {
  if (OnDestroy) guiCall([this] { OnDestroy(this); });
  if (Application().MainForm() == this) Application().SetMainForm(nullptr);
  TControl::beforeDestruction();
}

void TForm::SetCaption(const UnicodeString& aCaption) {
  fmCaption = aCaption;
  if (QWidget* w = Priv().widget) w->setWindowTitle(toQ(aCaption));
}

void TForm::SetClientSize(int aWidth, int aHeight) {
  if (QWidget* w = Priv().widget) w->resize(aWidth, aHeight);
}

int TForm::ClientWidth() const { return Width(); }
int TForm::ClientHeight() const { return Height(); }

void TForm::Show() {
  QWidget* w = Priv().widget;
  if (!w) return;
  if (fmPosition == poScreenCenter) {
    if (QScreen* s = QGuiApplication::primaryScreen()) {
      const QRect area = s->availableGeometry();
      w->move(area.center() - QPoint(w->width() / 2, w->height() / 2));
    }
  }
  w->show();
}

void TForm::Close() {
  if (QWidget* w = Priv().widget) w->close();
}

// ---------------------------------------------------------------------------
// Panels and groups

PL_CLASS_INFO_IMPL(TPanel, TControl, "TPanel", &factoryFor<TPanel>)

TPanel::TPanel(TComponent* aOwner) : TControl(aOwner, new TControlPriv(makeWidget<QLabel>())) {
  auto* l = static_cast<QLabel*>(Priv().widget.data());
  l->setAutoFillBackground(true);
  l->setFrameStyle(QFrame::Panel | QFrame::Raised);
  l->setAlignment(Qt::AlignCenter);
  new TClickFilter(l, [this] { Click(); });
}

void TPanel::SetCaption(const UnicodeString& aCaption) {
  pnCaption = aCaption;
  if (auto* l = static_cast<QLabel*>(Priv().widget.data())) l->setText(toQ(aCaption));
}

PL_CLASS_INFO_IMPL(TGroupBox, TControl, "TGroupBox", &factoryFor<TGroupBox>)

TGroupBox::TGroupBox(TComponent* aOwner) : TControl(aOwner, new TControlPriv(makeWidget<QGroupBox>())) {}

void TGroupBox::SetCaption(const UnicodeString& aCaption) {
  if (auto* g = static_cast<QGroupBox*>(Priv().widget.data())) g->setTitle(toQ(aCaption));
}

// ---------------------------------------------------------------------------
// Page control

PL_CLASS_INFO_IMPL(TPageControl, TControl, "TPageControl", &factoryFor<TPageControl>)

TPageControl::TPageControl(TComponent* aOwner) : TControl(aOwner, new TControlPriv(makeWidget<QTabWidget>())) {
  auto* t = static_cast<QTabWidget*>(Priv().widget.data());
  QObject::connect(t, &QTabWidget::currentChanged, t, [this](int) {
    // Sheets that go with their window move the current page: no change of the user's.
    if (Destroying() || (Owner() && Owner()->Destroying())) return;
    if (OnChange) guiCall([this] { OnChange(this); });
  });
}

TTabSheet* TPageControl::AddPage(const UnicodeString& aCaption) {
  auto* t = static_cast<QTabWidget*>(Priv().widget.data());
  if (!t) throw RuntimeError("The page control has no window");
  TTabSheet* sheet = platform::create<TTabSheet>(Owner() ? Owner() : this);
  sheet->tsCaption = aCaption;
  sheet->ctParent = this;
  sheet->ctFont = Font();
  ctChildren.push_back(sheet);
  pcPages.push_back(sheet);
  FreeNotification(sheet);
  const QSignalBlocker quiet(t);  // the first page becoming current is no change
  t->addTab(sheet->Priv().widget, toQ(aCaption));
  return sheet;
}

int TPageControl::ActivePageIndex() const {
  auto* t = static_cast<QTabWidget*>(Priv().widget.data());
  return t ? t->currentIndex() : -1;
}

void TPageControl::SetActivePageIndex(int aIndex) {
  if (aIndex < 0 || aIndex >= PageCount()) throw RangeError("Page index out of range: " + std::to_string(aIndex));
  if (auto* t = static_cast<QTabWidget*>(Priv().widget.data())) t->setCurrentIndex(aIndex);
}

TRect TPageControl::TabRect(int aIndex) const {
  auto* t = static_cast<QTabWidget*>(Priv().widget.data());
  if (!t || aIndex < 0 || aIndex >= t->count()) return {};
  const QRect r = t->tabBar()->tabRect(aIndex).translated(t->tabBar()->mapTo(t, QPoint(0, 0)));
  return TRect{r.left(), r.top(), r.right() + 1, r.bottom() + 1};
}

void TPageControl::Notification(TComponent* aComponent, TOperation aOperation) {
  TControl::Notification(aComponent, aOperation);
  if (aOperation == opRemove) pcPages.erase(std::remove(pcPages.begin(), pcPages.end(), aComponent), pcPages.end());
}

PL_CLASS_INFO_IMPL(TTabSheet, TControl, "TTabSheet", &factoryFor<TTabSheet>)

TTabSheet::TTabSheet(TComponent* aOwner) : TControl(aOwner, new TControlPriv(makeWidget<QWidget>())) {}

int TTabSheet::PageIndex() const {
  auto* pc = objectAs<TPageControl>(Parent());
  if (!pc) return -1;
  const auto it = std::find(pc->pcPages.begin(), pc->pcPages.end(), this);
  return it == pc->pcPages.end() ? -1 : static_cast<int>(it - pc->pcPages.begin());
}

// ---------------------------------------------------------------------------
// Label

PL_CLASS_INFO_IMPL(TLabel, TControl, "TLabel", &factoryFor<TLabel>)

TLabel::TLabel(TComponent* aOwner) : TControl(aOwner, new TControlPriv(makeWidget<QLabel>())) {
  new TClickFilter(Priv().widget, [this] { Click(); });
}

void TLabel::SetCaption(const UnicodeString& aCaption) {
  lbCaption = aCaption;
  if (auto* l = static_cast<QLabel*>(Priv().widget.data())) l->setText(toQ(aCaption));
}

void TLabel::SetColor(TColor aColor) {
  lbTransparent = false;
  TControl::SetColor(aColor);
}

void TLabel::SetAlignment(TAlignment aAlignment) {
  if (auto* l = static_cast<QLabel*>(Priv().widget.data())) l->setAlignment(toQAlign(aAlignment));
}

void TLabel::ApplyColors() {
  TControl::ApplyColors();
  if (QWidget* w = Priv().widget) w->setAutoFillBackground(!lbTransparent);
}

// ---------------------------------------------------------------------------
// Edit

PL_CLASS_INFO_IMPL(TEdit, TControl, "TEdit", &factoryFor<TEdit>)

TEdit::TEdit(TComponent* aOwner) : TControl(aOwner, new TControlPriv(makeWidget<QLineEdit>())) {
  auto* e = static_cast<QLineEdit*>(Priv().widget.data());
  QObject::connect(e, &QLineEdit::textChanged, e, [this](const QString&) {
    if (OnChange) guiCall([this] { OnChange(this); });
  });
  SetColor(clWindow);
}

UnicodeString TEdit::Text() const {
  auto* e = static_cast<QLineEdit*>(Priv().widget.data());
  return e ? fromQ(e->text()) : UnicodeString();
}

void TEdit::SetText(const UnicodeString& aText) {
  if (auto* e = static_cast<QLineEdit*>(Priv().widget.data())) e->setText(toQ(aText));
}

bool TEdit::ReadOnly() const {
  auto* e = static_cast<QLineEdit*>(Priv().widget.data());
  return e && e->isReadOnly();
}

void TEdit::SetReadOnly(bool aValue) {
  if (auto* e = static_cast<QLineEdit*>(Priv().widget.data())) e->setReadOnly(aValue);
}

void TEdit::SetAlignment(TAlignment aAlignment) {
  if (auto* e = static_cast<QLineEdit*>(Priv().widget.data())) e->setAlignment(toQAlign(aAlignment));
}

void TEdit::ApplyColors() {
  QWidget* w = Priv().widget;
  if (!w) return;
  setRole(w, QPalette::Base, Color());
  setRole(w, QPalette::Text, Font().Color);
}

// ---------------------------------------------------------------------------
// Button

PL_CLASS_INFO_IMPL(TButton, TControl, "TButton", &factoryFor<TButton>)

TButton::TButton(TComponent* aOwner) : TControl(aOwner, new TControlPriv(makeWidget<QPushButton>())) {
  auto* b = static_cast<QPushButton*>(Priv().widget.data());
  QObject::connect(b, &QPushButton::clicked, b, [this] { guiCall([this] { Click(); }); });
}

void TButton::SetCaption(const UnicodeString& aCaption) {
  btCaption = aCaption;
  if (auto* b = static_cast<QPushButton*>(Priv().widget.data())) b->setText(toQ(aCaption));
}

// ---------------------------------------------------------------------------
// Radio group

PL_CLASS_INFO_IMPL(TRadioGroup, TControl, "TRadioGroup", &factoryFor<TRadioGroup>)

TRadioGroup::TRadioGroup(TComponent* aOwner) : TControl(aOwner, new TControlPriv(makeWidget<QGroupBox>())) {
  auto* g = static_cast<QGroupBox*>(Priv().widget.data());
  auto* buttons = new QButtonGroup(g);
  buttons->setObjectName(QStringLiteral("items"));
  QObject::connect(buttons, &QButtonGroup::idClicked, g, [this](int) { guiCall([this] { Click(); }); });
  new QGridLayout(g);
}

void TRadioGroup::SetCaption(const UnicodeString& aCaption) {
  if (auto* g = static_cast<QGroupBox*>(Priv().widget.data())) g->setTitle(toQ(aCaption));
}

void TRadioGroup::SetItems(const std::vector<UnicodeString>& aItems) {
  rgItems = aItems;
  Rebuild();
}

void TRadioGroup::SetColumns(int aColumns) {
  if (aColumns < 1 || aColumns > 16) throw RangeError("Radio group columns out of range: " + std::to_string(aColumns));
  const int index = ItemIndex();
  rgColumns = aColumns;
  Rebuild();
  SetItemIndex(index);
}

void TRadioGroup::Rebuild() {
  auto* g = static_cast<QGroupBox*>(Priv().widget.data());
  if (!g) return;
  auto* buttons = g->findChild<QButtonGroup*>(QStringLiteral("items"));
  auto* grid = static_cast<QGridLayout*>(g->layout());
  for (QAbstractButton* b : buttons->buttons()) {
    buttons->removeButton(b);
    delete b;
  }
  // Items fill the columns top to bottom, as many rows as the widest column.
  const int n = static_cast<int>(rgItems.size());
  const int rows = (n + rgColumns - 1) / rgColumns;
  for (int i = 0; i < n; ++i) {
    auto* b = new QRadioButton(toQ(rgItems[static_cast<std::size_t>(i)]), g);
    buttons->addButton(b, i);
    grid->addWidget(b, i % std::max(rows, 1), i / std::max(rows, 1));
  }
}

int TRadioGroup::ItemIndex() const {
  auto* g = static_cast<QGroupBox*>(Priv().widget.data());
  return g ? g->findChild<QButtonGroup*>(QStringLiteral("items"))->checkedId() : -1;
}

void TRadioGroup::SetItemIndex(int aIndex) {
  auto* g = static_cast<QGroupBox*>(Priv().widget.data());
  if (!g) return;
  if (aIndex < -1 || aIndex >= static_cast<int>(rgItems.size()))
    throw RangeError("Radio group item index out of range: " + std::to_string(aIndex));
  auto* buttons = g->findChild<QButtonGroup*>(QStringLiteral("items"));
  if (aIndex < 0) {
    if (QAbstractButton* b = buttons->checkedButton()) {
      buttons->setExclusive(false);
      b->setChecked(false);
      buttons->setExclusive(true);
    }
    return;
  }
  buttons->button(aIndex)->setChecked(true);
}

// ---------------------------------------------------------------------------
// Combo box

PL_CLASS_INFO_IMPL(TComboBox, TControl, "TComboBox", &factoryFor<TComboBox>)

TComboBox::TComboBox(TComponent* aOwner) : TControl(aOwner, new TControlPriv(makeWidget<QComboBox>())) {
  auto* c = static_cast<QComboBox*>(Priv().widget.data());
  c->setEditable(false);
  c->setMaxVisibleItems(cbDropDownCount);
  QObject::connect(c, &QComboBox::activated, c, [this](int) {
    if (OnChange) guiCall([this] { OnChange(this); });
  });
  SetColor(clWindow);
}

void TComboBox::SetItems(const std::vector<UnicodeString>& aItems) {
  cbItems = aItems;
  auto* c = static_cast<QComboBox*>(Priv().widget.data());
  if (!c) return;
  c->clear();
  for (const UnicodeString& s : aItems) c->addItem(toQ(s));
  c->setCurrentIndex(-1);
}

int TComboBox::ItemIndex() const {
  auto* c = static_cast<QComboBox*>(Priv().widget.data());
  return c ? c->currentIndex() : -1;
}

void TComboBox::SetItemIndex(int aIndex) {
  if (aIndex < -1 || aIndex >= static_cast<int>(cbItems.size()))
    throw RangeError("Combo box item index out of range: " + std::to_string(aIndex));
  if (auto* c = static_cast<QComboBox*>(Priv().widget.data())) c->setCurrentIndex(aIndex);
}

UnicodeString TComboBox::Text() const {
  const int i = ItemIndex();
  return i < 0 ? UnicodeString() : cbItems.at(static_cast<std::size_t>(i));
}

void TComboBox::SetDropDownCount(int aCount) {
  cbDropDownCount = std::max(1, aCount);
  if (auto* c = static_cast<QComboBox*>(Priv().widget.data())) c->setMaxVisibleItems(cbDropDownCount);
}

void TComboBox::ApplyColors() {
  QWidget* w = Priv().widget;
  if (!w) return;
  setRole(w, QPalette::Base, Color());
  setRole(w, QPalette::Text, Font().Color);
  setRole(w, QPalette::ButtonText, Font().Color);
}

// ---------------------------------------------------------------------------
// Memo

PL_CLASS_INFO_IMPL(TMemo, TControl, "TMemo", &factoryFor<TMemo>)

TMemo::TMemo(TComponent* aOwner) : TControl(aOwner, new TControlPriv(makeWidget<QPlainTextEdit>())) {
  auto* m = static_cast<QPlainTextEdit*>(Priv().widget.data());
  m->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  m->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  SetColor(clWindow);
}

UnicodeString TMemo::Text() const {
  auto* m = static_cast<QPlainTextEdit*>(Priv().widget.data());
  return m ? fromQ(m->toPlainText()) : UnicodeString();
}

void TMemo::SetText(const UnicodeString& aText) {
  if (auto* m = static_cast<QPlainTextEdit*>(Priv().widget.data())) m->setPlainText(toQ(aText));
}

void TMemo::SetReadOnly(bool aValue) {
  if (auto* m = static_cast<QPlainTextEdit*>(Priv().widget.data())) m->setReadOnly(aValue);
}

void TMemo::ApplyColors() {
  QWidget* w = Priv().widget;
  if (!w) return;
  setRole(w, QPalette::Base, Color());
  setRole(w, QPalette::Text, Font().Color);
}

// ---------------------------------------------------------------------------
// Timer

PL_CLASS_INFO_IMPL(TTimer, TComponent, "TTimer", &factoryFor<TTimer>)

struct TTimer::Priv {
  QTimer timer;
};

TTimer::TTimer(TComponent* aOwner) : TComponent(aOwner) {
  RequireApplication();
  tmPriv = std::make_unique<Priv>();
  QObject::connect(&tmPriv->timer, &QTimer::timeout, &tmPriv->timer, [this] {
    if (OnTimer) guiCall([this] { OnTimer(this); });
  });
  Update();
}

TTimer::~TTimer() = default;

void TTimer::SetEnabled(bool aValue) {
  if (aValue == tmEnabled) return;
  tmEnabled = aValue;
  Update();
}

void TTimer::SetInterval(int aMilliseconds) {
  if (aMilliseconds < 0) throw RangeError("Timer interval must not be negative: " + std::to_string(aMilliseconds));
  if (aMilliseconds == tmInterval) return;
  tmInterval = aMilliseconds;
  Update();
}

void TTimer::Update() {
  // A zero Qt timer fires on every pass of the loop: interval 0 is "off".
  if (tmEnabled && tmInterval > 0)
    tmPriv->timer.start(tmInterval);
  else
    tmPriv->timer.stop();
}

// ---------------------------------------------------------------------------
// Save dialog

PL_CLASS_INFO_IMPL(TSaveDialog, TComponent, "TSaveDialog", &factoryFor<TSaveDialog>)

TSaveDialog::TSaveDialog(TComponent* aOwner) : TComponent(aOwner) {}

void TSaveDialog::SetFilter(const UnicodeString& aFilter) {
  std::vector<UnicodeString> parts;
  if (!aFilter.empty()) {
    std::size_t start = 0;
    for (;;) {
      const std::size_t bar = aFilter.find(u'|', start);
      parts.push_back(aFilter.substr(start, bar == UnicodeString::npos ? UnicodeString::npos : bar - start));
      if (bar == UnicodeString::npos) break;
      start = bar + 1;
    }
  }
  if (parts.size() % 2 != 0) throw ConvertError("Filter needs pairs of caption and pattern: " + toUtf8(aFilter));
  std::vector<TFilterEntry> entries;
  for (std::size_t i = 0; i < parts.size(); i += 2) entries.push_back({parts[i], parts[i + 1]});
  sdFilter = aFilter;
  sdEntries = std::move(entries);
}

namespace {

QString qtFilter(const std::vector<TFilterEntry>& aEntries) {
  QStringList out;
  for (const TFilterEntry& e : aEntries) {
    QString patterns = toQ(e.Pattern);
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    QString caption = toQ(e.Caption);
    // Qt takes the patterns from the brackets at the end of the entry.
    if (!caption.endsWith(QLatin1Char('(') + patterns + QLatin1Char(')')))
      caption += QStringLiteral(" (") + patterns + QLatin1Char(')');
    out << caption;
  }
  return out.join(QStringLiteral(";;"));
}

}  // namespace

bool TSaveDialog::Execute() {
  TApplication& app = Application();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::optional<UnicodeString> chosen;
    if (app.SaveDialogSink) {
      chosen = app.SaveDialogSink(*this);
    } else {
      RequireApplication();
      const QString name =
          QFileDialog::getSaveFileName(dialogParent(), toQ(sdTitle), toQ(sdFileName), qtFilter(sdEntries), nullptr,
                                       QFileDialog::DontConfirmOverwrite);
      if (!name.isEmpty()) chosen = fromQ(name);
    }
    if (!chosen || chosen->empty()) return false;
    UnicodeString name = *chosen;
    const std::size_t slash = name.find_last_of(u'/');
    const std::size_t dot = name.find_last_of(u'.');
    const bool hasExt = dot != UnicodeString::npos && (slash == UnicodeString::npos || dot > slash) &&
                        dot + 1 < name.size();
    if (!hasExt && !sdDefaultExt.empty()) {
      if (name.back() != u'.') name += u'.';
      name += sdDefaultExt;
    }
    if ((sdOptions & ofOverwritePrompt) && QFileInfo::exists(toQ(name)) &&
        !confirm(name + u" は既に存在します。\n上書きしますか?")) {
      sdFileName = name;
      continue;  // back to the dialog for another name
    }
    sdFileName = name;
    return true;
  }
  return false;
}

}  // namespace platform
