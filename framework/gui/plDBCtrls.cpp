#include "plDBCtrls.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <algorithm>

#include "plGuiInt.h"

namespace platform {

// ---------------------------------------------------------------------------
// Dataset scans

namespace {
std::vector<const TDataSet*> gScanning;  // GUI thread only
}

bool guiScanning(const TDataSet* aDataSet) {
  return std::find(gScanning.begin(), gScanning.end(), aDataSet) != gScanning.end();
}

bool TDataSetScan::CanScan(TDataSet* aDataSet) {
  return aDataSet && aDataSet->Active() && aDataSet->State() == dsBrowse && !guiScanning(aDataSet);
}

TDataSetScan::TDataSetScan(TDataSet* aDataSet) : dsDataSet(aDataSet) {
  dsSaved = aDataSet->GetBookmark();
  gScanning.push_back(aDataSet);
  aDataSet->DisableControls();
}

TDataSetScan::~TDataSetScan() {
  try {
    if (!dsSaved.empty() && dsDataSet->BookmarkValid(dsSaved))
      dsDataSet->GotoBookmark(dsSaved);
    else if (dsSaved.empty())
      dsDataSet->First();
  } catch (...) {
    // The record the dataset was on is gone: it stays where the scan ended.
  }
  try {
    dsDataSet->EnableControls();
  } catch (...) {
  }
  gScanning.erase(std::find(gScanning.begin(), gScanning.end(), dsDataSet));
}

// ---------------------------------------------------------------------------
// Field binding

TFieldBinding::TFieldBinding() : fbLink(platform::create<TGuiDataLink>()) {}

TFieldBinding::~TFieldBinding() {
  // Detaching tells the link it went inactive: the control is going, no reload.
  fbLink->DropCallbacks();
  TObject::free(fbLink);
}

TDataSource* TFieldBinding::DataSource() const { return fbLink->DataSource(); }
void TFieldBinding::SetDataSource(TDataSource* aSource) { fbLink->SetDataSource(aSource); }
void TFieldBinding::SetDataField(const UnicodeString& aName) { fbFieldName = aName; }

TField* TFieldBinding::Field() const {
  TDataSet* ds = fbLink->OpenDataSet();
  if (!ds || fbFieldName.empty()) return nullptr;
  return ds->FindField(fbFieldName);
}

namespace {

// Every event of the link shows the current record again, except those of
// a control's own walk over the dataset.
template <class C>
void bindReload(TFieldBinding& aBinding, C* aControl, void (C::*aReload)()) {
  TGuiDataLink& link = aBinding.Link();
  auto reload = [&aBinding, aControl, aReload] {
    if (guiScanning(aBinding.Link().DataSet())) return;
    (aControl->*aReload)();
  };
  link.onActive = reload;
  link.onChanged = reload;
  link.onScrolled = reload;
  link.onLayout = reload;
  link.onRecord = [reload](TField*) { reload(); };
}

UnicodeString fieldText(TField* aField) {
  if (!aField || aField->IsNull()) return {};
  return aField->AsString();
}

}  // namespace

// ---------------------------------------------------------------------------
// TDBEdit

PL_CLASS_INFO_IMPL(TDBEdit, TEdit, "TDBEdit", &factoryFor<TDBEdit>)

TDBEdit::TDBEdit(TComponent* aOwner) : TEdit(aOwner) {
  SetReadOnly(true);
  bindReload(deBinding, this, &TDBEdit::Reload);
}

TDBEdit::~TDBEdit() = default;

void TDBEdit::SetDataSource(TDataSource* aSource) {
  deBinding.SetDataSource(aSource);
  Reload();
}

void TDBEdit::SetDataField(const UnicodeString& aName) {
  deBinding.SetDataField(aName);
  Reload();
}

void TDBEdit::Reload() { SetText(fieldText(deBinding.Field())); }

// ---------------------------------------------------------------------------
// TDBMemo

PL_CLASS_INFO_IMPL(TDBMemo, TMemo, "TDBMemo", &factoryFor<TDBMemo>)

TDBMemo::TDBMemo(TComponent* aOwner) : TMemo(aOwner) {
  SetReadOnly(true);
  bindReload(dmBinding, this, &TDBMemo::Reload);
}

TDBMemo::~TDBMemo() = default;

void TDBMemo::SetDataSource(TDataSource* aSource) {
  dmBinding.SetDataSource(aSource);
  Reload();
}

void TDBMemo::SetDataField(const UnicodeString& aName) {
  dmBinding.SetDataField(aName);
  Reload();
}

void TDBMemo::Reload() { SetText(fieldText(dmBinding.Field())); }

// ---------------------------------------------------------------------------
// TDBImage

PL_CLASS_INFO_IMPL(TDBImage, TControl, "TDBImage", &factoryFor<TDBImage>)

namespace {
QLabel* makeImageLabel() {
  RequireApplication();
  auto* l = new QLabel();
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  l->setAutoFillBackground(true);
  return l;
}
}  // namespace

TDBImage::TDBImage(TComponent* aOwner) : TControl(aOwner, new TControlPriv(makeImageLabel())) {
  SetColor(clWindow);
  bindReload(diBinding, this, &TDBImage::Reload);
}

TDBImage::~TDBImage() = default;

void TDBImage::SetDataSource(TDataSource* aSource) {
  diBinding.SetDataSource(aSource);
  Reload();
}

void TDBImage::SetDataField(const UnicodeString& aName) {
  diBinding.SetDataField(aName);
  Reload();
}

void TDBImage::SetStretch(bool aValue) {
  diStretch = aValue;
  Reload();
}

void TDBImage::Reload() {
  auto* l = static_cast<QLabel*>(Priv().widget.data());
  diWidth = diHeight = 0;
  QPixmap picture;
  TField* f = diBinding.Field();
  if (f && !f->IsNull()) {
    const std::vector<std::uint8_t> bytes = f->AsBytes();
    // Qt reads the format from the bytes themselves (BMP, PNG, JPEG).
    if (!bytes.empty() && bytes.size() <= static_cast<std::size_t>(INT32_MAX) &&
        !picture.loadFromData(bytes.data(), static_cast<uint>(bytes.size())))
      picture = QPixmap();
  }
  if (!picture.isNull()) {
    diWidth = picture.width();
    diHeight = picture.height();
  }
  if (!l) return;
  if (picture.isNull())
    l->clear();
  else if (diStretch && l->width() > 0 && l->height() > 0)
    l->setPixmap(picture.scaled(l->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
  else
    l->setPixmap(picture);
}

// ---------------------------------------------------------------------------
// TDBNavigator

PL_CLASS_INFO_IMPL(TDBNavigator, TControl, "TDBNavigator", &factoryFor<TDBNavigator>)

namespace {
QWidget* makeNavigatorBar() {
  RequireApplication();
  return new QWidget();
}
}  // namespace

TDBNavigator::TDBNavigator(TComponent* aOwner)
    : TControl(aOwner, new TControlPriv(makeNavigatorBar())), dnLink(platform::create<TGuiDataLink>()) {
  QWidget* bar = Priv().widget;
  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(0, 0, 0, 0);
  const char* captions[] = {"|<", "<", ">", ">|"};
  for (int i = 0; i < 4; ++i) {
    auto* b = new QPushButton(QString::fromLatin1(captions[i]), bar);
    row->addWidget(b);
    QObject::connect(b, &QPushButton::clicked, b,
                     [this, i] { guiCall([this, i] { BtnClick(static_cast<TNavigateBtn>(i)); }); });
  }
}

TDBNavigator::~TDBNavigator() { TObject::free(dnLink); }

TDataSource* TDBNavigator::DataSource() const { return dnLink->DataSource(); }
void TDBNavigator::SetDataSource(TDataSource* aSource) { dnLink->SetDataSource(aSource); }

void TDBNavigator::BtnClick(TNavigateBtn aButton) {
  TDataSet* ds = dnLink->OpenDataSet();
  if (!ds) return;
  switch (aButton) {
    case nbFirst:
      ds->First();
      break;
    case nbPrior:
      ds->Prior();
      break;
    case nbNext:
      ds->Next();
      break;
    case nbLast:
      ds->Last();
      break;
  }
}

}  // namespace platform
