// The hand-over of control texts from a worker to a front end's thread: one notice, latest wins.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/text_hand_over.h"

namespace {

using Shown = std::vector<std::pair<int, std::u16string>>;

Shown TakeAll(CTextHandOver& texts, long long nowMs) {
  Shown shown;
  texts.Take(nowMs, [&](int id, const WChar* text) { shown.emplace_back(id, text); });
  return shown;
}

TEST(TextHandOver, OneNoticeUntilTakenAndTheLatestTextOfEachControlWins) {
  CTextHandOver texts;
  EXPECT_TRUE(texts.Store(0x70, u"C -     1 -"));
  EXPECT_FALSE(texts.Store(0x70, u"C -     2 -"));  // the first notice still stands
  EXPECT_FALSE(texts.Store(0x75, u"[ 1124 ]"));
  EXPECT_EQ(TakeAll(texts, 1000), (Shown{{0x70, u"C -     2 -"}, {0x75, u"[ 1124 ]"}}));
  // Shown once: a second take (the timer after a forced showing, say) puts nothing back.
  EXPECT_TRUE(TakeAll(texts, 1001).empty());
  EXPECT_TRUE(texts.Store(0x70, u"Verify C Complete!"));
  EXPECT_EQ(TakeAll(texts, 1002), (Shown{{0x70, u"Verify C Complete!"}}));
}

TEST(TextHandOver, TakingWhileTextsComeKeepsTheNoticeUntilATakeFindsNone) {
  CTextHandOver texts;
  auto tick = [&](long long now) {
    Shown shown;
    texts.TakeWhileComing(now, [&](int id, const WChar* text) { shown.emplace_back(id, text); });
    return shown;
  };
  EXPECT_TRUE(texts.Store(0x70, u"[   256 ]"));
  EXPECT_EQ(tick(0), (Shown{{0x70, u"[   256 ]"}}));
  // The front end takes again by its own clock: a run's progress tells it nothing more.
  EXPECT_FALSE(texts.Store(0x70, u"C -   255 -"));
  EXPECT_EQ(tick(30), (Shown{{0x70, u"C -   255 -"}}));
  EXPECT_EQ(texts.WaitMs(40), 20) << "due by the last take";
  EXPECT_TRUE(tick(60).empty());
  EXPECT_TRUE(texts.Store(0x70, u"C -   254 -")) << "after an empty take the next text tells";
  // A lost notice (a failed post) is forgotten, so that the next text tells again.
  EXPECT_FALSE(texts.Store(0x70, u"C -   253 -"));
  texts.NoticeLost();
  EXPECT_TRUE(texts.Store(0x70, u"C -   252 -"));
  EXPECT_EQ(TakeAll(texts, 70), (Shown{{0x70, u"C -   252 -"}}));
}

TEST(TextHandOver, AWorkerStoringWhileTheFrontEndTakesEndsOnItsLastText) {
  CTextHandOver texts;
  std::thread worker([&] {
    for (int i = 0; i < 20000; ++i) texts.Store(0x70, i % 2 ? u"odd" : u"even");
    texts.Store(0x70, u"last");
  });
  std::u16string lastShown;
  auto take = [&](long long now) {
    for (auto& shown : TakeAll(texts, now)) lastShown = shown.second;
  };
  for (int i = 0; i < 2000; ++i) take(i);
  worker.join();
  take(1 << 20);
  EXPECT_EQ(lastShown, u"last");
}

}  // namespace
