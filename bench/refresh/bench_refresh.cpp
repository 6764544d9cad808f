// The main window's refresh step on very large views.
//
//   bench_refresh [--plain-views] [ROWS...]
//
// For each ROWS (1,000,000 and 10,000,000 by default) fills two row trees:
// packet rows with one detail row each (the package view: every top-level
// row has children) and data rows without children (the data view). Each
// is shown in a 1200x600 LargeTreeView (a plain QTreeView with
// --plain-views) with uniform row heights, scrolled to the end, as the
// analyzer shows them. Then it runs refresh ticks: 1,000 new
// rows appended, announced (announceRows) and the view scrolled to the
// bottom, which lays the view out, then painted. Prints the median and the
// worst tick; a tick is what the GUI thread stalls for every 100 ms of a
// live capture. Files go to a private temporary directory.
#include <unistd.h>

#include <QApplication>
#include <QImage>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "decode/cells/display_cell.h"
#include "decode/cells/kv_list.h"
#include "os/clock.h"
#include "os/log.h"
#include "store/store_files.h"
#include "views/qt/large_tree_model.h"
#include "views/qt/large_tree_view.h"
#include "views/qt/table_delegate.h"
#include "views/row_tree.h"

namespace {

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

struct Payload {
  uint8_t bytes[kRowBufSize];
  uint32_t len;
};

// Appended in batches, as the capture pipeline's storing thread does.
void append_rows(RowTree* tree, const Payload& p, uint32_t n, bool withChild) {
  for (uint32_t i = 0; i < n; i++) {
    row_tree_append_payload(tree, 0, p.bytes, p.len, 0xFF030804u);
    if (withChild) row_tree_append_payload(tree, 1, p.bytes, p.len, 0xFF030804u);
    if (i % 4096 == 4095) row_tree_publish(tree);
  }
  row_tree_publish(tree);
}

void run(uint32_t rows, bool withChild, const Payload& p, bool plainView) {
  RowTree* tree = row_tree_open("bench_value.qelvo", "bench_index.qelvo");
  if (!tree) {
    fprintf(stderr, "cannot open the row tree\n");
    exit(1);
  }
  row_tree_defer_publish(tree, true);
  uint64_t t0 = os_monotonic_ns();
  append_rows(tree, p, rows, withChild);
  double fill = ms_since(t0);
  {
    LargeTreeModel model(tree, nullptr);
    TableDelegate delegate;
    std::unique_ptr<QTreeView> viewOwner(plainView ? new QTreeView() : new LargeTreeView());
    QTreeView& view = *viewOwner;
    view.setUniformRowHeights(true);
    view.setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    view.setItemDelegate(&delegate);
    view.setModel(&model);
    view.resize(1200, 600);
    view.show();
    QImage img(view.size(), QImage::Format_RGB32);
    t0 = os_monotonic_ns();
    model.announceRows();
    view.scrollToBottom();
    view.render(&img);
    double first = ms_since(t0);

    std::vector<double> ticks;
    const int kTicks = 9;
    for (int i = 0; i < kTicks; i++) {
      append_rows(tree, p, 1000, withChild);
      t0 = os_monotonic_ns();
      if (model.announceRows() > 0) view.scrollToBottom();
      view.render(&img);
      QCoreApplication::processEvents();
      ticks.push_back(ms_since(t0));
    }
    std::sort(ticks.begin(), ticks.end());
    printf("%9u top-level rows %-20s fill %6.0f ms | first layout %7.1f ms | tick: median %7.1f ms, worst %7.1f ms\n",
           rows, withChild ? "(one child each)" : "(no children)", fill, first, ticks[kTicks / 2],
           ticks.back());
    fflush(stdout);
  }
  row_tree_delete_files(tree);
  row_tree_close(tree);
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  orvane_log_set_muted(1);
  std::vector<uint32_t> sizes;
  bool plainView = false;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--plain-views") == 0) plainView = true;
    else sizes.push_back((uint32_t)strtoul(argv[i], nullptr, 10));
  }
  if (sizes.empty()) sizes = {1000000u, 10000000u};
  printf("views: %s\n", plainView ? "plain QTreeView" : "LargeTreeView");

  std::string dir = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/bench_refresh.XXXXXX";
  if (!mkdtemp(&dir[0])) {
    perror("mkdtemp");
    return 1;
  }
  store_set_data_dir(dir.c_str());
  Payload p;
  p.len = token_row(p.bytes);
  for (uint32_t rows : sizes) {
    run(rows, true, p, plainView);
    run(rows, false, p, plainView);
  }
  rmdir(dir.c_str());
  return 0;
}
