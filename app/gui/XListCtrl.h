// CXListCtrl and CXHeaderCtrl: the drive list of the main window as a Qt
// table view. Every row owns one cell record per column (check box, colours,
// progress bar); a delegate paints the cells, the header paints the headings.
#pragma once

#include <QAbstractTableModel>
#include <QHeaderView>
#include <QString>
#include <QStyledItemDelegate>
#include <QTableView>

#include <cstdint>
#include <vector>

namespace vorlane::gui {

// 0x00BBGGRR as the colours are stored by the engine and the cell records.
QColor FromColorRef(uint32_t colour);

// One cell record.
struct XCell {
    bool enabled = true;   // the row reacts to clicks
    bool modified = false; // the operator toggled the cell's check box
    uint32_t textColour = 0x000000;
    uint32_t background = 0xFFFFFF;
    bool progressShown = false; // a progress bar instead of the text
    int percent = 0;            // 0-100
    QString progressText;       // empty: "%d%" of the percent
    bool progressTextShown = false;
    int check = -1; // -1 no check box, 0 unchecked, 1 checked
    QString text;
    QString toolTip;
};

class CXListModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    const XCell* Cell(int row, int column) const;
    XCell* Cell(int row, int column);
    void CellChanged(int row, int column);
    int InsertColumn(int column, const QString& heading, Qt::Alignment alignment);
    void SetHeading(int column, const QString& heading);
    int InsertRow(int row);
    void Clear();
    Qt::Alignment ColumnAlignment(int column) const;

  private:
    struct Column {
        QString heading;
        Qt::Alignment alignment;
    };
    std::vector<Column> m_columns;
    std::vector<std::vector<XCell>> m_rows;
};

class CXHeaderCtrl : public QHeaderView {
    Q_OBJECT
  public:
    explicit CXHeaderCtrl(QWidget* parent = nullptr);

  protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
};

class CXListDelegate : public QStyledItemDelegate {
    Q_OBJECT
  public:
    explicit CXListDelegate(const CXListModel* model, QObject* parent = nullptr)
        : QStyledItemDelegate(parent), m_model(model) {}
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

  private:
    const CXListModel* m_model;
};

class CXListCtrl : public QTableView {
    Q_OBJECT
  public:
    static constexpr int kRowHeight = 24;
    static const char* EmptyText() { return "There are no items to show in this view."; }

    explicit CXListCtrl(QWidget* parent = nullptr);

    // Columns keep the shares given here (1:1:2:6 for the drive list) of the
    // list's width when it is resized.
    int InsertColumn(int column, const QString& heading, Qt::Alignment alignment, int share);
    int GetColumns() const;
    // Operations on rows and cells ignore rows and columns out of range.
    int InsertItem(int row, const QString& text, uint32_t textColour, uint32_t background);
    int GetItemCount() const;
    bool SetItemText(int row, int column, const QString& text);
    QString GetItemText(int row, int column) const;
    bool SetItemToolTip(int row, int column, const QString& text);
    bool SetCheckbox(int row, int state);
    int GetCheckbox(int row) const;
    // Black text on `background` (no redraw: the caller redraws the list).
    void SetItemColors(int column, int row, uint32_t background);
    bool ResetProgress(int row);
    bool SetProgress(int row, int percent);
    void DeleteAllItems();
    void RedrawItems();
    const XCell* Cell(int row, int column) const { return m_model->Cell(row, column); }
    CXListModel* Model() const { return m_model; }

  signals:
    // The check box of (row, column) was toggled by a click.
    void CheckboxClicked(int row, int column);
    // The click notification; it follows the check-box change.
    void ItemClicked(int row, int column);

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void RedrawCell(int row, int column);
    void LayoutColumns();

    CXListModel* m_model;
    std::vector<int> m_shares;
};

} // namespace vorlane::gui
