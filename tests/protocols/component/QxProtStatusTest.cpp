// The Qt status window on the offscreen platform: shown at the first report,
// filled from the protocol's values, hidden at the last; Cancel aborts.
#include "app/QxProtStatus.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "serial/QxExcept.h"
#include "tests/protocols/ProtocolTestSupport.h"
#include "tests/support/QtTestSupport.h"

namespace zav::test {
namespace {

[[maybe_unused]] auto* const g_qt = ::testing::AddGlobalTestEnvironment(new QtTestEnvironment("protocols_tests"));

class StatusWindowTest : public MemoryProtocolTest {};

TEST_F(StatusWindowTest, FollowsATransferAndCancels) {
  auto* status = new TQxProtocolStatus(&form);
  EXPECT_EQ(status->Caption(), "Protocol Status");
  EXPECT_EQ(status->Dialog()->windowTitle(), "Protocol Status");
  protocol->SetStatusDisplay(status);
  WriteWhole("w.txt", std::string(100, 'w'));
  protocol->SetProtocolType(ptAscii);
  protocol->SetUpcaseFileNames(false);
  protocol->SetAsciiCharDelay(300);
  StartAscii("w.txt");
  EXPECT_TRUE(status->Dialog()->isVisible());
  // The line takes each byte (bytes still in the ring do not count as sent).
  device->Wire();
  Advance(7);
  device->Wire();
  Advance(7);
  device->Wire();
  protocol->Record().ForceStatus = true;
  Advance(7);
  EXPECT_EQ(status->FileLabel()->text(), "w.txt");
  EXPECT_TRUE(status->BytesLabel()->text().endsWith("of 100"));
  EXPECT_GT(status->Progress()->value(), 0);
  EXPECT_LT(status->Progress()->value(), 100);
  status->CancelButton()->click();
  DrainQueue();
  EXPECT_EQ(events.FinishCode(), ecCancelRequested);
  EXPECT_FALSE(status->Dialog()->isVisible());
  EXPECT_EQ(status->StatusLabel()->text(), "Cancel requested");
}

}  // namespace
}  // namespace zav::test

namespace zav::test {
namespace {

// Figures past 4 GiB show whole, and a name the peer chose shows as written,
// never as markup.
TEST_F(StatusWindowTest, LargeFiguresAndNamesShowAsTheyAre) {
  auto* status = new TQxProtocolStatus(&form);
  protocol->SetStatusDisplay(status);
  protocol->SetFileName("<b>x</b><img src=a>");
  TransferRecord& r = protocol->Record();
  r.SrcFileLen = uint64_t(5) << 30;
  r.BytesTransferred = int64_t(9) << 29;  // 4.5 GiB
  r.ElapsedTicks = Secs2Ticks(100);
  status->RefreshDisplay(true, false);
  EXPECT_EQ(status->BytesLabel()->text(), "4831838208 of 5368709120");
  EXPECT_EQ(status->Progress()->value(), 90);
  EXPECT_EQ(status->FileLabel()->text(), "<b>x</b><img src=a>");
  EXPECT_EQ(status->FileLabel()->textFormat(), Qt::PlainText);
  EXPECT_TRUE(status->TimeLabel()->text().startsWith("1:40 elapsed"));
}

}  // namespace
}  // namespace zav::test
