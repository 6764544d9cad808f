// Save and Open of captures: a session, the capture worker (traces come from
// the stand-in backend replaying a file), four models over the session's
// trees, and the dialogs answered by a stand-in.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QProgressDialog>
#include <QSignalSpy>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "acquisition/pipeline/capture_session.h"
#include "acquisition/qt/interface_io.h"
#include "app/capture_files.h"
#include "decode/data_parse.h"
#include "os/log.h"
#include "store/capture/capture_file.h"
#include "store/capture/loaded_packets.h"
#include "tests/support/qt_test_util.h"
#include "tests/support/capture_test_util.h"
#include "tests/support/test_env.h"
#include "tests/support/tree_text.h"
#include "tests/support/views_json.h"
#include "views/qt/large_tree_model.h"

namespace {

using capture_test::Packet;
using capture_test::file_bytes;

// IN, a zero-length DATA0, ACK.
const std::vector<Packet> kThree = {{{0x69, 0x82, 0x18}, 1000}, {{0xC3, 0x00, 0x00}, 2000}, {{0xD2}, 3000}};

// Answers the dialogs; a hook runs at the first progress step of each operation.
struct StandInUi : CaptureFilesUi {
  QString saveAnswer, openAnswer;
  bool pcapng = false;
  QStringList messages;
  std::function<void()> atFirstStep;
  int steps = 0;
  QString askSaveFile(bool* p) override { return *p = pcapng, saveAnswer; }
  QString askOpenFile() override { return openAnswer; }
  void showMessage(const QString& title, const QString& text) override { messages << title + ": " + text; }
  void progressBegin(const QString&, uint64_t) override { steps = 0; }
  bool progressStep(uint64_t) override {
    if (steps++ == 0 && atFirstStep) atFirstStep();
    return true;
  }
  void progressEnd() override {}
};

class CaptureFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = treetext::open_session_in(dir.path(), 1);
    ASSERT_TRUE(session);
    worker = new interface_io(session);
    for (int v = 0; v < kSessionViewCount; v++)
      models[v] = new LargeTreeModel(capture_session_tree(session, (SessionView)v), nullptr);
    files = new CaptureFiles(nullptr, worker, session, [this] { clear(); });
    ui = new StandInUi;
    files->setUi(std::unique_ptr<CaptureFilesUi>(ui));
  }
  void TearDown() override {
    delete files;
    delete worker;
    for (LargeTreeModel* m : models) delete m;
    capture_session_close(session, 1);
    loaded_packets_clear();
    sof_hold_clear();
    orvane_log_set_muted(0);
  }

  // A live trace: the backend replays `file` at full speed until it ends.
  void trace(const std::string& file) {
    testenv::ScopedEnv replay("QELVO_REPLAY", file), rate("QELVO_REPLAY_RATE", "max");
    QSignalSpy stopped(worker->processManager(), &ProcManager::processStopped);
    ASSERT_EQ(QString(), worker->startTrace());
    ASSERT_TRUE(stopped.wait(20000)) << "the backend's replay did not end";
  }
  void save(const std::string& path, bool pcapng = false) {
    ui->saveAnswer = QString::fromStdString(path);
    ui->pcapng = pcapng;
    files->save();
  }
  // Every row of the four views, as orvane-dump --json prints them.
  std::vector<std::string> views() {
    EXPECT_TRUE(worker->waitCaptureIdle(20000)) << "decoding did not end";
    return viewsjson::of_session(session);
  }
  uint64_t recorded() { return capture_data_size(session->pipeline); }
  void clear() { worker->clearCapture([this] { for (LargeTreeModel* m : models) m->clear(); }); }

  qttest::LogCapture log;
  testenv::ShmIsolation iso;
  testenv::TempDir dir;
  testenv::ScopedChdir cd{dir.path()};
  CaptureSession* session = nullptr;
  interface_io* worker = nullptr;
  LargeTreeModel* models[kSessionViewCount] = {};
  CaptureFiles* files = nullptr;
  StandInUi* ui = nullptr;  // owned by `files`
};

}  // namespace

TEST_F(CaptureFilesTest, TracesSavedOpenedAndSavedAgainOrKeptWhenTheyCannotBeSaved) {
  std::string src = dir.file("three-src.qelvo");
  ASSERT_EQ("", capture_test::write_all(src, CAPTURE_FORMAT_QELVO, kThree));
  trace(src);
  save(dir.file("three.qelvo"));
  std::vector<uint8_t> saved = file_bytes(dir.file("three.qelvo"));
  EXPECT_TRUE(saved == file_bytes(src)) << "the records as the backend delivered them";
  EXPECT_TRUE(log.contains(">>>dataFile = "));
  EXPECT_EQ(0u, recorded()) << "a fresh capture data file";

  ASSERT_TRUE(files->open(QString::fromStdString(dir.file("three.qelvo"))));
  const std::vector<std::string> three = views();
  EXPECT_EQ(3u, models[VIEW_PACKAGES]->liveRowCount());
  EXPECT_TRUE(log.contains(">>>data_count: 43"));
  // Right after an Open, Save writes the opened packets (exactly: the same bytes).
  save(dir.file("again.qelvo"));
  EXPECT_TRUE(file_bytes(dir.file("again.qelvo")) == saved);

  // Cancelled dialogs change nothing.
  ui->saveAnswer.clear();
  files->save();
  EXPECT_TRUE(log.contains("cancel save"));
  ui->openAnswer.clear();
  files->openWithDialog();
  EXPECT_TRUE(log.contains("cancle read"));
  EXPECT_EQ(three, views());

  // Nothing traced or opened since a Clear: a header-only file, which opens to nothing.
  clear();
  save(dir.file("empty.qelvo"));
  EXPECT_EQ(24u, file_bytes(dir.file("empty.qelvo")).size());
  ASSERT_TRUE(files->open(QString::fromStdString(dir.file("three.qelvo"))));
  EXPECT_EQ(three, views());
  ui->openAnswer = QString::fromStdString(dir.file("empty.qelvo"));
  files->openWithDialog();
  EXPECT_TRUE(log.contains(">>>data_count: 0"));
  EXPECT_TRUE(log.contains("***************sData is empty!!!"));
  EXPECT_EQ(0u, loaded_packets_count());
  views();
  for (LargeTreeModel* m : models) EXPECT_EQ(0u, m->liveRowCount());
  save(dir.file("empty2.qelvo"));
  EXPECT_EQ(24u, file_bytes(dir.file("empty2.qelvo")).size());
  EXPECT_TRUE(ui->messages.isEmpty()) << ui->messages.join("\n").toStdString();

  // Saved right after the backend ended, while its packets are still being
  // decoded: all of them are in the capture, which a failed Save keeps.
  std::string big = dir.file("big.qelvo");
  std::string make = testenv::bin_dir() + "/qelvo.exe --offline 30000 -s hs -f " + big + " >/dev/null 2>&1";
  ASSERT_EQ(0, std::system(make.c_str()));
  const uint64_t bigData = file_bytes(big).size() - 24;
  trace(big);
  std::string unwritable = dir.file("no-such-dir/x.qelvo");
  save(unwritable);
  ASSERT_EQ(1, ui->messages.size());
  EXPECT_TRUE(ui->messages[0].contains("no-such-dir/x.qelvo"));
  EXPECT_TRUE(log.contains("无法打开目标文件:"));
  EXPECT_FALSE(QFile::exists(QString::fromStdString(unwritable)));
  EXPECT_EQ(bigData, recorded()) << "every packet delivered, and the capture data file kept";

  trace(src);  // recorded after what was kept
  EXPECT_TRUE(worker->waitCaptureIdle(10000));
  EXPECT_EQ(bigData + 43, recorded());
  save(dir.file("both.pcapng"), true);
  std::vector<Packet> both = capture_test::read_all(big).packets;
  both.insert(both.end(), kThree.begin(), kThree.end());
  EXPECT_TRUE(capture_test::read_all(dir.file("both.pcapng")).packets == both);
  EXPECT_EQ(0u, recorded());
  EXPECT_EQ(1, ui->messages.size());
}

// The file dialogs as the analyzer always asked, answered from a timer that
// answers every modal widget while the test runs (so nothing can hang).
TEST_F(CaptureFilesTest, TheDialogsAskForCaptureFilesInTheHomeFolder) {
  CaptureFiles plain(nullptr, worker, session, nullptr);
  QStringList seen, boxes;
  QString typed;  // the name typed into the next file dialog; "" cancels it
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    QWidget* w = QApplication::activeModalWidget();
    QFileDialog* d = qobject_cast<QFileDialog*>(w);
    if (!d) {
      if (QDialog* other = qobject_cast<QDialog*>(w)) boxes << other->windowTitle(), other->reject();
      return;
    }
    QString s = QStringList{d->windowTitle(), d->directory().absolutePath(), d->nameFilters().join(";;"),
                            d->defaultSuffix(), QString::number(d->acceptMode())}.join('|');
    if (!seen.contains(s)) seen << s;
    // Typed, as a user would: selectFile leaves a focused name field alone.
    if (QLineEdit* name = d->findChild<QLineEdit*>("fileNameEdit"); name && !typed.isEmpty()) name->setText(typed);
    typed.isEmpty() ? d->reject() : static_cast<QDialog*>(d)->accept();
  });
  poll.start(10);
  plain.openWithDialog();
  typed = QString::fromStdString(dir.file("typed"));
  plain.save();
  EXPECT_TRUE(boxes.isEmpty()) << boxes.join(", ").toStdString();
  ASSERT_EQ(2, seen.size());
  QString home = QDir::homePath();
  EXPECT_EQ("read usb data package|" + home +
                "|usb data file (*.qelvo);;pcap/pcapng file (*.pcap *.pcapng);;all files (*)||0",
            seen[0]);
  EXPECT_EQ("save usb data package|" + home + "|usb data file (*.qelvo);;pcapng file (*.pcapng)|qelvo|1", seen[1]);
  EXPECT_TRUE(log.contains("cancle read"));
  EXPECT_EQ(24u, file_bytes(dir.file("typed.qelvo")).size()) << "the suffix added";
}

TEST_F(CaptureFilesTest, ForeignDamagedOrChangingFilesLeaveTheViewsAsTheyWereAndMovesLeaveNoPartialTarget) {
  ASSERT_TRUE(files->open(QString::fromStdString(testenv::shared_captures_dir() + "/mouse.pcap")));
  const std::vector<std::string> before = views();
  const size_t loaded = loaded_packets_count();
  ASSERT_GT(loaded, 0u);

  capture_test::put_file(dir.file("notes.qelvo"), {'h', 'e', 'l', 'l', 'o', '\n'});
  capture_test::put_file(dir.file("ethernet.pcap"),
                         {0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 1, 0, 0, 0});
  std::filesystem::create_directory(dir.file("folder.qelvo"));
  // And a file that changes, or vanishes, while it is read.
  std::string three = dir.file("three.qelvo");
  ASSERT_EQ("", capture_test::write_all(three, CAPTURE_FORMAT_QELVO, kThree));
  const struct {
    const char *name, *problem;
    std::function<void()> whileRead;
  } cases[] = {{"notes.qelvo", "not a capture file", {}},
               {"ethernet.pcap", "not a USB 2.0 capture", {}},
               {"missing.qelvo", "cannot open", {}},
               {"folder.qelvo", "not a plain file", {}},
               {"three.qelvo", "changed while it was being read", [&] { std::ofstream(three, std::ios::app) << 'x'; }},
               {"three.qelvo", "vanished while it was being read", [&] { std::filesystem::remove(three); }}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.problem);
    ui->messages.clear();
    ui->atFirstStep = c.whileRead;
    EXPECT_FALSE(files->open(QString::fromStdString(dir.file(c.name))));
    ASSERT_EQ(1, ui->messages.size());
    EXPECT_TRUE(ui->messages[0].contains(QString::fromStdString(dir.file(c.name)))) << ui->messages[0].toStdString();
    EXPECT_TRUE(ui->messages[0].contains(c.problem)) << ui->messages[0].toStdString();
  }
  EXPECT_TRUE(log.contains("can not open file to read:"));
  EXPECT_EQ(before, views());
  EXPECT_EQ(loaded, loaded_packets_count());

  // A moved file: all of it or none, the source left when it is not moved.
  QString src = QString::fromStdString(dir.file("src")), dst = QString::fromStdString(dir.file("dst"));
  std::vector<uint8_t> data(300000);
  for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(i * 7 + i / 251);
  capture_test::put_file(dir.file("src"), data);
  EXPECT_TRUE(moveFile(src, dst, nullptr));
  EXPECT_EQ(data, file_bytes(dir.file("dst")));
  EXPECT_FALSE(QFile::exists(src));

  // Cancelled after the first piece: the partial target goes, the source stays.
  capture_test::put_file(dir.file("src"), data);
  QString shown;
  QTimer::singleShot(0, [&] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (QProgressDialog* p = qobject_cast<QProgressDialog*>(w)) {
        shown = QString("%1|%2|%3|%4").arg(p->windowTitle(), p->labelText()).arg(p->maximum()).arg(p->windowModality());
        p->cancel();
      }
  });
  QString why;
  EXPECT_FALSE(moveFile(src, dst + "2", nullptr, &why));
  EXPECT_FALSE(QFile::exists(dst + "2"));
  EXPECT_EQ(data, file_bytes(dir.file("src")));
  EXPECT_FALSE(why.isEmpty());
  EXPECT_EQ(QString("文件移动|正在移动文件...|300000|%1").arg(Qt::WindowModal), shown);

  // A target that cannot be opened, and the source as its own target.
  EXPECT_FALSE(moveFile(src, dst + "/x", nullptr));
  EXPECT_TRUE(log.contains("无法打开目标文件:"));
  EXPECT_FALSE(moveFile(src, src, nullptr));
  EXPECT_EQ(data, file_bytes(dir.file("src")));
  EXPECT_FALSE(moveFile(dst + "2", dst, nullptr));
  EXPECT_TRUE(log.contains("无法打开源文件:"));
}

// Every shared capture: Open, Save as "*.qelvo" and as pcapng, and Open each
// again; the rows stay those orvane-dump prints for the original.
class CaptureFilesRoundTrip : public CaptureFilesTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(CaptureFilesRoundTrip, SavedAndOpenedAgainKeepsEveryRow) {
  const std::string file = testenv::shared_captures_dir() + "/" + GetParam();
  const std::vector<std::string> want = viewsjson::of_dump(file, dir);
  ASSERT_TRUE(files->open(QString::fromStdString(file)));
  EXPECT_EQ(want, views()) << "opened";
  // The name's extension picks pcapng although the qelvo filter was chosen.
  for (const char* name : {"copy.qelvo", "copy.PCAPNG"}) {
    save(dir.file(name));
    EXPECT_EQ(strstr(name, "PCAPNG") ? CAPTURE_FORMAT_PCAPNG : CAPTURE_FORMAT_QELVO,
              capture_test::read_all(dir.file(name)).format);
    ASSERT_TRUE(files->open(QString::fromStdString(dir.file(name))));
    EXPECT_EQ(want, views()) << name;
  }
  EXPECT_TRUE(ui->messages.isEmpty()) << ui->messages.join("\n").toStdString();
}

INSTANTIATE_TEST_SUITE_P(SharedCaptures, CaptureFilesRoundTrip, ::testing::ValuesIn(testenv::shared_capture_names()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return testenv::param_name(info.param); });
