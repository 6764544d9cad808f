// Painting one screen of a very large view.
//
//   bench_views_qt [ROWS]
//
// Fills a row tree with ROWS top-level packet rows (10,000,000 by default:
// one prepared payload appended again and again), shows it in a 1200x600
// QTreeView with the TableDelegate and uniform row heights, scrolled to the
// end, and renders the view into an image offscreen. Prints the fill time,
// the first render (the view lays out every top-level row once) and the
// median of later renders, which is what one repaint of the screen costs,
// and one refresh tick of a live capture (1,000 rows announced and shown).
// Files go to a private temporary directory and are deleted at the end.
#include <unistd.h>

#include <QApplication>
#include <QImage>
#include <QPalette>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "decode/cells/display_cell.h"
#include "decode/cells/kv_list.h"
#include "os/clock.h"
#include "os/log.h"
#include "store/store_files.h"
#include "views/qt/large_tree_model.h"
#include "views/qt/table_delegate.h"
#include "views/row_tree.h"

namespace {

// A SETUP token row as the packet view shows it.
uint32_t token_row(uint8_t* buf) {
  kvLinkedList* infos = nullptr;
  kvLinkedList* values = nullptr;
  kvlist_append(&infos, cell_word(W_PACKAGE, 12, 11), cell_u32(1234567, 0, 0));
  kvlist_append(&infos, cell_word(W_TIMESTAMP, 13, 0), cell_text(" 12.34 ms   ", 0, 0));
  kvlist_append(&values, cell_word(W_TOKEN, 14, 0), cell_word(W_SETUP, 0, 0));
  const uint8_t raw[3] = {0x2D, 0x03, 0x50};
  kvlist_append(&values, cell_word(W_RAW, 15, 11), cell_hex(raw, sizeof raw, 0, 0));
  return row_tree_pack(infos, values, buf);
}

double ms_since(uint64_t t0) { return (double)(os_monotonic_ns() - t0) / 1e6; }

void render_once(QTreeView* view, QImage* img) {
  view->render(img);
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const uint32_t rows = argc > 1 ? (uint32_t)strtoul(argv[1], nullptr, 10) : 10000000u;
  orvane_log_set_muted(1);

  std::string dir = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/bench_views_qt.XXXXXX";
  if (!mkdtemp(&dir[0])) {
    perror("mkdtemp");
    return 1;
  }
  store_set_data_dir(dir.c_str());
  RowTree* tree = row_tree_open("bench_value.qelvo", "bench_index.qelvo");
  if (!tree) {
    fprintf(stderr, "cannot open the row tree in %s\n", dir.c_str());
    return 1;
  }
  uint8_t payload[kRowBufSize];
  uint32_t len = token_row(payload);

  uint64_t t0 = os_monotonic_ns();
  for (uint32_t i = 0; i < rows; i++) row_tree_append_payload(tree, 0, payload, len, 0xFF030804u);
  double fill = ms_since(t0);
  printf("fill: %u rows of %u bytes in %.0f ms (%.2f M rows/s)\n", row_tree_row_count(tree), len,
         fill, row_tree_row_count(tree) / fill / 1e3);

  {
    LargeTreeModel model(tree, nullptr);
    model.announceRows();
    TableDelegate delegate;
    QTreeView view;
    view.setUniformRowHeights(true);
    view.setItemDelegate(&delegate);
    view.setModel(&model);
    view.resize(1200, 600);
    QPalette dark = view.palette();  // the analyzer's theme is dark: white outlines show
    dark.setColor(QPalette::Base, QColor("#2b2b2b"));
    view.setPalette(dark);
    QImage img(view.size(), QImage::Format_RGB32);

    t0 = os_monotonic_ns();
    view.scrollToBottom();
    render_once(&view, &img);
    printf("first render, scrolled to the end (the view lays out %d rows): %.1f ms\n",
           model.rowCount(), ms_since(t0));

    std::vector<double> times;
    for (int i = 0; i < 15; i++) {
      t0 = os_monotonic_ns();
      render_once(&view, &img);
      times.push_back(ms_since(t0));
    }
    std::sort(times.begin(), times.end());
    int shown = view.viewport()->height() / std::max(1, view.sizeHintForRow(0));
    printf("paint one screen (1200x600, about %d rows of %d): median %.2f ms, best %.2f ms\n",
           shown, model.rowCount(), times[times.size() / 2], times[0]);

    // One refresh tick of a live capture: new rows announced, the view
    // scrolled to them and painted.
    for (int i = 0; i < 1000; i++) row_tree_append_payload(tree, 0, payload, len, 0xFF030804u);
    t0 = os_monotonic_ns();
    model.announceRows();
    view.scrollToBottom();
    render_once(&view, &img);
    printf("announce 1,000 new rows, scroll to them and paint: %.1f ms\n", ms_since(t0));
  }

  row_tree_delete_files(tree);
  row_tree_close(tree);
  rmdir(dir.c_str());
  return 0;
}
