#include "QuotesModel.h"

#include <algorithm>
#include <cstdio>

namespace {

bool IsNumeric(TFieldType aType) {
  switch (aType) {
    case ftSmallint: case ftInteger: case ftWord: case ftFloat: case ftCurrency: case ftBCD: case ftAutoInc:
    case ftLargeint: case ftFMTBcd: case ftLongWord: case ftShortint: case ftByte: case ftExtended: case ftSingle:
      return true;
    default:
      return false;
  }
}

// Prices with two decimals, as the grid has always shown them.
QVariant DisplayValue(const Variant& aValue) {
  if (aValue.IsNull()) return {};
  if (aValue.IsFloat()) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", aValue.ToDouble());
    return QString::fromLatin1(text);
  }
  return QString::fromStdString(aValue.ToString());
}

// Numbers and prices line up on the right.
QVariant Alignment(bool aNumeric) { return aNumeric ? QVariant((Qt::AlignRight | Qt::AlignVCenter).toInt()) : QVariant(); }

}  // namespace

TQuotesModel::TQuotesModel(TDataSource& aSource, QObject* aParent) : QAbstractTableModel(aParent), FSource(aSource) {
  FSource.OnDataChange = [this](TDataSet&) { Sync(); };
  Sync();
}

TQuotesModel::~TQuotesModel() { FSource.OnDataChange = nullptr; }

const TDataSet* TQuotesModel::Table() const {
  const TDataSet* table = FSource.DataSet();
  return table && table->Active() ? table : nullptr;
}

bool TQuotesModel::SameRecord(const TRow& a, const TRow& b) const {
  const bool keyed = std::any_of(FColumns.begin(), FColumns.end(), [](const TColumn& c) { return c.Key; });
  for (std::size_t column = 0; column < FColumns.size(); ++column)
    if ((!keyed || FColumns[column].Key) && a[column] != b[column]) return false;
  return true;
}

void TQuotesModel::RowsChanged(int aFirst, int aLast) {
  emit dataChanged(index(aFirst, 0), index(aLast, static_cast<int>(FColumns.size()) - 1), {Qt::DisplayRole});
}

// The rows the table has now are compared with those shown: the records
// that match from the start and from the end stay; between them, those
// shown are removed and the table's inserted (a single add or delete is
// just that), or, as many on both sides, changed in place. Then every row
// whose values differ is reported changed.
void TQuotesModel::Sync() {
  std::vector<TColumn> columns;
  std::vector<TRow> rows;
  if (const TDataSet* table = Table()) {
    for (const auto& field : table->Fields())
      columns.push_back({QString::fromStdString(field->FieldName()), IsNumeric(field->DataType()),
                         field->ProviderFlags.Contains(pfInKey)});
    rows.resize(static_cast<std::size_t>(table->RecordCount()));
    for (int record = 0; record < table->RecordCount(); ++record) {
      TRow& row = rows[static_cast<std::size_t>(record)];
      for (int field = 0; field < table->Fields().Count(); ++field)
        row.push_back(DisplayValue(table->RecordValue(record, field)));
    }
  }
  if (columns != FColumns) {
    beginResetModel();
    FColumns = std::move(columns);
    FRows = std::move(rows);
    endResetModel();
    return;
  }

  const std::size_t shown = FRows.size(), now = rows.size();
  std::size_t head = 0, tail = 0;
  while (head < shown && head < now && SameRecord(FRows[head], rows[head])) ++head;
  while (tail < shown - head && tail < now - head && SameRecord(FRows[shown - 1 - tail], rows[now - 1 - tail])) ++tail;
  const std::size_t removed = shown - head - tail, added = now - head - tail;
  if (removed != added) {
    const int first = static_cast<int>(head);
    if (removed > 0) {
      beginRemoveRows({}, first, first + static_cast<int>(removed) - 1);
      FRows.erase(FRows.begin() + static_cast<std::ptrdiff_t>(head),
                  FRows.begin() + static_cast<std::ptrdiff_t>(head + removed));
      endRemoveRows();
    }
    if (added > 0) {
      beginInsertRows({}, first, first + static_cast<int>(added) - 1);
      FRows.insert(FRows.begin() + static_cast<std::ptrdiff_t>(head),
                   rows.begin() + static_cast<std::ptrdiff_t>(head),
                   rows.begin() + static_cast<std::ptrdiff_t>(head + added));
      endInsertRows();
    }
  }

  // Runs of changed rows, one notification each.
  int runStart = -1;
  for (std::size_t row = 0; row <= now; ++row) {
    const bool changed = row < now && FRows[row] != rows[row];
    if (changed) {
      FRows[row] = std::move(rows[row]);
      if (runStart < 0) runStart = static_cast<int>(row);
    } else if (runStart >= 0) {
      RowsChanged(runStart, static_cast<int>(row) - 1);
      runStart = -1;
    }
  }
}

int TQuotesModel::rowCount(const QModelIndex& aParent) const {
  return aParent.isValid() ? 0 : static_cast<int>(FRows.size());
}

int TQuotesModel::columnCount(const QModelIndex& aParent) const {
  return aParent.isValid() ? 0 : static_cast<int>(FColumns.size());
}

QVariant TQuotesModel::data(const QModelIndex& aIndex, int aRole) const {
  if (!aIndex.isValid() || aIndex.row() >= rowCount() || aIndex.column() >= columnCount()) return {};
  const auto column = static_cast<std::size_t>(aIndex.column());
  switch (aRole) {
    case Qt::DisplayRole:
      return FRows[static_cast<std::size_t>(aIndex.row())][column];
    case Qt::TextAlignmentRole:
      return Alignment(FColumns[column].Numeric);
    default:
      return {};
  }
}

QVariant TQuotesModel::headerData(int aSection, Qt::Orientation aOrientation, int aRole) const {
  if (aOrientation == Qt::Vertical) return aRole == Qt::DisplayRole ? QVariant(aSection + 1) : QVariant();
  if (aSection < 0 || aSection >= columnCount()) return {};
  const TColumn& column = FColumns[static_cast<std::size_t>(aSection)];
  switch (aRole) {
    case Qt::DisplayRole:
      return column.Name;
    case Qt::TextAlignmentRole:
      return Alignment(column.Numeric);
    default:
      return {};
  }
}
