#include "QuotesModel.h"

#include <cstdio>

TQuotesModel::TQuotesModel(TDataSource& aSource, QObject* aParent) : QAbstractTableModel(aParent), FSource(aSource) {
  FSource.OnDataChange = [this](TDataSet&) {
    beginResetModel();
    endResetModel();
  };
}

TQuotesModel::~TQuotesModel() { FSource.OnDataChange = nullptr; }

const TDataSet* TQuotesModel::Table() const {
  const TDataSet* table = FSource.DataSet();
  return table && table->Active() ? table : nullptr;
}

int TQuotesModel::rowCount(const QModelIndex& aParent) const {
  return aParent.isValid() || !Table() ? 0 : Table()->RecordCount();
}

int TQuotesModel::columnCount(const QModelIndex& aParent) const {
  return aParent.isValid() || !Table() ? 0 : Table()->Fields().Count();
}

QVariant TQuotesModel::data(const QModelIndex& aIndex, int aRole) const {
  const TDataSet* table = Table();
  if (!table || !aIndex.isValid() || aRole != Qt::DisplayRole) return {};
  if (aIndex.row() >= table->RecordCount() || aIndex.column() >= table->Fields().Count()) return {};
  const Variant& value = table->RecordValue(aIndex.row(), aIndex.column());
  if (value.IsNull()) return {};
  if (value.IsFloat()) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", value.ToDouble());
    return QString::fromLatin1(text);
  }
  return QString::fromStdString(value.ToString());
}

QVariant TQuotesModel::headerData(int aSection, Qt::Orientation aOrientation, int aRole) const {
  if (aRole != Qt::DisplayRole) return {};
  if (aOrientation == Qt::Vertical) return aSection + 1;
  const TDataSet* table = Table();
  if (!table || aSection >= table->Fields().Count()) return {};
  return QString::fromStdString(table->Fields()[aSection].FieldName());
}
