// The grid's view of a record table: every field a column titled by its
// name, every record a row, redrawn whenever the table's data source says
// the rows changed (not while DisableControls is in force).
#pragma once

#include <QAbstractTableModel>

#include "RecordTable.h"

class TQuotesModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // Watches aSource; the source's table may change later.
  explicit TQuotesModel(TDataSource& aSource, QObject* aParent = nullptr);
  ~TQuotesModel() override;

  int rowCount(const QModelIndex& aParent = {}) const override;
  int columnCount(const QModelIndex& aParent = {}) const override;
  QVariant data(const QModelIndex& aIndex, int aRole = Qt::DisplayRole) const override;
  QVariant headerData(int aSection, Qt::Orientation aOrientation, int aRole = Qt::DisplayRole) const override;

 private:
  const TDataSet* Table() const;

  TDataSource& FSource;
};
