// A read-only grid over the records of a data source.
//
// The grid shows every record of its dataset. Records are read in pages of
// PageSize as the view scrolls toward the end, into a row cache (values and
// texts per record, with its bookmark); painting reads only the cache, so
// drawing never moves the dataset. Reading a page walks the dataset and puts
// it back on its record (only while it is browsing: a pending edit is never
// posted by the grid). The cache is dropped when the dataset closes and
// rebuilt, after the current event, when it opens or its data change.
//
// The grid's selected row and the dataset's current record follow each
// other: clicking a row moves the dataset there; moving the dataset selects
// its row (reading pages up to it when needed).
//
// Columns: given ones bind to fields by name at each open (a missing field
// shows nothing); without given columns every field of the dataset gets one,
// rebuilt at each open.
// Thread safety: GUI thread only.
#pragma once

#include <memory>
#include <vector>

#include "plControls.h"
#include "plDataLink.h"

namespace platform {

class TDBGrid;
struct TDBGridPriv;

struct TColumn {
  UnicodeString FieldName;
  UnicodeString Title;  // empty: the field's display name
  TAlignment Alignment = taLeftJustify;
  TAlignment TitleAlignment = taLeftJustify;
  TColor FontColor = clWindowText;
  int Width = 100;
};

// What a draw-cell handler sees of the cell about to be drawn; it may change
// the brush (the cell's background) and the font colour before the grid
// draws the cell.
struct TDrawCellArgs {
  int Row = 0;     // 0-based record of the grid
  int Column = 0;  // index into the grid's columns
  const TColumn* ColumnInfo = nullptr;
  bool Selected = false;
  UnicodeString Text;
  TColor BrushColor = clWindow;
  TColor FontColor = clWindowText;
  // The row's value of any field of the dataset (not only shown ones);
  // empty for an unknown field, null for NULL.
  Variant FieldValue(UnicodeStringView aFieldName) const;

 private:
  friend struct TDBGridPriv;
  const TDBGridPriv* dcGrid = nullptr;
};

using TDrawColumnCellEvent = TnxMethod<TDBGrid*, TDrawCellArgs&>;

class TDBGrid : public TControl {
  PL_CLASS_INFO_DECL()
 public:
  static constexpr int PageSize = 200;

  explicit TDBGrid(TComponent* aOwner = nullptr);
  ~TDBGrid() override;

  TDataSource* DataSource() const;
  void SetDataSource(TDataSource* aSource);

  void AddColumn(const TColumn& aColumn);
  void ClearColumns();
  int ColumnCount() const;
  const TColumn& Columns(int aIndex) const;
  // Whole rows (true) or single cells are selected.
  void SetRowSelect(bool aValue);

  // Records read so far; whether all of them are.
  int LoadedRowCount() const;
  bool AllRowsLoaded() const;
  // The selected record's row, -1 for none.
  int SelectedRow() const;
  UnicodeString CellText(int aRow, int aColumn) const;
  // A cell's rectangle in the grid's coordinates (empty when scrolled away).
  TRect CellRect(int aRow, int aColumn) const;

  TDrawColumnCellEvent OnDrawColumnCell;
  TMouseMoveEvent OnMouseMove;

 protected:
  // Cell colours and a row height that fits the font.
  void ApplyColors() override;

 private:
  friend struct TDBGridPriv;
  std::unique_ptr<TDBGridPriv> dgPriv;
};

}  // namespace platform
