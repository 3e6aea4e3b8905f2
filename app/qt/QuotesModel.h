// The grid's view of a record table: every field a column titled by its
// name, every record a row; numbers right-aligned. The model keeps the
// texts it shows and brings them up to date whenever the table's data
// source says the rows changed (not while DisableControls is in force):
// records added or removed become inserted or removed rows, a changed
// record a change of its row's cells. The model is reset only when the
// columns change (another table, or the table opened or closed), so that a
// view keeps its selection and scroll position while the quotes move.
#pragma once

#include <QAbstractTableModel>
#include <QVariant>

#include <vector>

#include "RecordTable.h"

class TQuotesModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // Watches aSource; the source's table may change later (call Sync then).
  explicit TQuotesModel(TDataSource& aSource, QObject* aParent = nullptr);
  ~TQuotesModel() override;

  int rowCount(const QModelIndex& aParent = {}) const override;
  int columnCount(const QModelIndex& aParent = {}) const override;
  QVariant data(const QModelIndex& aIndex, int aRole = Qt::DisplayRole) const override;
  QVariant headerData(int aSection, Qt::Orientation aOrientation, int aRole = Qt::DisplayRole) const override;

  // Brings the rows up to the table now.
  void Sync();

 private:
  struct TColumn {
    QString Name;
    bool Numeric = false;
    bool Key = false;  // part of the record key
    friend bool operator==(const TColumn&, const TColumn&) = default;
  };
  using TRow = std::vector<QVariant>;

  const TDataSet* Table() const;
  // A row's identity: its key columns' values, or all of them when the
  // table has no key.
  bool SameRecord(const TRow& a, const TRow& b) const;
  // Tells the views of the rows from aFirst to aLast.
  void RowsChanged(int aFirst, int aLast);

  TDataSource& FSource;
  std::vector<TColumn> FColumns;
  std::vector<TRow> FRows;  // the display values, as last shown
};
