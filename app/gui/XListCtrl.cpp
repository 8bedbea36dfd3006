#include "XListCtrl.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace vorlane::gui {

QColor FromColorRef(uint32_t colour) {
    return QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
}

namespace {

constexpr uint32_t kProgressGrey = 0xE0E0E0;
constexpr uint32_t kCheckFrame = 0x996633;
constexpr uint32_t kCheckTick = 0x339933;
constexpr int kHeaderMargin = 8;

QString ProgressLabel(const XCell& cell) {
    return cell.progressText.isEmpty() ? QStringLiteral("%1%").arg(cell.percent)
                                       : cell.progressText;
}

} // namespace

// ---- Model ---------------------------------------------------------------------------------

int CXListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CXListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_columns.size());
}

const XCell* CXListModel::Cell(int row, int column) const {
    if (row < 0 || column < 0 || row >= rowCount() || column >= columnCount()) return nullptr;
    return &m_rows[row][column];
}

XCell* CXListModel::Cell(int row, int column) {
    if (row < 0 || column < 0 || row >= rowCount() || column >= columnCount()) return nullptr;
    return &m_rows[row][column];
}

QVariant CXListModel::data(const QModelIndex& index, int role) const {
    const XCell* cell = Cell(index.row(), index.column());
    if (!cell) return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return cell->progressShown ? ProgressLabel(*cell) : cell->text;
    case Qt::CheckStateRole:
        if (cell->check < 0) return {};
        return cell->check ? Qt::Checked : Qt::Unchecked;
    case Qt::BackgroundRole:
        return FromColorRef(cell->background);
    case Qt::ForegroundRole:
        return FromColorRef(cell->textColour);
    case Qt::ToolTipRole:
        return cell->toolTip.isEmpty() ? QVariant() : QVariant(cell->toolTip);
    case Qt::TextAlignmentRole:
        return QVariant(ColumnAlignment(index.column()) | Qt::AlignVCenter);
    default:
        return {};
    }
}

QVariant CXListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) return {};
    if (role == Qt::DisplayRole) return m_columns[section].heading;
    if (role == Qt::TextAlignmentRole)
        return QVariant(m_columns[section].alignment | Qt::AlignVCenter);
    return {};
}

Qt::ItemFlags CXListModel::flags(const QModelIndex& index) const {
    const XCell* cell = Cell(index.row(), index.column());
    if (!cell) return Qt::NoItemFlags;
    return cell->enabled ? (Qt::ItemIsEnabled | Qt::ItemIsSelectable) : Qt::ItemIsSelectable;
}

Qt::Alignment CXListModel::ColumnAlignment(int column) const {
    if (column < 0 || column >= columnCount()) return Qt::AlignLeft;
    return m_columns[column].alignment;
}

void CXListModel::CellChanged(int row, int column) {
    QModelIndex i = index(row, column);
    emit dataChanged(i, i);
}

int CXListModel::InsertColumn(int column, const QString& heading, Qt::Alignment alignment) {
    column = std::clamp(column, 0, columnCount());
    beginInsertColumns(QModelIndex(), column, column);
    m_columns.insert(m_columns.begin() + column, Column{heading, alignment});
    for (auto& row : m_rows)
        row.insert(row.begin() + column, XCell());
    endInsertColumns();
    return column;
}

void CXListModel::SetHeading(int column, const QString& heading) {
    if (column < 0 || column >= columnCount()) return;
    m_columns[column].heading = heading;
    emit headerDataChanged(Qt::Horizontal, column, column);
}

int CXListModel::InsertRow(int row) {
    if (row < 0) return -1;
    row = std::min(row, rowCount());
    beginInsertRows(QModelIndex(), row, row);
    m_rows.insert(m_rows.begin() + row, std::vector<XCell>(m_columns.size()));
    endInsertRows();
    return row;
}

void CXListModel::Clear() {
    beginResetModel();
    m_rows.clear();
    endResetModel();
}

// ---- Header --------------------------------------------------------------------------------

CXHeaderCtrl::CXHeaderCtrl(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
    setSectionsClickable(false);
    setHighlightSections(false);
}

void CXHeaderCtrl::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    const QPalette& pal = palette();
    painter->save();
    painter->fillRect(rect, pal.color(QPalette::Button));
    // A raised edge: highlight on the top and left, shadow on the bottom and right.
    painter->setPen(pal.color(QPalette::Light));
    painter->drawLine(rect.topLeft(), rect.topRight());
    painter->drawLine(rect.topLeft(), rect.bottomLeft());
    painter->setPen(pal.color(QPalette::Dark));
    painter->drawLine(rect.bottomLeft(), rect.bottomRight());
    painter->drawLine(rect.topRight(), rect.bottomRight());
    QAbstractItemModel* m = model();
    if (m) {
        QString text = m->headerData(logicalIndex, Qt::Horizontal, Qt::DisplayRole).toString();
        QVariant align = m->headerData(logicalIndex, Qt::Horizontal, Qt::TextAlignmentRole);
        int flags = align.isValid() ? align.toInt() : int(Qt::AlignLeft | Qt::AlignVCenter);
        painter->setPen(pal.color(QPalette::ButtonText));
        QRect textRect = rect.adjusted(kHeaderMargin, 0, -kHeaderMargin, 0);
        painter->drawText(
            textRect, flags | Qt::TextSingleLine,
            painter->fontMetrics().elidedText(text, Qt::ElideRight, textRect.width()));
    }
    painter->restore();
}

// ---- Delegate ------------------------------------------------------------------------------

void CXListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                           const QModelIndex& index) const {
    const XCell* cell = m_model->Cell(index.row(), index.column());
    if (!cell) return;
    // The cached colours of the control: a disabled list (during a run)
    // keeps its colours, so that the progress stays readable.
    QPalette pal = option.palette;
    pal.setCurrentColorGroup(QPalette::Active);
    const QRect r = option.rect;
    painter->save();
    painter->setClipRect(r);
    if (cell->progressShown) {
        // Grey box with a shadow frame; the filled part and the split text.
        QRect box(r.left() + 1, r.top(), r.width() - 1, r.height() - 1);
        painter->fillRect(box, FromColorRef(kProgressGrey));
        painter->setPen(pal.color(QPalette::Dark));
        painter->drawRect(box.adjusted(0, 0, -1, -1));
        int percent = std::clamp(cell->percent, 0, 100);
        if (percent > 0) {
            int filled = (r.width() - 1) * percent / 100;
            QRect bar(box.left(), box.top(), filled, box.height());
            painter->fillRect(bar, pal.color(QPalette::Highlight));
            if (cell->progressTextShown) {
                const QString label = ProgressLabel(*cell);
                const int flags = Qt::AlignCenter | Qt::TextSingleLine;
                painter->setClipRect(bar.intersected(r));
                painter->setPen(pal.color(QPalette::HighlightedText));
                painter->drawText(box, flags, label);
                QRect rest(bar.right() + 1, box.top(), box.right() - bar.right(), box.height());
                painter->setClipRect(rest.intersected(r));
                painter->setPen(FromColorRef(cell->textColour));
                painter->drawText(box, flags, label);
            }
        }
        painter->restore();
        return;
    }
    painter->fillRect(r, FromColorRef(cell->background));
    QRect textRect = r.adjusted(4, 0, -4, 0);
    if (cell->check >= 0) {
        const int side = std::max(1, r.height() - 1);
        int left = cell->text.isEmpty() ? r.left() + (r.width() - side) / 2 : r.left() + 9;
        QRect box(left, r.top(), side, side);
        painter->fillRect(box, pal.color(QPalette::Base));
        painter->setPen(FromColorRef(kCheckFrame));
        painter->drawRect(box.adjusted(0, 0, -1, -1));
        if (cell->check == 1) {
            QPen tick(FromColorRef(kCheckTick));
            tick.setWidth(2);
            painter->setPen(tick);
            painter->setRenderHint(QPainter::Antialiasing, true);
            QPointF a(box.left() + side * 0.22, box.top() + side * 0.52);
            QPointF b(box.left() + side * 0.42, box.top() + side * 0.74);
            QPointF c(box.left() + side * 0.80, box.top() + side * 0.28);
            painter->drawLine(a, b);
            painter->drawLine(b, c);
        }
        textRect.setLeft(box.right() + 6);
    }
    if (!cell->text.isEmpty()) {
        painter->setPen(FromColorRef(cell->textColour));
        int align = static_cast<int>(m_model->ColumnAlignment(index.column()));
        if (cell->check >= 0) align = Qt::AlignLeft;
        painter->drawText(
            textRect, align | Qt::AlignVCenter | Qt::TextSingleLine,
            option.fontMetrics.elidedText(cell->text, Qt::ElideRight, textRect.width()));
    }
    painter->restore();
}

// ---- List control --------------------------------------------------------------------------

CXListCtrl::CXListCtrl(QWidget* parent) : QTableView(parent), m_model(new CXListModel(this)) {
    setModel(m_model);
    setHorizontalHeader(new CXHeaderCtrl(this));
    setItemDelegate(new CXListDelegate(m_model, this));
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(kRowHeight);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setStretchLastSection(false);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setWordWrap(false);
}

int CXListCtrl::InsertColumn(int column, const QString& heading, Qt::Alignment alignment,
                             int share) {
    int at = m_model->InsertColumn(column, heading, alignment);
    m_shares.insert(m_shares.begin() + at, std::max(1, share));
    LayoutColumns();
    return at;
}

int CXListCtrl::GetColumns() const {
    return m_model->columnCount();
}

int CXListCtrl::InsertItem(int row, const QString& text, uint32_t textColour, uint32_t background) {
    if (GetColumns() < 1) return -1;
    int at = m_model->InsertRow(row);
    if (at < 0) return -1;
    XCell* cell = m_model->Cell(at, 0);
    cell->text = text;
    cell->textColour = textColour;
    cell->background = background;
    m_model->CellChanged(at, 0);
    return at;
}

int CXListCtrl::GetItemCount() const {
    return m_model->rowCount();
}

bool CXListCtrl::SetItemText(int row, int column, const QString& text) {
    XCell* cell = m_model->Cell(row, column);
    if (!cell) return false;
    cell->text = text;
    RedrawCell(row, column);
    return true;
}

QString CXListCtrl::GetItemText(int row, int column) const {
    const XCell* cell = m_model->Cell(row, column);
    return cell ? cell->text : QString();
}

bool CXListCtrl::SetItemToolTip(int row, int column, const QString& text) {
    XCell* cell = m_model->Cell(row, column);
    if (!cell) return false;
    cell->toolTip = text;
    return true;
}

bool CXListCtrl::SetCheckbox(int row, int state) {
    XCell* cell = m_model->Cell(row, 0);
    if (!cell) return false;
    cell->check = state < 0 ? -1 : (state ? 1 : 0);
    RedrawCell(row, 0);
    return true;
}

int CXListCtrl::GetCheckbox(int row) const {
    const XCell* cell = m_model->Cell(row, 0);
    return cell ? cell->check : -1;
}

void CXListCtrl::SetItemColors(int column, int row, uint32_t background) {
    XCell* cell = m_model->Cell(row, column);
    if (!cell) return;
    cell->textColour = 0x000000;
    cell->background = background;
}

bool CXListCtrl::ResetProgress(int row) {
    if (GetColumns() < 4) return false;
    XCell* cell = m_model->Cell(row, 3);
    if (!cell) return false;
    cell->progressShown = true;
    cell->progressTextShown = true;
    cell->percent = 0;
    cell->progressText.clear();
    RedrawCell(row, 3);
    return true;
}

bool CXListCtrl::SetProgress(int row, int percent) {
    if (GetColumns() < 4) return false;
    XCell* cell = m_model->Cell(row, 3);
    if (!cell) return false;
    cell->percent = std::clamp(percent, 0, 100);
    RedrawCell(row, 3);
    return true;
}

void CXListCtrl::DeleteAllItems() {
    m_model->Clear();
}

void CXListCtrl::RedrawItems() {
    if (GetItemCount() > 0 && GetColumns() > 0)
        emit m_model->dataChanged(m_model->index(0, 0),
                                  m_model->index(GetItemCount() - 1, GetColumns() - 1));
    viewport()->update();
}

void CXListCtrl::RedrawCell(int row, int column) {
    m_model->CellChanged(row, column);
    QRect r = visualRect(m_model->index(row, column));
    viewport()->update(r.adjusted(-2, -2, 2, 2));
}

void CXListCtrl::mousePressEvent(QMouseEvent* event) {
    if (!isEnabled()) return;
    QModelIndex index = indexAt(event->position().toPoint());
    const bool left = event->button() == Qt::LeftButton;
    if (left && index.isValid()) {
        XCell* cell = m_model->Cell(index.row(), index.column());
        if (cell && cell->enabled && (cell->check == 0 || cell->check == 1)) {
            cell->check = cell->check ? 0 : 1;
            cell->modified = true;
            RedrawCell(index.row(), index.column());
            emit CheckboxClicked(index.row(), index.column());
        }
    }
    QTableView::mousePressEvent(event);
    if (left) emit ItemClicked(index.isValid() ? index.row() : -1, index.column());
}

void CXListCtrl::paintEvent(QPaintEvent* event) {
    QTableView::paintEvent(event);
    if (GetItemCount() > 0) return;
    QPainter painter(viewport());
    QRect area = viewport()->rect();
    painter.fillRect(area, palette().color(QPalette::Base));
    painter.setPen(palette().color(QPalette::Text));
    painter.drawText(area.adjusted(4, 10, -4, 0),
                     Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
                     QString::fromLatin1(EmptyText()));
}

void CXListCtrl::resizeEvent(QResizeEvent* event) {
    QTableView::resizeEvent(event);
    LayoutColumns();
}

void CXListCtrl::LayoutColumns() {
    int total = 0;
    for (int s : m_shares)
        total += s;
    if (total == 0) return;
    // One tenth of the width per share for the 1:1:2:6 drive list; the last
    // column takes what the rounding leaves.
    int width = viewport()->width();
    int unit = width / total;
    int used = 0;
    for (size_t i = 0; i < m_shares.size(); ++i) {
        int w = (i + 1 == m_shares.size()) ? std::max(unit * m_shares[i], width - used)
                                           : unit * m_shares[i];
        horizontalHeader()->resizeSection(static_cast<int>(i), w);
        used += w;
    }
}

} // namespace vorlane::gui
