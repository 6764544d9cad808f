// The item-model overrides over the row tree's read API, and the announced
// counts that keep the views behind the rows announced to them.
#include "views/qt/large_tree_model.h"

#include <QDebug>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

namespace {

const uint32_t kNoRow = 0xFFFFFFFFu;
// A stored payload may fill all 4,096 bytes; the read copies only what is
// shorter than its capacity, hence the extra byte.
const uint32_t kReadCapacity = LargeTreeModel::kReadBufSize + 1;

int to_int(uint32_t n) { return n > (uint32_t)INT_MAX ? INT_MAX : (int)n; }

}  // namespace

LargeTreeModel::LargeTreeModel(QObject* parent) : LargeTreeModel("package.qelvo", "index.qelvo", parent) {}

LargeTreeModel::LargeTreeModel(const char* valueFile, const char* indexFile, QObject* parent)
    : QAbstractItemModel(parent) {
  openTree(valueFile, indexFile);
}

LargeTreeModel::LargeTreeModel(RowTree* tree, QObject* parent)
    : QAbstractItemModel(parent), m_tree(tree), m_readBuf(new uint8_t[kReadCapacity]()) {
  if (m_tree) row_tree_tail(m_tree, &m_tail);  // rows appended before are complete or known
}

void LargeTreeModel::openTree(const char* valueFile, const char* indexFile) {
  m_readBuf.reset(new uint8_t[kReadCapacity]());
  m_tree = row_tree_open(valueFile, indexFile);
  m_ownsTree = m_tree != nullptr;
  if (!m_tree) qWarning() << ">>>LargeTreeModel: cannot open" << valueFile << indexFile;
}

LargeTreeModel::~LargeTreeModel() {
  if (m_ownsTree) row_tree_close(m_tree);  // leaves fresh, empty files (none after deleteStoreFiles)
}

bool LargeTreeModel::mayGrow(uint32_t row) const {
  return row > m_tail.rows || row == m_tail.lastTop || row == m_tail.lastSub;
}

uint8_t LargeTreeModel::childState(uint32_t row, uint8_t hasChildrenFlag) const {
  if (hasChildrenFlag) return 1;
  return mayGrow(row) ? 2 : 0;
}

void LargeTreeModel::extendRoot(uint32_t end) const {
  end = std::min(end, (uint32_t)m_announced);
  // In slices, so that no lock is held for long.
  const uint32_t kSlice = 65536;
  while (m_rootRows.size() < end) {
    uint32_t from = (uint32_t)m_rootRows.size();
    uint32_t n = std::min(kSlice, end - from);
    m_rootRows.resize(from + n);
    m_rootStates.resize(from + n);
    uint32_t got = row_tree_children(m_tree, 0, from, n, m_rootRows.data() + from);
    row_tree_has_children(m_tree, m_rootRows.data() + from, got, m_rootStates.data() + from);
    for (uint32_t i = from; i < from + got; i++) m_rootStates[i] = childState(m_rootRows[i], m_rootStates[i]);
    m_rootRows.resize(from + got);
    m_rootStates.resize(from + got);
    if (got < n) break;  // cannot happen below the announced count
  }
  while (m_settled < m_rootStates.size() && m_rootStates[m_settled] != 2) m_settled++;
}

void LargeTreeModel::settleRoot() {
  uint32_t n = (uint32_t)m_rootRows.size();
  if (m_settled >= n) return;
  row_tree_has_children(m_tree, m_rootRows.data() + m_settled, n - m_settled,
                        m_rootStates.data() + m_settled);
  for (uint32_t i = m_settled; i < n; i++) m_rootStates[i] = childState(m_rootRows[i], m_rootStates[i]);
  while (m_settled < n && m_rootStates[m_settled] != 2) m_settled++;
}

const uint8_t* LargeTreeModel::rootState(const QModelIndex& index) const {
  uint32_t pos = (uint32_t)index.row();
  // Row numbers are unique: the same number at that position is that row.
  if (pos < m_rootRows.size() && m_rootRows[pos] == (uint32_t)index.internalId())
    return &m_rootStates[pos];
  return nullptr;
}

void LargeTreeModel::forgetRoot() {
  m_rootRows.clear();
  m_rootRows.shrink_to_fit();
  m_rootStates.clear();
  m_rootStates.shrink_to_fit();
  m_settled = 0;
}

QModelIndex LargeTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (!m_tree) return QModelIndex();
  if (!parent.isValid()) {  // the path of a layout: every top-level row in turn
    if (row < 0 || row >= m_announced || column != 0) return QModelIndex();
    if ((uint32_t)row >= m_rootRows.size()) extendRoot((uint32_t)m_announced);
    if ((uint32_t)row >= m_rootRows.size()) return QModelIndex();
    return createIndex(row, column, (quintptr)m_rootRows[row]);
  }
  if (!hasIndex(row, column, parent)) return QModelIndex();
  uint32_t parentRow = parent.isValid() ? (uint32_t)parent.internalId() : 0;
  uint32_t child = row_tree_child_at(m_tree, parentRow, (uint32_t)row);
  if (child == kNoRow) return QModelIndex();
  return createIndex(row, column, (quintptr)child);
}

// The index of a row the views were given, found from its own parent.
QModelIndex LargeTreeModel::indexOfRow(uint32_t row) const {
  uint32_t parentRow = 0, pos = 0;
  if (!row_tree_parent_of(m_tree, row, &parentRow, &pos)) return QModelIndex();
  return createIndex(to_int(pos), 0, (quintptr)row);
}

QModelIndex LargeTreeModel::parent(const QModelIndex& child) const {
  if (!child.isValid() || !m_tree) return QModelIndex();
  IndexEntry e;
  if (!row_tree_entry(m_tree, (uint32_t)child.internalId(), &e) || e.parent == 0)
    return QModelIndex();
  return indexOfRow(e.parent);
}

int LargeTreeModel::rowCount(const QModelIndex& parent) const {
  if (!m_tree) return 0;
  if (!parent.isValid()) return m_announced;
  if (parent.column() > 0) return 0;
  uint32_t row = (uint32_t)parent.internalId();
  auto known = m_childCounts.constFind(row);
  if (known != m_childCounts.constEnd()) return known.value();
  if (!row_tree_entry(m_tree, row, nullptr)) return 0;
  int live = to_int(row_tree_child_count(m_tree, row));
  // From now on the views hold this count: keep it until it is announced.
  if (mayGrow(row)) m_childCounts.insert(row, live);
  return live;
}

int LargeTreeModel::columnCount(const QModelIndex&) const { return 1; }

bool LargeTreeModel::hasChildren(const QModelIndex& parent) const {
  if (!parent.isValid()) return true;
  if (!m_tree || parent.column() > 0) return false;
  const uint8_t* state = rootState(parent);
  if (state && *state != 2) return *state == 1;
  IndexEntry e;
  if (!row_tree_entry(m_tree, (uint32_t)parent.internalId(), &e)) return false;
  // A row without the flag may have gained a child since: then the count
  // the views hold decides, so "has rows" always implies "has children".
  return e.has_children || rowCount(parent) > 0;
}

Qt::ItemFlags LargeTreeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
  if (!m_tree || index.column() > 0) return f | Qt::ItemNeverHasChildren;
  const uint8_t* state = rootState(index);
  uint8_t children = state ? *state : 2;
  if (!state) {
    uint32_t row = (uint32_t)index.internalId();
    IndexEntry e;
    children = row_tree_entry(m_tree, row, &e) ? childState(row, e.has_children) : 2;
  }
  return children == 0 ? f | Qt::ItemNeverHasChildren : f;
}

QVariant LargeTreeModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.column() != 0 || !m_tree) return QVariant();
  uint32_t row = (uint32_t)index.internalId();
  if (!row_tree_entry(m_tree, row, nullptr)) return QVariant();
  if (role == Qt::DisplayRole) return QString();
  if (role != PayloadRole) return QVariant();
  uint8_t* buf = m_readBuf.get();
  uint32_t n = row_tree_payload(m_tree, row, buf, kReadCapacity);
  // Zero the rest: an unreadable row reads as empty, and no earlier row's
  // bytes ever follow this one's.
  memset(buf + n, 0, kReadCapacity - n);
  return QVariant::fromValue<qulonglong>((qulonglong)(uintptr_t)buf);
}

QVariant LargeTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole) return m_header;
  return QVariant();
}

void LargeTreeModel::setHeaderText(const QString& text) {
  m_header = text;
  emit headerDataChanged(Qt::Horizontal, 0, 0);
}

void LargeTreeModel::appendRowPar_KV_P(kvLinkedList* Infos, kvLinkedList* Values, uint32_t attrFlag) {
  if (m_tree)
    row_tree_append_par(m_tree, Infos, Values, attrFlag);
  else
    kvlist_free(Infos), kvlist_free(Values);
}

void LargeTreeModel::appendRowSub_KV_P(kvLinkedList* Infos, kvLinkedList* Values, uint32_t attrFlag) {
  if (m_tree)
    row_tree_append_sub(m_tree, Infos, Values, attrFlag);
  else
    kvlist_free(Infos), kvlist_free(Values);
}

void LargeTreeModel::appendRowSubSub_KV_P(kvLinkedList* Infos, kvLinkedList* Values,
                                          uint32_t attrFlag) {
  if (m_tree)
    row_tree_append_subsub(m_tree, Infos, Values, attrFlag);
  else
    kvlist_free(Infos), kvlist_free(Values);
}

// The reset hooks run under the tree's lock: no append can slip in between
// the reset and the counts set here.
void LargeTreeModel::beginReset(void* self) { static_cast<LargeTreeModel*>(self)->beginResetModel(); }

void LargeTreeModel::endClear(void* self) {
  LargeTreeModel* m = static_cast<LargeTreeModel*>(self);
  m->m_announced = 0;
  m->m_childCounts.clear();
  m->m_tail = RowTreeTail{};
  m->forgetRoot();
  m->endResetModel();
}

void LargeTreeModel::endFilter(void* self) {
  LargeTreeModel* m = static_cast<LargeTreeModel*>(self);
  m->m_announced = to_int(row_tree_child_count(m->m_tree, 0));
  m->m_childCounts.clear();
  // Read now, or every row would count as one that may grow and the first
  // layout after the reset would keep a count for each of them.
  row_tree_tail_in_hook(m->m_tree, &m->m_tail);
  m->forgetRoot();  // read again as the views ask
  m->endResetModel();
}

void LargeTreeModel::clear() {
  if (m_tree) row_tree_clear(m_tree, beginReset, endClear, this);
}

void LargeTreeModel::setFilter(uint32_t mask) {
  if (m_tree) row_tree_set_filter(m_tree, mask, beginReset, endFilter, this);
}

uint32_t LargeTreeModel::liveRowCount() const { return m_tree ? row_tree_child_count(m_tree, 0) : 0; }

void LargeTreeModel::notifyRowsInserted(int first, int end) {
  if (!m_tree || end <= first) return;
  int to = std::min(end, to_int(liveRowCount()));
  if (to <= m_announced) return;
  beginInsertRows(QModelIndex(), m_announced, to - 1);
  m_announced = to;
  extendRoot((uint32_t)to);  // before the views ask
  endInsertRows();
}

void LargeTreeModel::announceChildRows() {
  if (!m_tree) return;
  RowTreeTail tail;
  row_tree_tail(m_tree, &tail);
  m_tail = tail;
  settleRoot();
  // Ancestors have smaller row numbers: announce them first.
  std::vector<uint32_t> parents(m_childCounts.keyBegin(), m_childCounts.keyEnd());
  std::sort(parents.begin(), parents.end());
  for (uint32_t row : parents) {
    int told = m_childCounts.value(row);
    int live = to_int(row_tree_child_count(m_tree, row));
    if (live > told) {
      QModelIndex at = indexOfRow(row);
      if (!at.isValid()) continue;  // not visible: nothing was told, nothing to tell
      beginInsertRows(at, told, live - 1);
      m_childCounts.insert(row, live);
      endInsertRows();
    }
    // Complete and fully told: from now on its live count is the answer.
    if (!mayGrow(row)) m_childCounts.remove(row);
  }
}

int LargeTreeModel::announceRows() {
  int before = m_announced;
  notifyRowsInserted(before, to_int(liveRowCount()));
  announceChildRows();
  return m_announced - before;
}

void LargeTreeModel::deleteStoreFiles() {
  if (!m_tree) return;
  beginResetModel();
  row_tree_delete_files(m_tree);
  m_announced = 0;
  m_childCounts.clear();
  m_tail = RowTreeTail{};
  forgetRoot();
  endResetModel();
}
