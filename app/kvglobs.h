// Desktop settings and the publish-subscribe hub that every window shares (the one object _G).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <type_traits>
#include <vector>

// Topics of the hub; each carries one long.
inline constexpr int msgTreeScroll = 1;       ///< new top row index of the tree scroll bar
inline constexpr int msgVisRowsChanged = 4;   ///< 0: the visible rows changed
inline constexpr int msgZoom = 5;             ///< +1 larger, -1 smaller
inline constexpr int msgSplitterChanged = 6;  ///< 0: a splitter sash moved
inline constexpr int msgSampleFileRead = 7;   ///< address of a NUL-terminated path, valid during pub
inline constexpr int msgSampleFileSave = 8;   ///< address of a NUL-terminated path, valid during pub
inline constexpr int msgDoCapture = 9;        ///< 0: run the capture dialog

/// One subscription: the callback and the handle that sub gave it.
struct TcbObj {
  std::function<void(long)> callback;
  int subHandle = 0;
};

/// Publish-subscribe hub. GUI thread only.
class TpubSub {
 public:
  using Tcallback = std::function<void(long)>;

  /// Stores a copy of the callback under the topic; returns its handle (1, 2, 3, ... across all
  /// topics, never reused).
  int sub(int topic, Tcallback callback);

  /// Subscribes a member function of obj: one taking the long (or an integer it converts to),
  /// or none, which ignores it. The handler's own result is dropped.
  template <class T, class R>
  int sub(int topic, T* obj, R (T::*handler)()) {
    return sub(topic, [obj, handler](long) { (obj->*handler)(); });
  }
  template <class T, class R, class A>
  int sub(int topic, T* obj, R (T::*handler)(A)) {
    static_assert(std::is_arithmetic_v<A>, "a topic handler takes a number or nothing");
    return sub(topic, [obj, handler](long v) { (obj->*handler)(static_cast<A>(v)); });
  }

  /// Calls the topic's callbacks in subscription order with value; returns after the last one.
  /// Callbacks may publish other topics (nested, completed before this call returns).
  void pub(int topic, long value);

  /// Removes the subscription with that handle from that topic; true if there was one.
  bool unsub(int topic, int handle);

  /// Does nothing: the constructor sets all state.
  void init() {}

 private:
  int nextHandle = 1;
  std::map<int, std::vector<TcbObj>> topics;
};

/// The desktop settings and, as its base, the hub. The one instance is _G.
class TkvGlobs : public TpubSub {
 public:
  void init() { TpubSub::init(); }

  bool showSOF = false;
  bool showNAK = false;
  bool showPackets = true;
  const char* appName = nullptr;
  const char* shortName = nullptr;
  const char* helpFile = "pindrel_help.html";
  uint32_t maxBufferKB = 128;
  int fontPointSize = 12;
};

/// Settings and hub of the desktop program; built before main, lives until the process ends.
extern TkvGlobs _G;
