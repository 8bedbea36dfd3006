// The drive list control: check boxes, progress cells, the empty-list text.
#include "XListCtrl.h"

#include <QApplication>
#include <QImage>
#include <QTest>

#include <gtest/gtest.h>

namespace vorlane::gui {
namespace {

class ListCtrlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_list.resize(600, 200);
        m_list.InsertColumn(0, "No.", Qt::AlignLeft, 1);
        m_list.InsertColumn(1, "Drive", Qt::AlignCenter, 1);
        m_list.InsertColumn(2, "Capacity", Qt::AlignCenter, 2);
        m_list.InsertColumn(3, "Progress", Qt::AlignCenter, 6);
        m_list.show();
        QApplication::processEvents();
    }
    QImage Grab() {
        QApplication::processEvents();
        return m_list.viewport()->grab().toImage();
    }
    // Counts the pixels of `colour` inside `rect` of the viewport image.
    static int Count(const QImage& image, const QRect& rect, QColor colour) {
        int n = 0;
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            for (int x = rect.left(); x <= rect.right(); ++x)
                if (image.pixelColor(x, y).rgb() == colour.rgb()) ++n;
        return n;
    }
    CXListCtrl m_list;
};

TEST_F(ListCtrlTest, ColumnsShareTheWidthOneOneTwoSix) {
    int w = m_list.viewport()->width();
    auto* header = m_list.horizontalHeader();
    EXPECT_EQ(w / 10, header->sectionSize(0));
    EXPECT_EQ(w / 10, header->sectionSize(1));
    EXPECT_EQ(2 * (w / 10), header->sectionSize(2));
    EXPECT_GE(header->sectionSize(3), 6 * (w / 10));
    m_list.resize(900, 200);
    QApplication::processEvents();
    EXPECT_EQ(m_list.viewport()->width() / 10, header->sectionSize(0));
}

TEST_F(ListCtrlTest, ProgressCellAtZeroAndAtHundred) {
    ASSERT_EQ(0, m_list.InsertItem(0, "1", 0, 0xFFFFFF));
    ASSERT_TRUE(m_list.ResetProgress(0));
    QRect cell = m_list.visualRect(m_list.Model()->index(0, 3)).adjusted(3, 3, -3, -3);
    const QColor grey(0xE0, 0xE0, 0xE0);
    const QColor highlight = m_list.palette().color(QPalette::Highlight);
    QImage zero = Grab();
    // 0 %: the grey box alone, no bar and no text.
    EXPECT_EQ(cell.width() * cell.height(), Count(zero, cell, grey));
    EXPECT_EQ(0, Count(zero, cell, highlight));

    ASSERT_TRUE(m_list.SetProgress(0, 100));
    QImage full = Grab();
    EXPECT_EQ(0, Count(full, cell, grey));
    int bar = Count(full, cell, highlight);
    EXPECT_GT(bar, cell.width() * cell.height() * 8 / 10); // filled, with "100%" over it
    EXPECT_LT(bar, cell.width() * cell.height());
    EXPECT_EQ("100%", m_list.Model()->index(0, 3).data().toString().toStdString());

    ASSERT_TRUE(m_list.SetProgress(0, 250)); // clamped
    EXPECT_EQ(100, m_list.Cell(0, 3)->percent);
}

TEST_F(ListCtrlTest, ProgressNeedsFourColumnsAndRowsInRange) {
    CXListCtrl narrow;
    narrow.InsertColumn(0, "A", Qt::AlignLeft, 1);
    narrow.InsertColumn(1, "B", Qt::AlignLeft, 1);
    narrow.InsertColumn(2, "C", Qt::AlignLeft, 1);
    ASSERT_EQ(0, narrow.InsertItem(0, "x", 0, 0xFFFFFF));
    EXPECT_FALSE(narrow.ResetProgress(0));
    EXPECT_FALSE(narrow.SetProgress(0, 50));
    EXPECT_FALSE(narrow.Cell(0, 2)->progressShown);

    EXPECT_FALSE(m_list.ResetProgress(0)); // no rows
    EXPECT_FALSE(m_list.SetItemText(3, 1, "x"));
    EXPECT_FALSE(m_list.SetCheckbox(-1, 1));
    EXPECT_EQ(-1, m_list.GetCheckbox(7));
    m_list.SetItemColors(9, 0, 0x00FF00); // ignored
}

TEST_F(ListCtrlTest, EmptyListShowsItsTextBelowTheHeader) {
    QImage empty = Grab();
    const QColor text = m_list.palette().color(QPalette::Text);
    QRect band(0, 8, m_list.viewport()->width() - 1, 24);
    EXPECT_GT(Count(empty, band, text), 20);
    EXPECT_EQ(0, Count(empty, QRect(0, 0, m_list.viewport()->width() - 1, 7), text));

    m_list.InsertItem(0, "1", 0, 0xFFFFFF);
    m_list.DeleteAllItems();
    EXPECT_EQ(0, m_list.GetItemCount());
    EXPECT_GT(Count(Grab(), band, text), 20);
}

TEST_F(ListCtrlTest, CheckBoxTogglesBeforeTheClickNotification) {
    ASSERT_EQ(0, m_list.InsertItem(0, "1", 0, 0xFFFFFF));
    ASSERT_EQ(1, m_list.InsertItem(1, "2", 0, 0xFFFFFF));
    m_list.SetCheckbox(0, 1);
    m_list.SetCheckbox(1, 0);
    std::vector<std::pair<int, int>> clicks; // (row, check state seen)
    int toggles = 0;
    QObject::connect(&m_list, &CXListCtrl::CheckboxClicked, [&](int, int) { ++toggles; });
    QObject::connect(&m_list, &CXListCtrl::ItemClicked, [&](int row, int) {
        clicks.push_back({row, m_list.GetCheckbox(row)});
    });
    auto click = [&](int row, int column) {
        QRect r = m_list.visualRect(m_list.Model()->index(row, column));
        QTest::mouseClick(m_list.viewport(), Qt::LeftButton, {}, r.center());
    };
    click(0, 0);
    click(1, 0);
    click(1, 2); // no check box in that cell: notification only
    ASSERT_EQ(3u, clicks.size());
    EXPECT_EQ(std::make_pair(0, 0), clicks[0]);
    EXPECT_EQ(std::make_pair(1, 1), clicks[1]);
    EXPECT_EQ(std::make_pair(1, 1), clicks[2]);
    EXPECT_EQ(2, toggles);
    EXPECT_TRUE(m_list.Cell(0, 0)->modified);

    m_list.setEnabled(false);
    click(0, 0);
    EXPECT_EQ(0, m_list.GetCheckbox(0));
    EXPECT_EQ(3u, clicks.size());
}

} // namespace
} // namespace vorlane::gui
