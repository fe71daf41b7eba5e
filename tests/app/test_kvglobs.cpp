// Tests of the publish-subscribe hub and the settings object.
#include "kvglobs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(PubSub, HandlesCountAcrossTopicsAndAreNeverReused) {
  TpubSub hub;
  std::vector<std::string> calls;
  EXPECT_EQ(hub.sub(msgZoom, [&](long) { calls.push_back("a"); }), 1);
  EXPECT_EQ(hub.sub(msgTreeScroll, [&](long) { calls.push_back("b"); }), 2);
  EXPECT_TRUE(hub.unsub(msgTreeScroll, 2));
  EXPECT_EQ(hub.sub(msgTreeScroll, [&](long) { calls.push_back("c"); }), 3);
  hub.pub(msgTreeScroll, 0);
  EXPECT_EQ(calls, std::vector<std::string>{"c"});
}

TEST(PubSub, SameCallbackTwiceRunsTwiceInOrderAndUnsubRemovesOne) {
  TpubSub hub;
  std::vector<long> seen;
  auto cb = [&](long v) { seen.push_back(v); };
  const int first = hub.sub(msgSplitterChanged, cb);
  hub.sub(msgSplitterChanged, [&](long v) { seen.push_back(-v); });
  hub.sub(msgSplitterChanged, cb);
  hub.pub(msgSplitterChanged, 7);
  EXPECT_EQ(seen, (std::vector<long>{7, -7, 7}));

  seen.clear();
  EXPECT_TRUE(hub.unsub(msgSplitterChanged, first));
  EXPECT_FALSE(hub.unsub(msgSplitterChanged, first));
  hub.pub(msgSplitterChanged, 2);
  EXPECT_EQ(seen, (std::vector<long>{-2, 2}));
}

TEST(PubSub, UnknownHandlesAndTopicsChangeNothing) {
  TpubSub hub;
  int calls = 0;
  const int h = hub.sub(msgZoom, [&](long) { ++calls; });
  EXPECT_FALSE(hub.unsub(msgTreeScroll, h));  // right handle, wrong topic
  EXPECT_FALSE(hub.unsub(msgZoom, h + 1));
  for (int topic : {2, 3, 42, -1})
    hub.pub(topic, 1);
  EXPECT_EQ(calls, 0);
  hub.pub(msgZoom, 1);
  EXPECT_EQ(calls, 1);
}

struct Tlistener {
  std::vector<std::string> log;
  void onInt(int v) { log.push_back("int " + std::to_string(v)); }
  void onNothing() { log.push_back("nothing"); }
  bool onResult(long v) { log.push_back("long " + std::to_string(v)); return true; }
};

TEST(PubSub, MemberHandlersTakeTheValueConvertedOrNothing) {
  TpubSub hub;
  Tlistener l;
  hub.sub(msgTreeScroll, &l, &Tlistener::onInt);
  hub.sub(msgTreeScroll, &l, &Tlistener::onNothing);
  hub.sub(msgTreeScroll, &l, &Tlistener::onResult);
  hub.pub(msgTreeScroll, 123);
  EXPECT_EQ(l.log, (std::vector<std::string>{"int 123", "nothing", "long 123"}));
}

TEST(PubSub, NestedPublishCompletesInsideTheOuterOne) {
  TpubSub hub;
  std::vector<std::string> order;
  hub.sub(msgSampleFileRead, [&](long v) {
    order.push_back(std::string("read ") + reinterpret_cast<const char*>(v));
    hub.pub(msgVisRowsChanged, 0);
    order.push_back("read done");
  });
  hub.sub(msgVisRowsChanged, [&](long) { order.push_back("repaint"); });
  hub.sub(msgSampleFileRead, [&](long) { order.push_back("second reader"); });
  const char path[] = "./default.kvd";
  hub.pub(msgSampleFileRead, reinterpret_cast<long>(path));
  order.push_back("outer returned");
  EXPECT_EQ(order, (std::vector<std::string>{"read ./default.kvd", "repaint", "read done", "second reader",
                                             "outer returned"}));
}

TEST(PubSub, SubscribingTheTopicBeingPublishedIsSafe) {
  TpubSub hub;
  int calls = 0;
  hub.sub(msgZoom, [&](long) {
    ++calls;
    for (int i = 0; i < 8; ++i)  // grows the list under the walk: no crash, the new ones run too
      hub.sub(msgZoom, [&](long) { ++calls; });
  });
  hub.pub(msgZoom, 1);
  EXPECT_EQ(calls, 9);
}

TEST(Globs, StartsWithTheBuiltInSettings) {
  TkvGlobs g;
  g.init();
  EXPECT_FALSE(g.showSOF);
  EXPECT_FALSE(g.showNAK);
  EXPECT_TRUE(g.showPackets);
  EXPECT_EQ(g.appName, nullptr);
  EXPECT_EQ(g.shortName, nullptr);
  EXPECT_STREQ(g.helpFile, "pindrel_help.html");
  EXPECT_EQ(g.maxBufferKB, 128u);
  EXPECT_EQ(g.fontPointSize, 12);
  EXPECT_EQ(g.sub(msgZoom, [](long) {}), 1);
}

}  // namespace
