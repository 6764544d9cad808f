// The delegates paint real decoded rows into an image: box geometry and
// colours, the narrowing of a long column, descriptor tables, size hints.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <QStandardItemModel>

#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "tests/support/tree_text.h"
#include "views/qt/data_delegate.h"
#include "views/qt/large_tree_model.h"
#include "views/qt/line_table_delegate.h"
#include "views/qt/table_delegate.h"

namespace {

using namespace usbtest;

const QColor kBackground("#404040");  // in no colour table
const QRgb kWhite = qRgb(255, 255, 255);

class DelegateTest : public treetext::PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    if (HasFatalFailure()) return;
    // GET_DESCRIPTOR(device) and a 64-byte IN answer.
    feed({token(0x2D, 3, 0), data(0xC3, {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}),
          hs(0xD2), token(0x69, 3, 1), data(0x4B, filled(64)), hs(0xD2)});
    pipeline_finish(pl);
    packets.reset(new LargeTreeModel(capture_session_tree(session, VIEW_PACKAGES), nullptr));
    tables.reset(new LargeTreeModel(capture_session_tree(session, VIEW_DESCRIPTORS), nullptr));
    packets->announceRows();
    tables->announceRows();
    font.setStyleStrategy(QFont::NoAntialias);  // text pixels in exactly the pen's colour
  }
  void TearDown() override {
    packets.reset();
    tables.reset();
    PipelineTest::TearDown();
  }
  QImage render(const QStyledItemDelegate& d, const QModelIndex& index, QSize size) {
    QImage img(size, QImage::Format_RGB32);
    img.fill(kBackground);
    QPainter p(&img);
    p.setFont(font);
    QStyleOptionViewItem opt;
    opt.rect = QRect(QPoint(0, 0), size);
    opt.state = QStyle::State_Enabled;
    opt.font = font;
    d.paint(&p, opt, index);
    return img;
  }
  int advance(const char* text) { return QFontMetrics(font).horizontalAdvance(QString::fromUtf8(text)); }
  // Column width of an entry whose texts all fit.
  int column(const char* key, const char* value) {
    return std::max(advance(key), advance(value)) + TableDelegate::kColumnPadding;
  }
  std::unique_ptr<LargeTreeModel> packets, tables;
  QFont font;
};

// x of every white pixel of line y: the boxes' vertical outlines.
std::vector<int> outlines(const QImage& img, int y) {
  std::vector<int> xs;
  for (int x = 0; x < img.width(); x++)
    if (img.pixel(x, y) == kWhite) xs.push_back(x);
  return xs;
}

// Pixels of `color` inside `box` (outline excluded).
int pixels_of(const QImage& img, const QRect& box, const QColor& color) {
  int n = 0;
  for (int y = box.top() + 1; y < box.bottom(); y++)
    for (int x = box.left() + 1; x < box.right(); x++) n += img.pixel(x, y) == color.rgb();
  return n;
}

// Outlines of columns of `widths`, the value group starting 10 px after the info group.
std::vector<int> expected_outlines(const std::vector<int>& widths, size_t infos, int clip) {
  std::set<int> xs;
  int x = 0;
  for (size_t i = 0; i < widths.size(); i++) {
    if (i == infos) x += TableDelegate::kGroupGap;
    xs.insert(x);
    xs.insert(x + widths[i]);
    x += widths[i];
  }
  std::vector<int> out;
  for (int v : xs)
    if (v < clip) out.push_back(v);
  return out;
}

TEST_F(DelegateTest, TokenRowBoxesAndColoursDataRowParseAndTheWidestColumnGivingWayDownToTheProbeText) {
  // Package=1 [bgd 12 / text 11] | TimeStamp [13] || Token=Setup [14] | Raw=2D 03 50 [15/11]
  QModelIndex setup = packets->index(0, 0);
  TableDelegate d;
  const QSize size(900, 50);
  QImage img = render(d, setup, size);
  std::vector<int> widths = {column("Package", "1"), column("TimeStamp", " 1.00 us    "),
                             column("Token", "Setup"), column("Raw", "2D 03 50")};
  const int keyTop = 5, boxHeight = (50 - 10) / 2;
  EXPECT_EQ(outlines(img, keyTop + 1), expected_outlines(widths, 2, size.width()));
  for (int y : {keyTop, keyTop + boxHeight, keyTop + 2 * boxHeight}) EXPECT_EQ(img.pixel(2, y), kWhite) << y;

  EXPECT_EQ(img.pixel(2, keyTop + 2), QColor("#f8f8ff").rgb());
  EXPECT_GT(pixels_of(img, QRect(0, keyTop, widths[0], boxHeight), QColor("#000000")), 5);  // the key's own text colour
  EXPECT_EQ(img.pixel(2, keyTop + boxHeight + 2), kBackground.rgb());  // no fill
  EXPECT_GT(pixels_of(img, QRect(0, keyTop + boxHeight, widths[0], boxHeight), Qt::white), 2);  // default text: white
  const int tokenLeft = widths[0] + widths[1] + TableDelegate::kGroupGap;
  EXPECT_EQ(img.pixel(widths[0] + 2, keyTop + 2), QColor("#228b22").rgb());
  EXPECT_EQ(img.pixel(tokenLeft + 2, keyTop + 2), QColor("#daa520").rgb());
  EXPECT_EQ(img.pixel(tokenLeft + widths[2] + 2, keyTop + 2), QColor("#caebd8").rgb());
  EXPECT_EQ(img.pixel(tokenLeft - 5, keyTop + 2), kBackground.rgb());  // the gap between the groups
  EXPECT_EQ(d.sizeHint(QStyleOptionViewItem(), setup), QSize(0, 50));

  // The data packet's row: parsed (titled by its first info value, and never
  // read past a cut record), and its detail row's widest column narrowed.
  auto payload = [&](const QModelIndex& i) {
    return reinterpret_cast<const uint8_t*>((uintptr_t)packets->data(i, LargeTreeModel::PayloadRole).toULongLong());
  };
  DataDelegate parser;
  EXPECT_EQ(parser.parse(nullptr), -1);
  const uint8_t empty[6] = {0, 0, 0, 0, 0, 0};
  EXPECT_EQ(parser.parse(empty, sizeof empty), -1);
  QModelIndex in = packets->index(4, 0);
  ASSERT_EQ(parser.parse(payload(in)), 0);
  EXPECT_STREQ(parser.row().infos[0].value.text, "5");  // "Package 5"
  uint8_t stored[4200];
  uint32_t len = row_tree_payload(capture_session_tree(session, VIEW_PACKAGES), (uint32_t)in.internalId(), stored,
                                  sizeof stored);
  ASSERT_GT(len, 40u);
  ASSERT_EQ(memcmp(stored, payload(in), len), 0);
  // Cut inside the Values group: what lies before the cut is read, nothing past it.
  for (uint32_t cut : {len - 1, len - 12, 20u}) {
    std::vector<uint8_t> copy(stored, stored + cut);
    EXPECT_EQ(parser.parse(copy.data(), cut), 0) << cut;
    EXPECT_LE(parser.row().infoCount + parser.row().valueCount, 4u);
  }

  // Type=Data || Data1=4B | Data (64 tytes)=00 01 ... 3F | Crc16=..
  QModelIndex detail = packets->index(0, 0, in);
  ASSERT_EQ(parser.parse(payload(detail)), 0);
  const ParsedPairRow& row = parser.row();
  ASSERT_EQ(row.valueCount, 3u);
  std::vector<int> detail_widths;
  for (uint32_t i = 0; i < row.infoCount; i++)
    detail_widths.push_back(column(row.infos[i].key.text, row.infos[i].value.text));
  for (uint32_t i = 0; i < row.valueCount; i++)
    detail_widths.push_back(column(row.values[i].key.text, row.values[i].value.text));
  int total = 0;
  for (int w : detail_widths) total += w;
  const int data = (int)row.infoCount + 1, probe = advance(TableDelegate::kProbeText);
  const int full = detail_widths[data];

  const struct {
    int width, dataWidth;  // of the row, and of the Data column painted
  } cases[] = {
      {total + 40, full},                 // fits: untouched
      {total - 100, full - 100},          // narrowed by the excess
      {total - full + probe / 2, probe},  // never below the probe text
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    std::vector<int> painted = detail_widths;
    painted[data] = c.dataWidth;
    QImage img = render(d, detail, QSize(c.width, 50));
    EXPECT_EQ(outlines(img, 6), expected_outlines(painted, row.infoCount, c.width));
  }
}

TEST_F(DelegateTest, DescriptorTableTitleHeaderAndFieldRowsAndRowsWithoutPayload) {
  QModelIndex request = tables->index(0, 0);
  linetabledelegate d;
  const int rows = 11;  // header and ten fields of GET_DESCRIPTOR
  QStyleOptionViewItem opt;
  opt.rect = QRect(0, 0, 900, 10);
  ASSERT_EQ(d.sizeHint(opt, request), QSize(900, 30 * rows + 55));
  QImage img = render(d, request, QSize(900, 30 * rows + 55));
  const int col = (900 - 10) / 3, first = 5 + 45;
  const QRect title(0, 5, 3 * col, 45), header(0, first, col, 30), field(0, first + 30, col, 30);
  EXPECT_EQ(img.pixel(3, 8), QColor("#5f9ea0").rgb());
  EXPECT_GT(pixels_of(img, title, QColor("#000000")), 5);
  EXPECT_EQ(img.pixel(3, first + 3), QColor("#5f9ea0").rgb());
  EXPECT_GT(pixels_of(img, header, Qt::white), 5);
  // bmRequest | 0x80 | (none): field cells filled grey, written white; the
  // empty description and the sub-field rows below stay unfilled.
  EXPECT_EQ(img.pixel(3, first + 33), QColor("#a9a9a9").rgb());
  EXPECT_EQ(img.pixel(col + 3, first + 33), QColor("#a9a9a9").rgb());
  EXPECT_EQ(img.pixel(2 * col + 3, first + 33), kBackground.rgb());
  EXPECT_GT(pixels_of(img, field, Qt::white), 5);
  EXPECT_EQ(img.pixel(3, first + 63), kBackground.rgb());
  // The header is centred, field names start at the left.
  auto leftmost_white = [&](const QRect& box) {
    for (int x = box.left() + 1; x < box.right(); x++)
      for (int y = box.top() + 1; y < box.bottom(); y++)
        if (img.pixel(x, y) == kWhite) return x;
    return -1;
  };
  EXPECT_GT(leftmost_white(header), col / 3);
  EXPECT_LT(leftmost_white(field), 10);

  // Rows without a payload draw nothing of their own.
  static const uint8_t zero = 0;
  QStandardItemModel m(3, 1);
  for (int r = 0; r < 3; r++) m.setData(m.index(r, 0), QColor(Qt::red), Qt::BackgroundRole);
  m.setData(m.index(0, 0), QVariant::fromValue<qulonglong>(0), LargeTreeModel::PayloadRole);
  m.setData(m.index(1, 0), QVariant::fromValue<qulonglong>((uintptr_t)&zero), LargeTreeModel::PayloadRole);
  opt.rect = QRect(0, 0, 400, 10);
  QImage blank(400, 60, QImage::Format_RGB32);
  blank.fill(kBackground);
  TableDelegate table;
  for (int r = 0; r < 2; r++) {
    SCOPED_TRACE(r);
    QModelIndex i = m.index(r, 0);
    EXPECT_EQ(render(table, i, blank.size()), blank);
    EXPECT_EQ(table.sizeHint(opt, i), QSize(400, 50));
    EXPECT_EQ(d.sizeHint(opt, i), QSize());
    QImage base = render(d, i, blank.size());
    EXPECT_EQ(base.pixel(200, 30), QColor(Qt::red).rgb());  // the base item: its background
    EXPECT_TRUE(outlines(base, 6).empty());                 // and no box
  }
  EXPECT_EQ(d.sizeHint(opt, m.index(2, 0)), QSize(400, 50));  // no payload role at all
  EXPECT_EQ(d.sizeHint(opt, QModelIndex()), QSize());
}

}  // namespace
